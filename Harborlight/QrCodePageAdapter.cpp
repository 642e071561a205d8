#include "QrCodePageAdapter.h"

using namespace win32;

CQrCodePageAdapter::~CQrCodePageAdapter() {
  if (m_pRoot) m_pRoot->Release();
}

void CQrCodePageAdapter::Init(ILqElement* pRoot, IPageHost* pHost) {
  if (pRoot) pRoot->AddRef();
  if (m_pRoot) m_pRoot->Release();
  m_pRoot = pRoot;
  m_pHost = pHost;
}

void CQrCodePageAdapter::RefreshBindQrCode() {}

void CQrCodePageAdapter::ShowPage(bool hide) {
  if (m_pRoot) m_pRoot->SetHidden(hide);
}

void CQrCodePageAdapter::SetBindResult(bool) {}

void CQrCodePageAdapter::OnPhoneScanned() {}

void CQrCodePageAdapter::ReportShown() {}

void CQrCodePageAdapter::ReportBound() {}
