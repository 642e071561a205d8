#pragma once
// The stand-in's pipe: it remembers its name, set-up, time-out and sink, and holds no system
// resource at all, so it squats no name another program might serve. With nobody at the other
// end, connecting and moving bytes fail with ERROR_PIPE_NOT_CONNECTED.
// Threading: any thread; m_lock guards the state.

#include <atomic>
#include <mutex>
#include <string>

#include "ZyIpc/IZyIpc.h"

class CZyIpcPipe final : public IZyIpcPipe {
 public:
  static constexpr win32::DWORD kDefaultTimeoutMs = 5000;

  // Count 1 for the creator.
  CZyIpcPipe(std::u16string name, const ZyIpcPipeConfig& config);
  CZyIpcPipe(const CZyIpcPipe&) = delete;
  CZyIpcPipe& operator=(const CZyIpcPipe&) = delete;

  // IUnknown:
  win32::HRESULT STDMETHODCALLTYPE QueryInterface(win32::REFIID riid, void** ppObject) override;
  win32::ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refCount; }
  win32::ULONG STDMETHODCALLTYPE Release() override;

  // IZyIpcPipe:
  win32::HRESULT STDMETHODCALLTYPE Connect(win32::DWORD timeoutMs) override;
  win32::HRESULT STDMETHODCALLTYPE Disconnect() override;
  win32::HRESULT STDMETHODCALLTYPE IsConnected(win32::BOOL* pConnected) override;
  win32::HRESULT STDMETHODCALLTYPE Send(const win32::BYTE* pData, win32::DWORD size) override;
  win32::HRESULT STDMETHODCALLTYPE Receive(win32::BYTE* pBuffer, win32::DWORD size,
                                           win32::DWORD* pReceived) override;
  win32::HRESULT STDMETHODCALLTYPE GetPendingBytes(win32::DWORD* pBytes) override;
  win32::HRESULT STDMETHODCALLTYPE GetName(win32::BSTR* pName) override;
  win32::HRESULT STDMETHODCALLTYPE GetConfig(ZyIpcPipeConfig* pConfig) override;
  win32::HRESULT STDMETHODCALLTYPE SetTimeout(win32::DWORD timeoutMs) override;
  win32::HRESULT STDMETHODCALLTYPE GetTimeout(win32::DWORD* pTimeoutMs) override;
  win32::HRESULT STDMETHODCALLTYPE Advise(win32::IUnknown* pSink) override;
  win32::HRESULT STDMETHODCALLTYPE Unadvise() override;
  win32::HRESULT STDMETHODCALLTYPE Flush() override;
  win32::HRESULT STDMETHODCALLTYPE Reset() override;

 private:
  ~CZyIpcPipe();

  std::atomic<win32::ULONG> m_refCount{1};
  const std::u16string m_name;
  const ZyIpcPipeConfig m_config;
  std::mutex m_lock;
  win32::DWORD m_timeoutMs = kDefaultTimeoutMs;
  win32::IUnknown* m_pSink = nullptr;  // one reference while advised
};
