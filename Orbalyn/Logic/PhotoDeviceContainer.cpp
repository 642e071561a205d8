#include "Logic/PhotoDeviceContainer.h"

#include "Logic/PhotoDevice.h"

using namespace win32;

CPhotoDeviceContainer::CPhotoDeviceContainer() = default;

CPhotoDeviceContainer::~CPhotoDeviceContainer() {
  for (CPhotoDevice* pDevice : m_devices) pDevice->Release();
}

HRESULT CPhotoDeviceContainer::QueryInterface(REFIID riid, void** ppObject) {
  if (!ppObject) return E_INVALIDARG;
  if (riid != IID_IUnknown && riid != IID_IOrbalynDeviceContainer) return E_NOINTERFACE;
  AddRef();
  *ppObject = static_cast<IOrbalynDeviceContainer*>(this);
  return S_OK;
}

ULONG CPhotoDeviceContainer::AddRef() { return ++m_refCount; }

ULONG CPhotoDeviceContainer::Release() {
  ULONG count = --m_refCount;
  if (count == 0) delete this;
  return count;
}

HRESULT CPhotoDeviceContainer::GetCount(int* pCount) {
  if (!pCount) return E_INVALIDARG;
  *pCount = static_cast<int>(m_devices.size());
  return S_OK;
}

HRESULT CPhotoDeviceContainer::GetAt(int index, IOrbalynDevice** ppDevice) {
  if (!ppDevice) return E_INVALIDARG;
  CPhotoDevice* pDevice = ElementAt(index);
  *ppDevice = pDevice;
  if (!pDevice) return S_FALSE;
  pDevice->AddRef();  // the caller's
  return S_OK;
}

void CPhotoDeviceContainer::Add(CPhotoDevice* pDevice) {
  pDevice->AddRef();  // the list's, dropped in the destructor
  m_devices.push_back(pDevice);
}

CPhotoDevice* CPhotoDeviceContainer::ElementAt(int index) const {
  if (index < 0 || static_cast<size_t>(index) >= m_devices.size()) return nullptr;
  return m_devices[static_cast<size_t>(index)];
}
