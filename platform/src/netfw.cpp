#include "win32/netfw.h"

#include <atomic>
#include <mutex>
#include <new>
#include <string>

#include "win32/registry.h"

namespace win32 {
namespace {

constexpr char16_t kRootKey[] = u"Software\\Lumidock\\FirewallStandIn\\";

std::u16string BstrText(BSTR text) { return std::u16string(text, SysStringLen(text)); }

HRESULT FromStatus(LSTATUS status) { return HRESULT_FROM_WIN32(static_cast<DWORD>(status)); }

LSTATUS SetString(HKEY key, const std::u16string& name, const std::u16string& text) {
  return RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>((text.size() + 1) * sizeof(char16_t)));
}

// Reference counting and QueryInterface for one interface besides IUnknown.
// Lifetime: created with one reference, deleted by the Release that drops the last.
template <class Interface, const IID& kInterfaceId>
class CStandInObject : public Interface {
 public:
  CStandInObject() = default;
  CStandInObject(const CStandInObject&) = delete;
  CStandInObject& operator=(const CStandInObject&) = delete;

  // IUnknown:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
    if (!ppvObject) return E_POINTER;
    if (riid == IID_IUnknown || riid == kInterfaceId) {
      this->AddRef();
      *ppvObject = static_cast<Interface*>(this);
      return S_OK;
    }
    *ppvObject = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG refs = --m_refs;
    if (refs == 0) delete this;
    return refs;
  }

 protected:
  virtual ~CStandInObject() = default;

 private:
  std::atomic<ULONG> m_refs{1};
};

// Hands `pObject`'s creation reference to *ppOut, or fails for a failed allocation.
template <class Interface>
HRESULT HandOut(Interface* pObject, Interface** ppOut) {
  if (!ppOut) {
    if (pObject) pObject->Release();
    return E_POINTER;
  }
  *ppOut = pObject;
  return pObject ? S_OK : E_OUTOFMEMORY;
}

