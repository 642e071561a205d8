#include "FolderBrowseDialog.h"

#include "win32/com.h"

using namespace win32;

CFolderBrowseDialog::CFolderBrowseDialog(const std::vector<DriveEntry>* pDrives,
                                         const WCHAR* pInitialPath, bool expand)
    : m_initialPath(pInitialPath ? pInitialPath : u""), m_expand(expand), m_pDrives(pDrives) {
  m_info.pszDisplayName = m_displayName;
  m_info.ulFlags = kBrowseFlags;
  m_info.lpfn = &CFolderBrowseDialog::BrowseCallback;
  m_info.lParam = reinterpret_cast<LPARAM>(this);
}

CFolderBrowseDialog::~CFolderBrowseDialog() { FreeChosen(); }

int CFolderBrowseDialog::Run(HWND owner) {
  if (!m_info.hwndOwner) m_info.hwndOwner = owner;
  m_displayName[0] = 0;
  m_path[0] = 0;
  FreeChosen();
  m_pChosen = SHBrowseForFolderW(&m_info);
  if (!m_pChosen) return kCancelled;
  if ((m_info.ulFlags & BIF_RETURNONLYFSDIRS) && !SHGetPathFromIDListW(m_pChosen, m_path)) {
    m_path[0] = 0;
    return kCancelled;
  }
  if (!m_pDrives || FindDriveIndex(*m_pDrives, m_path) == -1) return kCancelled;
  return kChosen;
}

int CFolderBrowseDialog::BrowseCallback(HWND hwnd, UINT message, LPARAM, LPARAM data) {
  auto* pSelf = reinterpret_cast<CFolderBrowseDialog*>(data);
  if (message != BFFM_INITIALIZED || !pSelf || pSelf->m_initialPath.empty()) return 0;
  LPARAM path = reinterpret_cast<LPARAM>(pSelf->m_initialPath.c_str());
  SendMessageW(hwnd, BFFM_SETSELECTIONW, TRUE, path);
  if (pSelf->m_expand && (pSelf->m_info.ulFlags & BIF_NEWDIALOGSTYLE)) {
    SendMessageW(hwnd, BFFM_SETEXPANDED, TRUE, path);
  }
  return 0;
}

void CFolderBrowseDialog::FreeChosen() {
  if (m_pChosen) CoTaskMemFree(m_pChosen);
  m_pChosen = nullptr;
}
