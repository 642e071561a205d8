#pragma once
// The settings store's save as it was made before it built the text in memory: one profile
// write, so one whole-file replace, per key. What a save must still leave in the file byte for
// byte (old readers read it), and the baseline of the save benchmark.

#include <string>

#include "Logic/PhotoDb.h"
#include "Logic/PhotoDevice.h"
#include "NetEngine/NetHelpers.h"
#include "win32/profile.h"

namespace test_common {

// False when a write failed.
inline bool SaveKeyByKey(const std::u16string& path) {
  CPhotoDb* pDb = CPhotoDb::Instance();
  bool written = true;
  const auto write = [&](const std::u16string& section, const char16_t* pKey,
                         const std::u16string& value) {
    written =
        win32::WritePrivateProfileStringW(section.c_str(), pKey, value.c_str(), path.c_str()) &&
        written;
  };
  write(u"Basic", u"DeviceId", Utf8ToWide(std::to_string(pDb->DeviceId())));
  write(u"Basic", u"DeviceIdKey", Utf8ToWide(pDb->IdKey()));
  write(u"Basic", u"WorkDir", pDb->WorkDir());
  write(u"Basic", u"GUID", Utf8ToWide(pDb->PcGuid()));
  IOrbalynDeviceContainer* pList = nullptr;
  if (pDb->GetBoundDevices(&pList) != win32::S_OK) return false;
  int count = 0;
  pList->GetCount(&count);
  for (int i = 0; i < count; ++i) {
    IOrbalynDevice* pItem = nullptr;
    pList->GetAt(i, &pItem);
    auto* pDevice = static_cast<CPhotoDevice*>(pItem);
    const std::u16string section = Utf8ToWide("PhotoDevice" + std::to_string(i));
    write(section, u"Id", Utf8ToWide(std::to_string(pDevice->Id())));
    write(section, u"Key", Utf8ToWide(pDevice->Key()));
    write(section, u"Name", pDevice->Name());
    write(section, u"Guid", pDevice->Guid());
    write(section, u"Zelid", pDevice->Zelid());
    pDevice->Release();
  }
  pList->Release();
  write(u"Basic", u"DeviceCount", Utf8ToWide(std::to_string(count)));
  return written;
}

}  // namespace test_common
