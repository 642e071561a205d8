#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "Interface/IOrbalyn.h"

// One UI message: what the logic tells the host's user interface, the bind information handed
// to the QR page, and the save-path question put to the upload assistant.
// Lifetime: counted; made with one reference for its creator and freed by the last Release on
//   any thread. The destructor is private so that only Release frees it.
// Threading: immutable after construction; the count is atomic.
class CPhotoMessage final : public IOrbalynMessage {
 public:
  // Empty payload.
  CPhotoMessage(int type, int value, int64_t id, int param1, int param2, int param3, int param4);
  // All params 0. `pPayload` may be null when `length` is 0.
  CPhotoMessage(int type, int value, int64_t id, const void* pPayload, size_t length);
  // Params and payload both: the upload batch and upload begin messages carry both.
  CPhotoMessage(int type, int value, int64_t id, int param1, int param2, int param3, int param4,
                const void* pPayload, size_t length);
  CPhotoMessage(const CPhotoMessage&) = delete;
  CPhotoMessage& operator=(const CPhotoMessage&) = delete;

  // IUnknown:
  win32::HRESULT STDMETHODCALLTYPE QueryInterface(win32::REFIID riid, void** ppObject) override;
  win32::ULONG STDMETHODCALLTYPE AddRef() override;
  win32::ULONG STDMETHODCALLTYPE Release() override;

  // IOrbalynMessage:
  win32::HRESULT STDMETHODCALLTYPE GetType(int* pType) override;
  win32::HRESULT STDMETHODCALLTYPE GetId(int64_t* pId) override;
  win32::HRESULT STDMETHODCALLTYPE GetValue(int* pValue) override;
  win32::HRESULT STDMETHODCALLTYPE GetParam1(int* pParam) override;
  win32::HRESULT STDMETHODCALLTYPE GetParam2(int* pParam) override;
  win32::HRESULT STDMETHODCALLTYPE GetParam3(int* pParam) override;
  win32::HRESULT STDMETHODCALLTYPE GetParam4(int* pParam) override;
  win32::HRESULT STDMETHODCALLTYPE GetPayload(const win32::BYTE** ppData, int* pLength) override;

 private:
  ~CPhotoMessage();

  // Set in the constructor, then constant.
  const int m_type;
  const int64_t m_id;
  const int m_value;
  const int m_param1;
  const int m_param2;
  const int m_param3;
  const int m_param4;
  const std::string m_payload;  // bytes; std::string keeps a NUL behind them

  std::atomic<win32::ULONG> m_refCount{1};
};
