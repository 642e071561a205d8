#pragma once
// The IPC library's interface as the program uses it: a manager, loaded by name from "ZyIpc.dll"
// through its export GetZyIpcManager, that creates named pipes.

#include "win32/base.h"
#include "win32/com.h"
#include "win32/oleauto.h"

// A pipe's set-up; the program passes {23, 1, 80}.
struct ZyIpcPipeConfig {
  win32::DWORD dwParam1;
  win32::DWORD dwParam2;
  win32::DWORD dwParam3;
};

inline constexpr char16_t kZyIpcDefaultPipeName[] = u"wexbrisken";

// {CF8B5FC2-5650-4B77-BDD1-50D99A9A6CC8}
inline constexpr win32::IID IID_IZyIpcPipe = {
    0xCF8B5FC2, 0x5650, 0x4B77, {0xBD, 0xD1, 0x50, 0xD9, 0x9A, 0x9A, 0x6C, 0xC8}};
// {9954C2EB-6E3D-4342-8D8B-A04B40EF02B8}
inline constexpr win32::IID IID_IZyIpcManager = {
    0x9954C2EB, 0x6E3D, 0x4342, {0x8D, 0x8B, 0xA0, 0x4B, 0x40, 0xEF, 0x02, 0xB8}};

// One end of a named pipe. Counted; the creator holds the first reference.
struct IZyIpcPipe : win32::IUnknown {
  virtual win32::HRESULT STDMETHODCALLTYPE Connect(win32::DWORD timeoutMs) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE Disconnect() = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE IsConnected(win32::BOOL* pConnected) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE Send(const win32::BYTE* pData, win32::DWORD size) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE Receive(win32::BYTE* pBuffer, win32::DWORD size,
                                                   win32::DWORD* pReceived) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE GetPendingBytes(win32::DWORD* pBytes) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE GetName(win32::BSTR* pName) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE GetConfig(ZyIpcPipeConfig* pConfig) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE SetTimeout(win32::DWORD timeoutMs) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE GetTimeout(win32::DWORD* pTimeoutMs) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE Advise(win32::IUnknown* pSink) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE Unadvise() = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE Flush() = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE Reset() = 0;
};

struct IZyIpcManager : win32::IUnknown {
  // Operation 3: a new pipe named `pName` with `pConfig`; S_OK and one reference in *ppPipe.
  virtual win32::HRESULT STDMETHODCALLTYPE CreatePipe(const win32::WCHAR* pName,
                                                      const ZyIpcPipeConfig* pConfig,
                                                      IZyIpcPipe** ppPipe) = 0;
};

// The export: the process's manager (never null in the library itself).
using GetZyIpcManagerFn = IZyIpcManager* (*)();
inline constexpr char kGetZyIpcManagerName[] = "GetZyIpcManager";
