#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "Interface/IOrbalyn.h"
#include "Common/Singleton.h"
#include "Common/ThreadAnnotations.h"
#include "win32/sync.h"

class CPhotoDevice;
class CPhotoDeviceContainer;

// The settings and device store: the PC's identity with the servers, the backup folder and
// every known phone, kept in "\Corvane\Orbalyn\Orbalyn.dat" under the application-data folder.
// Lifetime: process-wide singleton (static: AddRef and Release count nothing), destroyed at
//   exit. The root's Start calls Open, its Stop calls Save and then ClearDevices.
// Threading: any thread (the host's UI thread, the I/O thread, the upload thread). m_lock
//   guards every field and is held across the file work of Load and Save. Device locks may be
//   taken while m_lock is held, never the other way round. The shell work of SetWorkDir runs
//   outside the lock.
class CPhotoDb final : public IOrbalynDB, public Singleton<CPhotoDb> {
 public:
  // More device sections than this are never read, whatever DeviceCount claims: the count
  // bounds a loop of file reads during start-up.
  static constexpr int kMaxDeviceSections = 1000;
  // Enough for any path the file systems here can hold, so no folder is silently cut.
  static constexpr win32::DWORD kReadBufferChars = 32768;

  CPhotoDb(const CPhotoDb&) = delete;
  CPhotoDb& operator=(const CPhotoDb&) = delete;

  // IUnknown:
  win32::HRESULT STDMETHODCALLTYPE QueryInterface(win32::REFIID riid, void** ppObject) override;
  win32::ULONG STDMETHODCALLTYPE AddRef() override;
  win32::ULONG STDMETHODCALLTYPE Release() override;

  // IOrbalynDB:
  win32::HRESULT STDMETHODCALLTYPE SetWorkDir(const win32::WCHAR* pDir) override;
  win32::HRESULT STDMETHODCALLTYPE GetWorkDir(win32::BSTR* pDir) override;
  win32::HRESULT STDMETHODCALLTYPE GetDeviceId(int64_t* pId) override;
  win32::HRESULT STDMETHODCALLTYPE FindDevice(int64_t id, IOrbalynDevice** ppDevice) override;
  win32::HRESULT STDMETHODCALLTYPE GetBoundDevices(IOrbalynDeviceContainer** ppDevices) override;
  win32::HRESULT STDMETHODCALLTYPE GetAllDevices(IOrbalynDeviceContainer** ppDevices) override;
  win32::HRESULT STDMETHODCALLTYPE AutoRenameDevice(int64_t id, win32::BSTR* pName) override;
  win32::HRESULT STDMETHODCALLTYPE GetMatchDeviceId(int64_t id, int64_t* pMatchId) override;

  // Removes what killed processes left of their saves, then Load, then decorate the backup
  // folder and register the drive entry where they are missing (only with a backup folder and
  // at least one device). Returns Load's result.
  int Open();
  // 0 when the application-data folder cannot be had, else 1. A DeviceId of 0 loads nothing
  // else; malformed device sections are skipped.
  int Load();
  // Writes the identity, the folder and every bound device with a 16-character key, in one
  // replace of the whole file. 0 when the application-data folder cannot be had, else 1.
  int Save();

  // The device with a reference for the caller; when absent and `create` is set, a new one is
  // stored first. Null when absent.
  CPhotoDevice* FindOrCreateDevice(int64_t id, bool create);
  // Drops the store's reference; returns whether the device existed.
  bool RemoveDevice(int64_t id);
  // Releases every device.
  void ClearDevices();
  int DeviceCount();

  int64_t DeviceId();
  void SetDeviceId(int64_t id);
  std::string IdKey();
  void SetIdKey(const std::string& key);
  std::string SessionKey();
  void SetSessionKey(const std::string& key);
  std::u16string WorkDir();
  // The key the QR code hands to phones: made once per run (when `create` is set), never
  // saved. Empty until made.
  std::string BindKey(bool create);
  // The machine GUID as 32 lowercase hex digits, taken from the machine identity on first use;
  // empty (and tried again next time) when it cannot be had.
  std::string PcGuid();

  // The settings file's full path; false when the application-data folder cannot be had.
  static bool SettingsFilePath(std::u16string* pPath);
  // One value of the settings file. *pTooLong (optional) tells that the value did not fit the
  // buffer and came back cut.
  static std::u16string ReadValue(const std::u16string& path, const win32::WCHAR* pSection,
                                  const win32::WCHAR* pKey, const win32::WCHAR* pDefault,
                                  bool* pTooLong = nullptr);

  // Tests only: forgets every field and device, as a fresh process would have it.
  void ResetForTesting();

 private:
  friend class Singleton<CPhotoDb>;

  CPhotoDb();
  ~CPhotoDb() override;

  // Temporary files of saves whose process is gone.
  static void RemoveStaleTempFiles();
  CPhotoDevice* FindOrCreateDeviceLocked(int64_t id, bool create) EXCLUSIVE_LOCKS_REQUIRED(m_lock);
  CPhotoDeviceContainer* MakeContainer(bool boundOnly);
  // 0 name unique, 1 renamed, 255 gave up.
  int AutoRenameLocked(CPhotoDevice* pDevice) EXCLUSIVE_LOCKS_REQUIRED(m_lock);
  bool IsNameTakenLocked(CPhotoDevice* pDevice, const std::u16string& name, const char* pCaller)
      EXCLUSIVE_LOCKS_REQUIRED(m_lock);
  // The first other device with the same name and GUID, with a reference; null when none.
  CPhotoDevice* FindMatchDeviceLocked(CPhotoDevice* pDevice) EXCLUSIVE_LOCKS_REQUIRED(m_lock);

  // Device id -> device, ascending; the map holds one reference per device.
  std::map<int64_t, CPhotoDevice*> m_devices GUARDED_BY(m_lock);
  std::string m_sessionKey GUARDED_BY(m_lock);  // from the last redirect reply; not saved
  std::string m_idKey GUARDED_BY(m_lock);       // DeviceIdKey
  std::string m_bindKey GUARDED_BY(m_lock);     // a new one each run; not saved
  win32::CRITICAL_SECTION m_lock;
  int64_t m_deviceId GUARDED_BY(m_lock) = 0;  // the PC's id with the servers; 0: not registered
  std::string m_pcGuid GUARDED_BY(m_lock);
  std::u16string m_workDir GUARDED_BY(m_lock);
};
