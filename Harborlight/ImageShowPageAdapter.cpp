#include "ImageShowPageAdapter.h"

using namespace win32;

CImageShowPageAdapter::~CImageShowPageAdapter() {
  if (m_pRoot) m_pRoot->Release();
}

void CImageShowPageAdapter::Init(ILqElement* pRoot, IPageHost* pHost) {
  if (pRoot) pRoot->AddRef();
  if (m_pRoot) m_pRoot->Release();
  m_pRoot = pRoot;
  m_pHost = pHost;
}

void CImageShowPageAdapter::Show(int hidden) {
  if (m_pRoot) m_pRoot->SetHidden(hidden == 1);
}

void CImageShowPageAdapter::OnDeviceState(int64_t, int) {}

void CImageShowPageAdapter::OnBackupProgress(int64_t, int, int) {}

void CImageShowPageAdapter::AddPhoto(int64_t, const std::u16string&) {}

void CImageShowPageAdapter::ChangeDeviceId(int64_t, int64_t) {}

void CImageShowPageAdapter::RefreshPhoneList(int, int64_t) {}

void CImageShowPageAdapter::OnUnbindNotice(int64_t, int) {}

void CImageShowPageAdapter::ClosePopups() {}