class CNetFwAuthorizedApplication final
    : public CStandInObject<INetFwAuthorizedApplication, IID_INetFwAuthorizedApplication> {
 public:
  CNetFwAuthorizedApplication() = default;
  CNetFwAuthorizedApplication(std::u16string path, std::u16string name)
      : m_path(std::move(path)), m_name(std::move(name)) {}

  // INetFwAuthorizedApplication:
  HRESULT STDMETHODCALLTYPE get_Name(BSTR* name) override { return Copy(m_name, name); }
  HRESULT STDMETHODCALLTYPE put_Name(BSTR name) override {
    m_name = BstrText(name);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_ProcessImageFileName(BSTR* imageFileName) override {
    return Copy(m_path, imageFileName);
  }
  HRESULT STDMETHODCALLTYPE put_ProcessImageFileName(BSTR imageFileName) override {
    if (SysStringLen(imageFileName) == 0) return E_INVALIDARG;
    m_path = BstrText(imageFileName);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL* enabled) override {
    if (!enabled) return E_POINTER;
    *enabled = VARIANT_TRUE;  // only enabled entries are ever recorded
    return S_OK;
  }

 private:
  static HRESULT Copy(const std::u16string& text, BSTR* pOut) {
    if (!pOut) return E_POINTER;
    *pOut = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *pOut ? S_OK : E_OUTOFMEMORY;
  }

  // Used by one caller at a time, as a freshly created object is.
  std::u16string m_path;
  std::u16string m_name;
};

// One profile's list, kept in the registry so every process (and test) sees the same one.
class CNetFwAuthorizedApplications final
    : public CStandInObject<INetFwAuthorizedApplications, IID_INetFwAuthorizedApplications> {
 public:
  explicit CNetFwAuthorizedApplications(const char16_t* profile) : m_profile(profile) {}

  // INetFwAuthorizedApplications:
  HRESULT STDMETHODCALLTYPE Add(INetFwAuthorizedApplication* app) override {
    if (!app) return E_POINTER;
    BSTR path = nullptr;
    BSTR name = nullptr;
    HRESULT hr = app->get_ProcessImageFileName(&path);
    if (SUCCEEDED(hr)) hr = app->get_Name(&name);
    std::u16string pathText = BstrText(path);
    std::u16string nameText = BstrText(name);
    SysFreeString(path);
    SysFreeString(name);
    if (FAILED(hr)) return hr;
    if (pathText.empty()) return E_INVALIDARG;

    std::lock_guard<std::mutex> guard(Lock());
    HKEY key = nullptr;
    LSTATUS status = OpenKey(u"AuthorizedApplications", &key);
    if (status == ERROR_SUCCESS) {
      status = SetString(key, pathText, nameText);
      RegCloseKey(key);
    }
    if (status != ERROR_SUCCESS) return FromStatus(status);
    return AppendHistoryLocked(u"add " + pathText);
  }

  HRESULT STDMETHODCALLTYPE Remove(BSTR imageFileName) override {
    std::u16string pathText = BstrText(imageFileName);
    if (pathText.empty()) return E_INVALIDARG;
    std::lock_guard<std::mutex> guard(Lock());
    HKEY key = nullptr;
    LSTATUS status = OpenKey(u"AuthorizedApplications", &key);
    if (status == ERROR_SUCCESS) {
      status = RegDeleteValueW(key, pathText.c_str());
      RegCloseKey(key);
    }
    if (status != ERROR_SUCCESS) return FromStatus(status);
    return AppendHistoryLocked(u"remove " + pathText);
  }

  HRESULT STDMETHODCALLTYPE Item(BSTR imageFileName, INetFwAuthorizedApplication** app) override {
    if (!app) return E_POINTER;
    *app = nullptr;
    std::u16string pathText = BstrText(imageFileName);
    if (pathText.empty()) return E_INVALIDARG;
    std::u16string name;
    {
      std::lock_guard<std::mutex> guard(Lock());
      HKEY key = nullptr;
      LSTATUS status = OpenKey(u"AuthorizedApplications", &key);
      if (status == ERROR_SUCCESS) {
        status = ReadString(key, pathText, &name);
        RegCloseKey(key);
      }
      if (status != ERROR_SUCCESS) return FromStatus(status);
    }
    return HandOut<INetFwAuthorizedApplication>(
        new (std::nothrow) CNetFwAuthorizedApplication(pathText, name), app);
  }

 private:
  // Serialises the read-modify-write of the lists and the history numbering in this process.
  static std::mutex& Lock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
  }

  LSTATUS OpenKey(const char16_t* leaf, HKEY* pKey) const {
    std::u16string path = std::u16string(kRootKey) + m_profile + u"\\" + leaf;
    return RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_READ | KEY_WRITE, nullptr, pKey, nullptr);
  }

  static LSTATUS ReadString(HKEY key, const std::u16string& valueName, std::u16string* pText) {
    DWORD type = 0;
    DWORD bytes = 0;
    LSTATUS status = RegQueryValueExW(key, valueName.c_str(), nullptr, &type, nullptr, &bytes);
    if (status != ERROR_SUCCESS) return status;
    std::u16string text(bytes / sizeof(char16_t) + 1, u'\0');
    status = RegQueryValueExW(key, valueName.c_str(), nullptr, &type,
                              reinterpret_cast<BYTE*>(text.data()), &bytes);
    if (status != ERROR_SUCCESS) return status;
    text.resize(bytes / sizeof(char16_t));
    while (!text.empty() && text.back() == u'\0') text.pop_back();
    *pText = std::move(text);
    return ERROR_SUCCESS;
  }

  // Entries are numbered from 1 in call order; none is ever removed.
  HRESULT AppendHistoryLocked(const std::u16string& entry) const {
    HKEY key = nullptr;
    LSTATUS status = OpenKey(u"History", &key);
    if (status != ERROR_SUCCESS) return FromStatus(status);
    DWORD number = 1;
    for (;; ++number) {
      DWORD bytes = 0;
      std::u16string name = NumberText(number);
      status = RegQueryValueExW(key, name.c_str(), nullptr, nullptr, nullptr, &bytes);
      if (status == ERROR_FILE_NOT_FOUND) {
        status = SetString(key, name, entry);
        break;
      }
      if (status != ERROR_SUCCESS) break;
    }
    RegCloseKey(key);
    return FromStatus(status);
  }

  static std::u16string NumberText(DWORD number) {
    std::string digits = std::to_string(number);
    return std::u16string(digits.begin(), digits.end());
  }

  const char16_t* const m_profile;
};

