#include "win32/com.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "handles.h"

namespace win32 {
namespace {

// The calling thread's apartment: `count` successful initialisations not yet balanced.
struct Apartment {
  DWORD mode = 0;
  ULONG count = 0;
};
thread_local Apartment t_apartment;

// Registered class factories, process-wide. Leaky, so stand-ins can register from static
// constructors and objects can be created from exit handlers.
class ClassTable {
 public:
  // Takes over one reference to `pFactory`.
  DWORD Add(REFCLSID clsid, IClassFactory* pFactory, DWORD context) {
    std::lock_guard<std::mutex> guard(m_lock);
    DWORD cookie = m_nextCookie++;
    m_entries.push_back(Entry{clsid, pFactory, context, cookie});
    return cookie;
  }

  // Returns a referenced factory, the latest registration first, or null.
  IClassFactory* Find(REFCLSID clsid, DWORD context) {
    std::lock_guard<std::mutex> guard(m_lock);
    for (auto it = m_entries.rbegin(); it != m_entries.rend(); ++it) {
      if (it->clsid == clsid && (it->context & context) != 0) {
        it->pFactory->AddRef();
        return it->pFactory;
      }
    }
    return nullptr;
  }

  // Returns the table's reference, or null for an unknown cookie.
  IClassFactory* Remove(DWORD cookie) {
    std::lock_guard<std::mutex> guard(m_lock);
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
      if (it->cookie == cookie) {
        IClassFactory* pFactory = it->pFactory;
        m_entries.erase(it);
        return pFactory;
      }
    }
    return nullptr;
  }

 private:
  struct Entry {
    CLSID clsid;
    IClassFactory* pFactory;
    DWORD context;
    DWORD cookie;
  };

  std::mutex m_lock;
  std::vector<Entry> m_entries;
  DWORD m_nextCookie = 1;
};

ClassTable& Classes() {
  static ClassTable* table = new ClassTable;
  return *table;
}

constexpr DWORD kKnownCoInitFlags =
    COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE | COINIT_SPEED_OVER_MEMORY;

}  // namespace

HRESULT CoInitializeEx(LPVOID reserved, DWORD coInit) {
  if (reserved || (coInit & ~kKnownCoInitFlags) != 0) return E_INVALIDARG;
  DWORD mode = coInit & COINIT_APARTMENTTHREADED;
  Apartment& apartment = t_apartment;
  if (apartment.count == 0) {
    apartment.mode = mode;
    apartment.count = 1;
    return S_OK;
  }
  if (apartment.mode != mode) return RPC_E_CHANGED_MODE;
  ++apartment.count;
  return S_FALSE;
}

HRESULT CoInitialize(LPVOID reserved) { return CoInitializeEx(reserved, COINIT_APARTMENTTHREADED); }

void CoUninitialize() {
  if (t_apartment.count > 0) --t_apartment.count;
}

HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD clsContext, REFIID riid,
                         LPVOID* ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (t_apartment.count == 0) return CO_E_NOTINITIALIZED;
  IClassFactory* pFactory = Classes().Find(rclsid, clsContext);
  if (!pFactory) return REGDB_E_CLASSNOTREG;
  HRESULT hr = pFactory->CreateInstance(pUnkOuter, riid, ppv);
  pFactory->Release();
  if (FAILED(hr)) *ppv = nullptr;
  return hr;
}

HRESULT CoRegisterClassObject(REFCLSID rclsid, IUnknown* unknown, DWORD clsContext, DWORD,
                              LPDWORD cookie) {
  if (!unknown || !cookie) return E_INVALIDARG;
  void* pFactory = nullptr;
  HRESULT hr = unknown->QueryInterface(IID_IClassFactory, &pFactory);
  if (FAILED(hr)) return hr;
  if (!pFactory) return E_NOINTERFACE;
  *cookie = Classes().Add(rclsid, static_cast<IClassFactory*>(pFactory), clsContext);
  return S_OK;
}

HRESULT CoRevokeClassObject(DWORD cookie) {
  IClassFactory* pFactory = Classes().Remove(cookie);
  if (!pFactory) return CO_E_OBJNOTREG;
  pFactory->Release();
  return S_OK;
}

void CoFreeUnusedLibrariesEx(DWORD, DWORD) {}

HRESULT CLSIDFromProgID(LPCOLESTR progId, LPCLSID clsid) {
  if (!progId || !clsid) return E_INVALIDARG;
  *clsid = CLSID_NULL;
  return CO_E_CLASSSTRING;
}

HRESULT CoCreateGuid(GUID* guid) {
  if (!guid) return E_INVALIDARG;
  uint8_t bytes[sizeof(GUID)];
  size_t got = 0;
  while (got < sizeof(bytes)) {
    ssize_t r = getrandom(bytes + got, sizeof(bytes) - got, 0);
    if (r < 0) {
      if (errno == EINTR) continue;
      return HRESULT_FROM_WIN32(detail::Win32ErrorFromErrno(errno));
    }
    got += static_cast<size_t>(r);
  }
  __builtin_memcpy(guid, bytes, sizeof(GUID));
  guid->Data3 = static_cast<uint16_t>((guid->Data3 & 0x0FFF) | 0x4000);
  guid->Data4[0] = static_cast<uint8_t>((guid->Data4[0] & 0x3F) | 0x80);
  return S_OK;
}

int StringFromGUID2(REFGUID guid, LPOLESTR buffer, int cchMax) {
  constexpr int kChars = 39;  // 38 and the NUL
  if (!buffer || cchMax < kChars) return 0;
  char text[kChars + 1];
  std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2],
                guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  for (int i = 0; i < kChars; ++i) buffer[i] = static_cast<OLECHAR>(text[i]);
  return kChars;
}

LPVOID CoTaskMemAlloc(SIZE_T size) { return std::malloc(size); }

void CoTaskMemFree(LPVOID pv) { std::free(pv); }

}  // namespace win32
