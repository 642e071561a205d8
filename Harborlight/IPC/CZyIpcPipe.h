#pragma once
// One pipe of the IPC library, held by the main window. Nothing in the program sends through it:
// the pipe only has to be created and released.

#include "ZyIpc/IZyIpc.h"

// Loads "ZyIpc.dll" (from `pFolder`, or the program's folder for null; a module already loaded
// is used, with a reference of its own), asks its manager for a pipe named `pPipeName` (the
// default for null or empty) and stores it in *ppPipe. True when the pipe was created. A
// refused pipe leaves the library loaded.
bool ConnectZyIpcPipe(const ZyIpcPipeConfig& config, IZyIpcPipe** ppPipe,
                      const win32::WCHAR* pFolder, const win32::WCHAR* pPipeName);

namespace IPC {

// Threading: the main thread.
class CZyIpcPipe {
 public:
  // What every operation answers while no pipe is held.
  static constexpr win32::HRESULT kNoPipe = static_cast<win32::HRESULT>(0x80040008);

  CZyIpcPipe() = default;
  // Opens the pipe at once.
  CZyIpcPipe(const ZyIpcPipeConfig& config, const win32::WCHAR* pFolder,
             const win32::WCHAR* pPipeName);
  CZyIpcPipe(const CZyIpcPipe&) = delete;
  CZyIpcPipe& operator=(const CZyIpcPipe&) = delete;
  ~CZyIpcPipe() { Close(); }

  // 1 when a pipe is held already, else ConnectZyIpcPipe's result.
  int Open(const ZyIpcPipeConfig& config, const win32::WCHAR* pFolder,
           const win32::WCHAR* pPipeName);
  // Releases and forgets the pipe.
  void Close();
  bool IsOpen() const { return m_pPipe != nullptr; }

  // The pipe's operations, forwarded; kNoPipe without a pipe.
  win32::HRESULT Connect(win32::DWORD timeoutMs);
  win32::HRESULT Disconnect();
  win32::HRESULT IsConnected(win32::BOOL* pConnected);
  win32::HRESULT Send(const win32::BYTE* pData, win32::DWORD size);
  win32::HRESULT Receive(win32::BYTE* pBuffer, win32::DWORD size, win32::DWORD* pReceived);
  win32::HRESULT GetPendingBytes(win32::DWORD* pBytes);
  win32::HRESULT GetName(win32::BSTR* pName);
  win32::HRESULT GetConfig(ZyIpcPipeConfig* pConfig);
  win32::HRESULT SetTimeout(win32::DWORD timeoutMs);
  win32::HRESULT GetTimeout(win32::DWORD* pTimeoutMs);
  win32::HRESULT Advise(win32::IUnknown* pSink);
  win32::HRESULT Unadvise();
  win32::HRESULT Flush();
  win32::HRESULT Reset();

 private:
  template <class... TParameters, class... TArguments>
  win32::HRESULT Forward(win32::HRESULT (STDMETHODCALLTYPE IZyIpcPipe::*operation)(TParameters...),
                         TArguments... arguments) {
    return m_pPipe ? (m_pPipe->*operation)(arguments...) : kNoPipe;
  }

  IZyIpcPipe* m_pPipe = nullptr;  // one reference while open
};

}  // namespace IPC