class CNetFwProfile final : public CStandInObject<INetFwProfile, IID_INetFwProfile> {
 public:
  explicit CNetFwProfile(const char16_t* profile) : m_profile(profile) {}

  // INetFwProfile:
  HRESULT STDMETHODCALLTYPE
  get_AuthorizedApplications(INetFwAuthorizedApplications** apps) override {
    return HandOut<INetFwAuthorizedApplications>(
        new (std::nothrow) CNetFwAuthorizedApplications(m_profile), apps);
  }

 private:
  const char16_t* const m_profile;
};

class CNetFwPolicy final : public CStandInObject<INetFwPolicy, IID_INetFwPolicy> {
 public:
  // INetFwPolicy:
  HRESULT STDMETHODCALLTYPE GetProfileByType(NET_FW_PROFILE_TYPE profileType,
                                             INetFwProfile** profile) override {
    const char16_t* name = nullptr;
    switch (profileType) {
      case NET_FW_PROFILE_DOMAIN:
        name = u"Domain";
        break;
      case NET_FW_PROFILE_STANDARD:
      case NET_FW_PROFILE_CURRENT:
        name = u"Standard";
        break;
      default:
        if (profile) *profile = nullptr;
        return E_INVALIDARG;
    }
    return HandOut<INetFwProfile>(new (std::nothrow) CNetFwProfile(name), profile);
  }
};

class CNetFwMgr final : public CStandInObject<INetFwMgr, IID_INetFwMgr> {
 public:
  // INetFwMgr:
  HRESULT STDMETHODCALLTYPE get_LocalPolicy(INetFwPolicy** localPolicy) override {
    return HandOut<INetFwPolicy>(new (std::nothrow) CNetFwPolicy, localPolicy);
  }
};

// A factory that lives as long as the process (the class table's reference never frees it).
template <class Object>
class CStandInFactory final : public IClassFactory {
 public:
  constexpr CStandInFactory() = default;

  // IUnknown:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
    if (!ppvObject) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *ppvObject = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *ppvObject = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  // IClassFactory:
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid,
                                           void** ppvObject) override {
    if (!ppvObject) return E_POINTER;
    *ppvObject = nullptr;
    if (pUnkOuter) return CLASS_E_NOAGGREGATION;
    Object* pObject = new (std::nothrow) Object;
    if (!pObject) return E_OUTOFMEMORY;
    HRESULT hr = pObject->QueryInterface(riid, ppvObject);
    pObject->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

CStandInFactory<CNetFwMgr> g_managerFactory;
CStandInFactory<CNetFwAuthorizedApplication> g_applicationFactory;

// The manager is there as soon as the layer is loaded, as the system's own would be.
struct FirewallRegistration {
  FirewallRegistration() {
    DWORD cookie = 0;
    CoRegisterClassObject(CLSID_NetFwMgr, &g_managerFactory, CLSCTX_INPROC_SERVER,
                          REGCLS_MULTIPLEUSE, &cookie);
    CoRegisterClassObject(CLSID_NetFwAuthorizedApplication, &g_applicationFactory,
                          CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie);
  }
};
const FirewallRegistration g_registration;

}  // namespace
}  // namespace win32
