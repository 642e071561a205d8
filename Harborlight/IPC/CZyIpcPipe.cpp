#include "IPC/CZyIpcPipe.h"

#include <string>

#include "LibraryPath.h"
#include "win32/module.h"

using namespace win32;

bool ConnectZyIpcPipe(const ZyIpcPipeConfig& config, IZyIpcPipe** ppPipe, const WCHAR* pFolder,
                      const WCHAR* pPipeName) {
  HMODULE hModule = nullptr;
  if (!GetModuleHandleExW(0, u"ZyIpc.dll", &hModule)) {
    hModule = LoadLibraryW(LibraryPathInFolder(pFolder, u"ZyIpc.dll").c_str());
  }
  if (!hModule) return false;
  auto getManager =
      reinterpret_cast<GetZyIpcManagerFn>(GetProcAddress(hModule, kGetZyIpcManagerName));
  IZyIpcManager* pManager = getManager ? getManager() : nullptr;
  if (!pManager) {
    FreeLibrary(hModule);
    return false;
  }
  pManager->AddRef();
  const WCHAR* pName = pPipeName && *pPipeName ? pPipeName : kZyIpcDefaultPipeName;
  HRESULT hr = pManager->CreatePipe(pName, &config, ppPipe);
  pManager->Release();
  return hr == S_OK;
}

namespace IPC {

CZyIpcPipe::CZyIpcPipe(const ZyIpcPipeConfig& config, const WCHAR* pFolder,
                       const WCHAR* pPipeName) {
  Open(config, pFolder, pPipeName);
}

int CZyIpcPipe::Open(const ZyIpcPipeConfig& config, const WCHAR* pFolder, const WCHAR* pPipeName) {
  if (m_pPipe) return 1;
  return ConnectZyIpcPipe(config, &m_pPipe, pFolder, pPipeName) ? 1 : 0;
}

void CZyIpcPipe::Close() {
  if (m_pPipe) m_pPipe->Release();
  m_pPipe = nullptr;
}

HRESULT CZyIpcPipe::Connect(DWORD timeoutMs) { return Forward(&IZyIpcPipe::Connect, timeoutMs); }
HRESULT CZyIpcPipe::Disconnect() { return Forward(&IZyIpcPipe::Disconnect); }
HRESULT CZyIpcPipe::IsConnected(BOOL* pConnected) {
  return Forward(&IZyIpcPipe::IsConnected, pConnected);
}
HRESULT CZyIpcPipe::Send(const BYTE* pData, DWORD size) {
  return Forward(&IZyIpcPipe::Send, pData, size);
}
HRESULT CZyIpcPipe::Receive(BYTE* pBuffer, DWORD size, DWORD* pReceived) {
  return Forward(&IZyIpcPipe::Receive, pBuffer, size, pReceived);
}
HRESULT CZyIpcPipe::GetPendingBytes(DWORD* pBytes) {
  return Forward(&IZyIpcPipe::GetPendingBytes, pBytes);
}
HRESULT CZyIpcPipe::GetName(BSTR* pName) { return Forward(&IZyIpcPipe::GetName, pName); }
HRESULT CZyIpcPipe::GetConfig(ZyIpcPipeConfig* pConfig) {
  return Forward(&IZyIpcPipe::GetConfig, pConfig);
}
HRESULT CZyIpcPipe::SetTimeout(DWORD timeoutMs) {
  return Forward(&IZyIpcPipe::SetTimeout, timeoutMs);
}
HRESULT CZyIpcPipe::GetTimeout(DWORD* pTimeoutMs) {
  return Forward(&IZyIpcPipe::GetTimeout, pTimeoutMs);
}
HRESULT CZyIpcPipe::Advise(IUnknown* pSink) { return Forward(&IZyIpcPipe::Advise, pSink); }
HRESULT CZyIpcPipe::Unadvise() { return Forward(&IZyIpcPipe::Unadvise); }
HRESULT CZyIpcPipe::Flush() { return Forward(&IZyIpcPipe::Flush); }
HRESULT CZyIpcPipe::Reset() { return Forward(&IZyIpcPipe::Reset); }

}  // namespace IPC
