#include "AdapterAddress.h"

#include <cstring>
#include <memory>
#include <string>

#include "NetbiosQuery.h"
#include "win32/iphlpapi.h"
#include "win32/module.h"
#include "win32/netbios.h"
#include "win32/registry.h"

using namespace win32;

namespace ZyMacID {

namespace {

using GetAdaptersInfoFn = DWORD (*)(PIP_ADAPTER_INFO, ULONG*);

constexpr uint8_t kFallbackAddress[6] = {0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x6F};

// Room for 16 adapters, whatever the structure's size on this platform.
constexpr ULONG kAdapterSlots = 16;

bool IsZero(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (p[i] != 0) return false;
  }
  return true;
}

bool ReadFromAdapterList(uint8_t address[6]) {
  WCHAR systemDir[MAX_PATH] = {};
  UINT length = GetSystemDirectoryW(systemDir, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  std::u16string path = std::u16string(systemDir) + u"\\iphlpapi.dll";
  HMODULE library = LoadLibraryW(path.c_str());
  if (!library) return false;

  bool found = false;
  auto getAdaptersInfo =
      reinterpret_cast<GetAdaptersInfoFn>(GetProcAddress(library, "GetAdaptersInfo"));
  if (getAdaptersInfo) {
    std::unique_ptr<IP_ADAPTER_INFO[]> adapters(new IP_ADAPTER_INFO[kAdapterSlots]());
    ULONG size = sizeof(IP_ADAPTER_INFO) * kAdapterSlots;
    if (getAdaptersInfo(adapters.get(), &size) == ERROR_SUCCESS) {
      found = ChooseAdapterAddress(adapters.get(), address);
    }
  }
  FreeLibrary(library);
  return found;
}

bool ReadFromNetbios(uint8_t address[6]) {
  LANA_ENUM lanas;
  if (!NetbiosQuery::EnumLanas(&lanas)) return false;
  for (int i = static_cast<int>(lanas.length) - 1; i >= 0; --i) {
    if (NetbiosQuery::QueryLanaAddress(lanas.lana[i], address) && !IsZero(address, 6)) return true;
  }
  return false;
}

}  // namespace

bool GetAdapterAddress(uint8_t address[6]) {
  if (ReadFromAdapterList(address) || ReadFromNetbios(address)) return true;
  memcpy(address, kFallbackAddress, sizeof(kFallbackAddress));
  return true;
}

bool ChooseAdapterAddress(const IP_ADAPTER_INFO* pAdapters, uint8_t address[6]) {
  uint8_t taken[6] = {};
  int takenClass = kAdapterUnknown;
  bool first = true;
  for (const IP_ADAPTER_INFO* p = pAdapters; p; p = p->Next) {
    int adapterClass = GetAdapterClass(p->AdapterName);
    bool better = (p->Type == MIB_IF_TYPE_ETHERNET || p->Type == MIB_IF_TYPE_PPP) &&
                  adapterClass < takenClass;
    if (first || better) {
      memcpy(taken, p->Address, sizeof(taken));
      takenClass = adapterClass;
      first = false;
    }
  }
  if (IsZero(taken, sizeof(taken))) return false;
  memcpy(address, taken, sizeof(taken));
  return true;
}

int GetAdapterClass(const char* adapterName) {
  HKEY networkKey = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                    u"System\\CurrentControlSet\\Control\\Network\\"
                    u"{4D36E972-E325-11CE-BFC1-08002BE10318}",
                    0, KEY_READ, &networkKey) != ERROR_SUCCESS) {
    return kAdapterUnknown;
  }
  int result = kAdapterUnknown;
  std::string subKey = std::string(adapterName) + "\\Connection";
  HKEY connectionKey = nullptr;
  if (RegOpenKeyExA(networkKey, subKey.c_str(), 0, KEY_READ, &connectionKey) == ERROR_SUCCESS) {
    DWORD mediaSubType = 0;
    DWORD size = sizeof(mediaSubType);
    char pnpId[260] = {};
    DWORD pnpSize = sizeof(pnpId) - 1;
    if (RegQueryValueExA(connectionKey, "MediaSubType", nullptr, nullptr,
                         reinterpret_cast<BYTE*>(&mediaSubType), &size) == ERROR_SUCCESS &&
        RegQueryValueExA(connectionKey, "PnpInstanceID", nullptr, nullptr,
                         reinterpret_cast<BYTE*>(pnpId), &pnpSize) == ERROR_SUCCESS) {
      if (mediaSubType == 1) {
        result = strncmp(pnpId, "PCI", 3) == 0 ? kAdapterWiredPci : kAdapterWiredOther;
      } else if (mediaSubType == 2) {
        result = kAdapterWireless;
      }
    }
    RegCloseKey(connectionKey);
  }
  RegCloseKey(networkKey);
  return result;
}

}  // namespace ZyMacID
