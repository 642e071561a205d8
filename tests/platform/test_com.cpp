// COM basics, BSTR, VARIANT and the firewall manager that records into the registry.

#include "win32/com.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "win32/netfw.h"
#include "win32/oleauto.h"
#include "win32/registry.h"
#include "win32/strings.h"

namespace {

using namespace win32;

// Every case runs in a private sandbox (the registry hive lives under it).
class SandboxEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    char pattern[] = "/tmp/lumidock-com-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    m_root = pattern;
    setenv("LUMIDOCK_ROOT", pattern, 1);
  }
  void TearDown() override { std::filesystem::remove_all(m_root); }

 private:
  std::string m_root;
};
testing::Environment* const g_sandbox = testing::AddGlobalTestEnvironment(new SandboxEnvironment);

// Runs `body` on a fresh thread, so apartment state never leaks between cases.
template <class F>
void OnNewThread(F body) {
  std::thread(body).join();
}

// --- BSTR: one allocator for the whole process, length prefix in bytes ---

TEST(BstrTest, RoundTripKeepsLengthPrefixAndTerminator) {
  BSTR text = SysAllocString(u"h\u00e9llo");
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(SysStringLen(text), 5u);
  EXPECT_EQ(SysStringByteLen(text), 10u);
  uint32_t prefix;
  std::memcpy(&prefix, reinterpret_cast<const char*>(text) - 4, 4);
  EXPECT_EQ(prefix, 10u);
  EXPECT_EQ(std::u16string(text), u"h\u00e9llo");
  SysFreeString(text);

  // Embedded NULs count; the terminator is still there.
  BSTR embedded = SysAllocStringLen(u"a\0b", 3);
  ASSERT_NE(embedded, nullptr);
  EXPECT_EQ(SysStringLen(embedded), 3u);
  EXPECT_EQ(embedded[1], u'\0');
  EXPECT_EQ(embedded[3], u'\0');
  SysFreeString(embedded);

  BSTR blank = SysAllocStringLen(nullptr, 4);
  ASSERT_NE(blank, nullptr);
  EXPECT_EQ(SysStringLen(blank), 4u);
  for (int i = 0; i <= 4; ++i) EXPECT_EQ(blank[i], u'\0');
  SysFreeString(blank);

  BSTR bytes = SysAllocStringByteLen("abc", 3);
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(SysStringByteLen(bytes), 3u);
  EXPECT_EQ(SysStringLen(bytes), 1u);
  EXPECT_EQ(std::memcmp(bytes, "abc\0\0", 5), 0);
  SysFreeString(bytes);
}

TEST(BstrTest, NullAndOversizeRequests) {
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysStringByteLen(nullptr), 0u);
  SysFreeString(nullptr);
  // The byte count would not fit the 32-bit prefix.
  EXPECT_EQ(SysAllocStringLen(nullptr, 0x80000000u), nullptr);
  BSTR empty = SysAllocString(u"");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(SysStringLen(empty), 0u);
  SysFreeString(empty);
}

// --- VARIANT ---

// Counts references so the tests see VariantClear/VariantCopy release and add them.
class CountedDispatch final : public IDispatch {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --m_refs; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    return E_NOTIMPL;
  }
  ULONG Refs() const { return m_refs; }

 private:
  ULONG m_refs = 1;
};

TEST(VariantTest, ClearReleasesWhatTheVariantOwns) {
  CountedDispatch dispatch;
  VARIANT v;
  VariantInit(&v);
  EXPECT_EQ(v.vt, VT_EMPTY);
  v.vt = VT_DISPATCH;
  v.pdispVal = &dispatch;
  dispatch.AddRef();

  VARIANT copy;
  VariantInit(&copy);
  ASSERT_EQ(VariantCopy(&copy, &v), S_OK);
  EXPECT_EQ(dispatch.Refs(), 3u);
  EXPECT_EQ(VariantClear(&copy), S_OK);
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(dispatch.Refs(), 1u);
  EXPECT_EQ(v.vt, VT_EMPTY);

  // A BSTR is freed (the sanitizer build catches a leak or a double free).
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(u"UUin");
  ASSERT_EQ(VariantCopy(&copy, &v), S_OK);
  EXPECT_NE(copy.bstrVal, v.bstrVal);
  EXPECT_EQ(std::u16string(copy.bstrVal), u"UUin");
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(VariantClear(&copy), S_OK);
}

