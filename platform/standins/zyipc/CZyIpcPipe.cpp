#include "CZyIpcPipe.h"

#include <utility>

using namespace win32;

namespace {

constexpr DWORD kErrorPipeNotConnected = 233;

}  // namespace

CZyIpcPipe::CZyIpcPipe(std::u16string name, const ZyIpcPipeConfig& config)
    : m_name(std::move(name)), m_config(config) {}

CZyIpcPipe::~CZyIpcPipe() {
  if (m_pSink) m_pSink->Release();
}

HRESULT CZyIpcPipe::QueryInterface(REFIID riid, void** ppObject) {
  if (!ppObject) return E_POINTER;
  if (riid != IID_IUnknown && riid != IID_IZyIpcPipe) {
    *ppObject = nullptr;
    return E_NOINTERFACE;
  }
  *ppObject = static_cast<IZyIpcPipe*>(this);
  AddRef();
  return S_OK;
}

ULONG CZyIpcPipe::Release() {
  ULONG count = --m_refCount;
  if (count == 0) delete this;
  return count;
}

HRESULT CZyIpcPipe::Connect(DWORD) { return HRESULT_FROM_WIN32(kErrorPipeNotConnected); }

HRESULT CZyIpcPipe::Disconnect() { return S_OK; }

HRESULT CZyIpcPipe::IsConnected(BOOL* pConnected) {
  if (!pConnected) return E_POINTER;
  *pConnected = FALSE;
  return S_OK;
}

HRESULT CZyIpcPipe::Send(const BYTE*, DWORD) { return HRESULT_FROM_WIN32(kErrorPipeNotConnected); }

HRESULT CZyIpcPipe::Receive(BYTE*, DWORD, DWORD* pReceived) {
  if (pReceived) *pReceived = 0;
  return HRESULT_FROM_WIN32(kErrorPipeNotConnected);
}

HRESULT CZyIpcPipe::GetPendingBytes(DWORD* pBytes) {
  if (!pBytes) return E_POINTER;
  *pBytes = 0;
  return S_OK;
}

HRESULT CZyIpcPipe::GetName(BSTR* pName) {
  if (!pName) return E_POINTER;
  *pName = SysAllocStringLen(m_name.data(), static_cast<UINT>(m_name.size()));
  return *pName ? S_OK : E_OUTOFMEMORY;
}

HRESULT CZyIpcPipe::GetConfig(ZyIpcPipeConfig* pConfig) {
  if (!pConfig) return E_POINTER;
  *pConfig = m_config;
  return S_OK;
}

HRESULT CZyIpcPipe::SetTimeout(DWORD timeoutMs) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_timeoutMs = timeoutMs;
  return S_OK;
}

HRESULT CZyIpcPipe::GetTimeout(DWORD* pTimeoutMs) {
  if (!pTimeoutMs) return E_POINTER;
  std::lock_guard<std::mutex> guard(m_lock);
  *pTimeoutMs = m_timeoutMs;
  return S_OK;
}

HRESULT CZyIpcPipe::Advise(IUnknown* pSink) {
  if (!pSink) return E_POINTER;
  pSink->AddRef();
  IUnknown* pOld;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    pOld = std::exchange(m_pSink, pSink);
  }
  if (pOld) pOld->Release();
  return S_OK;
}

HRESULT CZyIpcPipe::Unadvise() {
  IUnknown* pOld;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    pOld = std::exchange(m_pSink, nullptr);
  }
  if (!pOld) return S_FALSE;
  pOld->Release();
  return S_OK;
}

HRESULT CZyIpcPipe::Flush() { return HRESULT_FROM_WIN32(kErrorPipeNotConnected); }

HRESULT CZyIpcPipe::Reset() {
  Unadvise();
  SetTimeout(kDefaultTimeoutMs);
  return S_OK;
}
