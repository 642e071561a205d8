#pragma once
// The system's folder browser over a list of drives: it starts at a given folder, offers My
// Computer and the listed drives' folders (CDriveFolderFilter), and accepts only a folder on a
// listed drive. The folder-choice page and the main window's folder change use it.
// Lifetime: a stack object of its caller; the drive list outlives it.
// Threading: UI thread only; Run blocks in the browser's modal loop.

#include <string>
#include <vector>

#include "DriveFolderFilter.h"
#include "win32/base.h"
#include "win32/shellui.h"

class CFolderBrowseDialog {
 public:
  // BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE
  static constexpr win32::UINT kBrowseFlags = 0x41;
  static constexpr int kChosen = 1;
  static constexpr int kCancelled = 2;

  // Starts at `pInitialPath` (may be null); `expand` opens it too.
  CFolderBrowseDialog(const std::vector<DriveEntry>* pDrives, const win32::WCHAR* pInitialPath,
                      bool expand);
  CFolderBrowseDialog(const CFolderBrowseDialog&) = delete;
  CFolderBrowseDialog& operator=(const CFolderBrowseDialog&) = delete;
  ~CFolderBrowseDialog();

  // Where the browser starts instead, as an item list (the caller keeps it alive for Run).
  void SetInitialItem(win32::PCIDLIST_ABSOLUTE pidl, bool expand);

  // Runs the browser, owned by `owner` unless an owner was set before. kChosen with the folder
  // in GetPath(); kCancelled when cancelled, when the choice has no file-system path, or when it
  // lies on no listed drive.
  int Run(win32::HWND owner);
  const win32::WCHAR* GetPath() const { return m_path; }

 private:
  static int BrowseCallback(win32::HWND hwnd, win32::UINT message, win32::LPARAM lParam,
                            win32::LPARAM data);
  void FreeChosenItem();

  win32::BROWSEINFOW m_browseInfo{};
  win32::WCHAR m_displayName[win32::MAX_PATH] = {};
  std::u16string m_initialPath;
  win32::PCIDLIST_ABSOLUTE m_pInitialItem = nullptr;  // the caller's
  bool m_expand = false;
  win32::PIDLIST_ABSOLUTE m_pChosenItem = nullptr;  // ours: freed before each run and at the end
  win32::WCHAR m_path[win32::MAX_PATH] = {};
  const std::vector<DriveEntry>* const m_pDrives;
  CDriveFolderFilter m_filter;
};
