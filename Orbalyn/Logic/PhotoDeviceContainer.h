#pragma once

#include <atomic>
#include <vector>

#include "Interface/IOrbalyn.h"

class CPhotoDevice;

// A snapshot list of devices, as the store hands it to the host.
// Lifetime: counted, starting at 1; holds one reference per device, released when the last
//   Release frees the list.
// Threading: filled by its creator before it is handed out, read-only afterwards; the count is
//   atomic, so the list may be released on any thread.
class CPhotoDeviceContainer final : public IOrbalynDeviceContainer {
 public:
  CPhotoDeviceContainer();
  CPhotoDeviceContainer(const CPhotoDeviceContainer&) = delete;
  CPhotoDeviceContainer& operator=(const CPhotoDeviceContainer&) = delete;

  // IUnknown:
  win32::HRESULT STDMETHODCALLTYPE QueryInterface(win32::REFIID riid, void** ppObject) override;
  win32::ULONG STDMETHODCALLTYPE AddRef() override;
  win32::ULONG STDMETHODCALLTYPE Release() override;

  // IOrbalynDeviceContainer:
  win32::HRESULT STDMETHODCALLTYPE GetCount(int* pCount) override;
  win32::HRESULT STDMETHODCALLTYPE GetAt(int index, IOrbalynDevice** ppDevice) override;

  // Appends the device with a reference of the list's own.
  void Add(CPhotoDevice* pDevice);
  // The device without an added reference, or null out of range.
  CPhotoDevice* ElementAt(int index) const;

 private:
  ~CPhotoDeviceContainer();

  std::vector<CPhotoDevice*> m_devices;
  std::atomic<win32::ULONG> m_refCount{1};
};
