#pragma once
// The folder browser over a drive list: the system's browser, starting at a given folder, whose
// answer counts only for a folder on one of the listed drives.
// Lifetime: the caller's; the drive list is borrowed and must outlive the dialog.
// Threading: UI thread only; Run blocks in the browser's modal loop.

#include <string>
#include <vector>

#include "ChooseDirFrameAdapter.h"
#include "win32/shellui.h"

class CFolderBrowseDialog {
 public:
  // BIF_RETURNONLYFSDIRS and BIF_NEWDIALOGSTYLE.
  static constexpr win32::UINT kBrowseFlags = 0x41;
  static constexpr int kChosen = 1;
  static constexpr int kCancelled = 2;

  CFolderBrowseDialog(const std::vector<DriveEntry>* pDrives, const win32::WCHAR* pInitialPath,
                      bool expand);
  CFolderBrowseDialog(const CFolderBrowseDialog&) = delete;
  CFolderBrowseDialog& operator=(const CFolderBrowseDialog&) = delete;
  ~CFolderBrowseDialog();

  // kChosen, with the folder in GetPath(); kCancelled when the browser was cancelled or the
  // folder lies on no listed drive.
  int Run(win32::HWND owner);
  const win32::WCHAR* GetPath() const { return m_path; }

 private:
  static int BrowseCallback(win32::HWND hwnd, win32::UINT message, win32::LPARAM lParam,
                            win32::LPARAM data);
  void FreeChosen();

  win32::BROWSEINFOW m_info{};
  win32::WCHAR m_displayName[win32::MAX_PATH] = {};
  std::u16string m_initialPath;
  bool m_expand = false;
  win32::PIDLIST_ABSOLUTE m_pChosen =
      nullptr;  // the system's; freed before each run and at the end
  win32::WCHAR m_path[win32::MAX_PATH] = {};
  const std::vector<DriveEntry>* const m_pDrives;
};
