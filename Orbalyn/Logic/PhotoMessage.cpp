#include "Logic/PhotoMessage.h"

#include <algorithm>
#include <climits>

using namespace win32;

CPhotoMessage::CPhotoMessage(int type, int value, int64_t id, int param1, int param2, int param3,
                             int param4)
    : CPhotoMessage(type, value, id, param1, param2, param3, param4, nullptr, 0) {}

CPhotoMessage::CPhotoMessage(int type, int value, int64_t id, const void* pPayload, size_t length)
    : CPhotoMessage(type, value, id, 0, 0, 0, 0, pPayload, length) {}

CPhotoMessage::CPhotoMessage(int type, int value, int64_t id, int param1, int param2, int param3,
                             int param4, const void* pPayload, size_t length)
    : m_type(type),
      m_id(id),
      m_value(value),
      m_param1(param1),
      m_param2(param2),
      m_param3(param3),
      m_param4(param4),
      m_payload(pPayload ? std::string(static_cast<const char*>(pPayload), length)
                         : std::string()) {}

CPhotoMessage::~CPhotoMessage() = default;

HRESULT CPhotoMessage::QueryInterface(REFIID riid, void** ppObject) {
  if (!ppObject) return E_INVALIDARG;
  if (riid != IID_IUnknown && riid != IID_IOrbalynMessage) return E_NOINTERFACE;
  AddRef();
  *ppObject = static_cast<IOrbalynMessage*>(this);
  return S_OK;
}

ULONG CPhotoMessage::AddRef() { return ++m_refCount; }

ULONG CPhotoMessage::Release() {
  ULONG count = --m_refCount;
  if (count == 0) delete this;
  return count;
}

HRESULT CPhotoMessage::GetType(int* pType) {
  if (!pType) return E_INVALIDARG;
  *pType = m_type;
  return S_OK;
}

HRESULT CPhotoMessage::GetId(int64_t* pId) {
  if (!pId) return E_INVALIDARG;
  *pId = m_id;
  return S_OK;
}

HRESULT CPhotoMessage::GetValue(int* pValue) {
  if (!pValue) return E_INVALIDARG;
  *pValue = m_value;
  return S_OK;
}

HRESULT CPhotoMessage::GetParam1(int* pParam) {
  if (!pParam) return E_INVALIDARG;
  *pParam = m_param1;
  return S_OK;
}

HRESULT CPhotoMessage::GetParam2(int* pParam) {
  if (!pParam) return E_INVALIDARG;
  *pParam = m_param2;
  return S_OK;
}

HRESULT CPhotoMessage::GetParam3(int* pParam) {
  if (!pParam) return E_INVALIDARG;
  *pParam = m_param3;
  return S_OK;
}

HRESULT CPhotoMessage::GetParam4(int* pParam) {
  if (!pParam) return E_INVALIDARG;
  *pParam = m_param4;
  return S_OK;
}

HRESULT CPhotoMessage::GetPayload(const BYTE** ppData, int* pLength) {
  if (ppData) *ppData = reinterpret_cast<const BYTE*>(m_payload.c_str());
  // Payloads are protocol records of at most 64 KiB; the clamp only keeps the int honest.
  if (pLength) *pLength = static_cast<int>(std::min<size_t>(m_payload.size(), INT_MAX));
  return S_OK;
}