TEST(VariantTest, ChangeTypeConvertsIntegersWithRangeChecks) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_UI4;
  v.ulVal = 123456;
  VARIANT out;
  VariantInit(&out);
  ASSERT_EQ(VariantChangeType(&out, &v, 0, VT_I4), S_OK);
  EXPECT_EQ(out.vt, VT_I4);
  EXPECT_EQ(out.lVal, 123456);

  v.ulVal = 0x80000000u;
  EXPECT_EQ(VariantChangeType(&out, &v, 0, VT_I4), DISP_E_OVERFLOW);
  v.vt = VT_I4;
  v.lVal = -1;
  EXPECT_EQ(VariantChangeType(&out, &v, 0, VT_UI4), DISP_E_OVERFLOW);
  ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_BOOL), S_OK);  // in place
  EXPECT_EQ(v.vt, VT_BOOL);
  EXPECT_EQ(v.boolVal, VARIANT_TRUE);

  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(u"7");
  EXPECT_EQ(VariantChangeType(&out, &v, 0, VT_I4), DISP_E_TYPEMISMATCH);
  VariantClear(&v);
  VariantClear(&out);
}

// --- Apartments ---

TEST(ApartmentTest, SecondModeIsRefusedAndNotCounted) {
  OnNewThread([] {
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE), S_OK);
    EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
    CoUninitialize();
    CoUninitialize();
    // Fully balanced: the thread may now choose the other mode.
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    CoUninitialize();
    EXPECT_EQ(CoInitializeEx(reinterpret_cast<void*>(1), COINIT_MULTITHREADED), E_INVALIDARG);
  });
}

// --- Object creation ---

constexpr CLSID kFakeClass = {0x1234ABCD, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};

class FakeObject final : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (riid != IID_IUnknown) {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    *ppv = this;
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG refs = --m_refs;
    if (refs == 0) delete this;
    return refs;
  }

 private:
  std::atomic<ULONG> m_refs{1};
};

class FakeFactory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (riid != IID_IUnknown && riid != IID_IClassFactory) {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    *ppv = static_cast<IClassFactory*>(this);
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --m_refs; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID riid, void** ppv) override {
    FakeObject* pObject = new FakeObject;
    HRESULT hr = pObject->QueryInterface(riid, ppv);
    pObject->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
  ULONG Refs() const { return m_refs; }

 private:
  std::atomic<ULONG> m_refs{1};
};

TEST(CreateInstanceTest, UnknownClassAndMissingApartmentFail) {
  OnNewThread([] {
    void* pObject = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(kFakeClass, nullptr, CLSCTX_ALL, IID_IUnknown, &pObject),
              CO_E_NOTINITIALIZED);
    EXPECT_EQ(pObject, nullptr);
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    pObject = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(kFakeClass, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, &pObject),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(pObject, nullptr);
    CLSID clsid;
    EXPECT_EQ(CLSIDFromProgID(u"Messenger.Application", &clsid), CO_E_CLASSSTRING);
    CoUninitialize();
  });
}

