#include "FolderBrowseDialog.h"

#include "win32/com.h"
#include "win32/window.h"

using namespace win32;

CFolderBrowseDialog::CFolderBrowseDialog(const std::vector<DriveEntry>* pDrives,
                                         const WCHAR* pInitialPath, bool expand)
    : m_initialPath(pInitialPath ? pInitialPath : u""),
      m_expand(expand),
      m_pDrives(pDrives),
      m_filter(pDrives) {
  m_browseInfo.hwndOwner = nullptr;
  m_browseInfo.pidlRoot = nullptr;  // the shell starts from the desktop
  m_browseInfo.pszDisplayName = m_displayName;
  m_browseInfo.lpszTitle = nullptr;
  m_browseInfo.ulFlags = kBrowseFlags;
  m_browseInfo.lpfn = &CFolderBrowseDialog::BrowseCallback;
  m_browseInfo.lParam = reinterpret_cast<LPARAM>(this);
}

CFolderBrowseDialog::~CFolderBrowseDialog() { FreeChosenItem(); }

void CFolderBrowseDialog::SetInitialItem(PCIDLIST_ABSOLUTE pidl, bool expand) {
  m_pInitialItem = pidl;
  m_initialPath.clear();
  m_expand = expand;
}

int CFolderBrowseDialog::Run(HWND owner) {
  if (!m_browseInfo.hwndOwner) m_browseInfo.hwndOwner = owner;
  m_displayName[0] = 0;
  m_path[0] = 0;
  FreeChosenItem();
  m_pChosenItem = SHBrowseForFolderW(&m_browseInfo);
  if (!m_pChosenItem) return kCancelled;
  if ((m_browseInfo.ulFlags & BIF_RETURNONLYFSDIRS) &&
      !SHGetPathFromIDListW(m_pChosenItem, m_path)) {
    return kCancelled;
  }
  return FindDriveIndex(*m_pDrives, m_path) == -1 ? kCancelled : kChosen;
}

int CFolderBrowseDialog::BrowseCallback(HWND hwnd, UINT message, LPARAM lParam, LPARAM data) {
  auto* pSelf = reinterpret_cast<CFolderBrowseDialog*>(data);
  switch (message) {
    case BFFM_INITIALIZED: {
      const bool byItem = pSelf->m_pInitialItem != nullptr;
      const LPARAM selection = byItem ? reinterpret_cast<LPARAM>(pSelf->m_pInitialItem)
                                      : reinterpret_cast<LPARAM>(pSelf->m_initialPath.c_str());
      SendMessageW(hwnd, BFFM_SETSELECTIONW, byItem ? FALSE : TRUE, selection);
      if (pSelf->m_expand && (pSelf->m_browseInfo.ulFlags & BIF_NEWDIALOGSTYLE)) {
        SendMessageW(hwnd, BFFM_SETEXPANDED, byItem ? FALSE : TRUE, selection);
      }
      return 0;
    }
    case BFFM_IUNKNOWN: {
      auto* pUnknown = reinterpret_cast<IUnknown*>(lParam);
      IFolderFilterSite* pSite = nullptr;
      if (pUnknown && SUCCEEDED(pUnknown->QueryInterface(IID_IFolderFilterSite,
                                                         reinterpret_cast<void**>(&pSite)))) {
        pSite->SetFilter(&pSelf->m_filter);
        pSite->Release();
      }
      return 0;
    }
    default:
      return 0;
  }
}

void CFolderBrowseDialog::FreeChosenItem() {
  if (m_pChosenItem) CoTaskMemFree(m_pChosenItem);
  m_pChosenItem = nullptr;
}
