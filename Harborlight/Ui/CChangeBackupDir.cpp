#include "CChangeBackupDir.h"

#include <string>

#include "WindowHelpers.h"

using namespace win32;

CChangeBackupDir::CChangeBackupDir(IPageHost* pHost) : m_listener(this), m_pHost(pHost) {}

CChangeBackupDir::~CChangeBackupDir() {
  m_listener.RemoveAll();
  ReleaseElements();
}

bool CChangeBackupDir::Create(const WCHAR* pLayout, HWND owner, const WCHAR*) {
  m_listener.RemoveAll();
  ReleaseElements();
  if (FAILED(CreateLqElementFromLayout(pLayout, IID_ILqWindow,
                                       reinterpret_cast<void**>(&m_pWindow), nullptr, nullptr))) {
    return false;
  }
  HWND hwnd = nullptr;
  m_pWindow->GetWindowHandle(&hwnd);
  m_pWindow->FindChild(u"ID_BTN_CHANGEDIR", &m_pChangeButton);
  m_pWindow->FindChild(u"ID_EDIT_DIR", &m_pEdit);
  if (m_pChangeButton) {
    m_listener.AddListener(m_pChangeButton, LqEvent::kClick, &CChangeBackupDir::OnChangeDir);
  }
  ShowWorkDir();
  INT result = 0;
  return SUCCEEDED(m_pWindow->RunModal(owner, 1, &result));
}

HRESULT CChangeBackupDir::OnChangeDir(ILqEvent*) {
  if (m_pHost) m_pHost->Command(11, nullptr);
  ShowWorkDir();
  return 0;
}

void CChangeBackupDir::ShowWorkDir() {
  if (!m_pEdit) return;
  std::u16string dir;
  ReadWorkDir(&dir);
  m_pEdit->SetText(dir.c_str());
}

void CChangeBackupDir::ReleaseElements() {
  for (ILqElement** ppElement : {&m_pChangeButton, &m_pEdit, &m_pWindow}) {
    if (*ppElement) (*ppElement)->Release();
    *ppElement = nullptr;
  }
}