TEST(CreateInstanceTest, RegisteredFactoryServesMatchingContextUntilRevoked) {
  FakeFactory factory;
  DWORD cookie = 0;
  ASSERT_EQ(
      CoRegisterClassObject(kFakeClass, &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie),
      S_OK);
  EXPECT_EQ(factory.Refs(), 2u);
  OnNewThread([] {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    void* pObject = nullptr;
    ASSERT_EQ(CoCreateInstance(kFakeClass, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, &pObject),
              S_OK);
    ASSERT_NE(pObject, nullptr);
    static_cast<IUnknown*>(pObject)->Release();
    EXPECT_EQ(CoCreateInstance(kFakeClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &pObject),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CoCreateInstance(kFakeClass, nullptr, CLSCTX_ALL, IID_IClassFactory, &pObject),
              E_NOINTERFACE);
    EXPECT_EQ(pObject, nullptr);
    CoUninitialize();
  });
  ASSERT_EQ(CoRevokeClassObject(cookie), S_OK);
  EXPECT_EQ(factory.Refs(), 1u);
  EXPECT_EQ(CoRevokeClassObject(cookie), CO_E_OBJNOTREG);
}

// --- GUIDs ---

TEST(GuidTest, CreateGivesDistinctVersionFourGuidsAndTextForm) {
  GUID a;
  GUID b;
  ASSERT_EQ(CoCreateGuid(&a), S_OK);
  ASSERT_EQ(CoCreateGuid(&b), S_OK);
  EXPECT_FALSE(a == b);
  EXPECT_EQ(a.Data3 >> 12, 4);
  EXPECT_EQ(a.Data4[0] & 0xC0, 0x80);

  OLECHAR text[39];
  EXPECT_EQ(StringFromGUID2(IID_IDispatch, text, 39), 39);
  EXPECT_EQ(std::u16string(text), u"{00020400-0000-0000-C000-000000000046}");
  EXPECT_EQ(StringFromGUID2(IID_IDispatch, text, 38), 0);
}

// --- Firewall manager: authorise and remove, as the install report does ---

class FirewallTest : public testing::Test {
 protected:
  static constexpr char16_t kPath[] = u"\\opt\\lumidock\\setup";
  static constexpr char16_t kName[] = u"Lumidock\u5B89\u88C5\u7A0B\u5E8F";

  void SetUp() override {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE), S_OK);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"Software\\Lumidock\\FirewallStandIn");
  }
  void TearDown() override { CoUninitialize(); }

  static HRESULT GetApps(NET_FW_PROFILE_TYPE type, INetFwAuthorizedApplications** ppApps) {
    *ppApps = nullptr;
    INetFwMgr* pManager = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_NetFwMgr, nullptr, CLSCTX_INPROC_SERVER, IID_INetFwMgr,
                                  reinterpret_cast<void**>(&pManager));
    if (FAILED(hr)) return hr;
    INetFwPolicy* pPolicy = nullptr;
    hr = pManager->get_LocalPolicy(&pPolicy);
    pManager->Release();
    if (FAILED(hr)) return hr;
    INetFwProfile* pProfile = nullptr;
    hr = pPolicy->GetProfileByType(type, &pProfile);
    pPolicy->Release();
    if (FAILED(hr)) return hr;
    hr = pProfile->get_AuthorizedApplications(ppApps);
    pProfile->Release();
    return hr;
  }

  // Returns true when it added the entry (false: already there and enabled).
  static bool Authorise(NET_FW_PROFILE_TYPE type) {
    INetFwAuthorizedApplications* pApps = nullptr;
    EXPECT_EQ(GetApps(type, &pApps), S_OK);
    if (!pApps) return false;
    BSTR path = SysAllocString(kPath);
    INetFwAuthorizedApplication* pApp = nullptr;
    bool added = false;
    VARIANT_BOOL enabled = VARIANT_FALSE;
    if (SUCCEEDED(pApps->Item(path, &pApp)) && SUCCEEDED(pApp->get_Enabled(&enabled)) &&
        enabled == VARIANT_TRUE) {
      pApp->Release();
    } else {
      EXPECT_EQ(pApp, nullptr);
      EXPECT_EQ(CoCreateInstance(CLSID_NetFwAuthorizedApplication, nullptr, CLSCTX_INPROC_SERVER,
                                 IID_INetFwAuthorizedApplication, reinterpret_cast<void**>(&pApp)),
                S_OK);
      BSTR name = SysAllocString(kName);
      EXPECT_EQ(pApp->put_ProcessImageFileName(path), S_OK);
      EXPECT_EQ(pApp->put_Name(name), S_OK);
      EXPECT_EQ(pApps->Add(pApp), S_OK);
      SysFreeString(name);
      pApp->Release();
      added = true;
    }
    SysFreeString(path);
    pApps->Release();
    return added;
  }

  static HRESULT Remove(NET_FW_PROFILE_TYPE type) {
    INetFwAuthorizedApplications* pApps = nullptr;
    HRESULT hr = GetApps(type, &pApps);
    if (FAILED(hr)) return hr;
    BSTR path = SysAllocString(kPath);
    hr = pApps->Remove(path);
    SysFreeString(path);
    pApps->Release();
    return hr;
  }

  // The string stored in HKLM\Software\Lumidock\FirewallStandIn\<profile>\<leaf>, or "<none>".
  static std::u16string ReadValue(const std::u16string& profile, const char16_t* leaf,
                                  const std::u16string& valueName) {
    std::u16string path = u"Software\\Lumidock\\FirewallStandIn\\" + profile + u"\\" + leaf;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
      return u"<none>";
    }
    char16_t buffer[512] = {};
    DWORD bytes = sizeof(buffer) - sizeof(char16_t);
    LSTATUS status = RegQueryValueExW(key, valueName.c_str(), nullptr, nullptr,
                                      reinterpret_cast<BYTE*>(buffer), &bytes);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? std::u16string(buffer) : u"<none>";
  }
};

