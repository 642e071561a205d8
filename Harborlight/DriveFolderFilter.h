#pragma once
// The PC's usable fixed drives as the folder-choice page lists them, and the folder browser's
// filter that offers only My Computer and those drives' folders.

#include <vector>

#include "win32/base.h"
#include "win32/shellui.h"

// One usable fixed drive.
struct DriveEntry {
  win32::WCHAR root[4] = {};  // "X:\" with the letter in upper case
  win32::ULONGLONG freeToCaller = 0;
  win32::ULONGLONG total = 0;
  win32::ULONGLONG totalFree = 0;
};

// The first entry whose first two characters equal the path's, ignoring case; -1 if none.
int FindDriveIndex(const std::vector<DriveEntry>& drives, const win32::WCHAR* pPath);

// The browser's folder filter: folders only; My Computer and the listed drives' folders shown.
// Its reference counting does nothing: it lives inside the dialog that installs it.
// Threading: UI thread (the browser's modal loop).
class CDriveFolderFilter final : public win32::IFolderFilter {
 public:
  // `pDrives` outlives the filter.
  explicit CDriveFolderFilter(const std::vector<DriveEntry>* pDrives) : m_pDrives(pDrives) {}
  CDriveFolderFilter(const CDriveFolderFilter&) = delete;
  CDriveFolderFilter& operator=(const CDriveFolderFilter&) = delete;

  // IUnknown:
  win32::HRESULT STDMETHODCALLTYPE QueryInterface(win32::REFIID riid, void** ppv) override;
  win32::ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  win32::ULONG STDMETHODCALLTYPE Release() override { return 1; }
  // IFolderFilter:
  win32::HRESULT STDMETHODCALLTYPE ShouldShow(win32::IShellFolder* pFolder,
                                              win32::PCIDLIST_ABSOLUTE pidlFolder,
                                              win32::PCUITEMID_CHILD pidlItem) override;
  win32::HRESULT STDMETHODCALLTYPE GetEnumFlags(win32::IShellFolder* pFolder,
                                                win32::PCIDLIST_ABSOLUTE pidlFolder,
                                                win32::HWND* pHwnd, win32::DWORD* pFlags) override;

 private:
  const std::vector<DriveEntry>* const m_pDrives;
};