TEST_F(FirewallTest, AddAndRemoveAreVisibleInTheRegistryWithHistory) {
  // Domain and standard get the entry; "current" is the standard profile, already authorised.
  EXPECT_TRUE(Authorise(NET_FW_PROFILE_DOMAIN));
  EXPECT_TRUE(Authorise(NET_FW_PROFILE_STANDARD));
  EXPECT_FALSE(Authorise(NET_FW_PROFILE_CURRENT));
  for (const char16_t* profile : {u"Domain", u"Standard"}) {
    SCOPED_TRACE(Utf16ToUtf8(profile));
    EXPECT_EQ(ReadValue(profile, u"AuthorizedApplications", kPath), kName);
    EXPECT_EQ(ReadValue(profile, u"History", u"1"), std::u16string(u"add ") + kPath);
    EXPECT_EQ(ReadValue(profile, u"History", u"2"), u"<none>");
  }

  EXPECT_EQ(Remove(NET_FW_PROFILE_DOMAIN), S_OK);
  EXPECT_EQ(Remove(NET_FW_PROFILE_STANDARD), S_OK);
  EXPECT_EQ(Remove(NET_FW_PROFILE_CURRENT), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  for (const char16_t* profile : {u"Domain", u"Standard"}) {
    SCOPED_TRACE(Utf16ToUtf8(profile));
    EXPECT_EQ(ReadValue(profile, u"AuthorizedApplications", kPath), u"<none>");
    EXPECT_EQ(ReadValue(profile, u"History", u"2"), std::u16string(u"remove ") + kPath);
    EXPECT_EQ(ReadValue(profile, u"History", u"3"), u"<none>");
  }
}

TEST(FirewallModeTest, ThreadInTheOtherApartmentModeStillCreatesTheManager) {
  OnNewThread([] {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE),
              RPC_E_CHANGED_MODE);
    INetFwMgr* pManager = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_NetFwMgr, nullptr, CLSCTX_INPROC_SERVER, IID_INetFwMgr,
                               reinterpret_cast<void**>(&pManager)),
              S_OK);
    pManager->Release();
    CoUninitialize();
  });
}

}  // namespace
