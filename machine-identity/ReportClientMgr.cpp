#include "ReportClientMgr.h"

#include <cstring>
#include <string>

#include "Common/LogHook.h"
#include "HardwareId.h"
#include "Md5.h"
#include "SeqIDGenerator.h"
#include "win32/com.h"
#include "win32/oleauto.h"
#include "win32/registry.h"
#include "win32/strings.h"
#include "win32/sysinfo.h"

using namespace win32;

namespace {

// The messenger's local server and the interfaces the account lookup walks. Only the
// operations used are meaningful; the others hold their table positions.
// {A7CC2FDB-EED7-4FDA-880E-C762570CC005}
constexpr CLSID kMessengerClsid = {
    0xA7CC2FDB, 0xEED7, 0x4FDA, {0x88, 0x0E, 0xC7, 0x62, 0x57, 0x0C, 0xC0, 0x05}};
// {68E03E39-A4C1-4FE0-87C4-22B029DF3E4D}
constexpr IID kItemListIid = {
    0x68E03E39, 0xA4C1, 0x4FE0, {0x87, 0xC4, 0x22, 0xB0, 0x29, 0xDF, 0x3E, 0x4D}};
// {192751BF-2639-487D-B97E-67EFFFC62822}
constexpr IID kItemIid = {
    0x192751BF, 0x2639, 0x487D, {0xB9, 0x7E, 0x67, 0xEF, 0xFF, 0xC6, 0x28, 0x22}};
// {2859856E-8195-406B-9E7E-8F1D75477E1A}
constexpr IID kAccountIid = {
    0x2859856E, 0x8195, 0x406B, {0x9E, 0x7E, 0x8F, 0x1D, 0x75, 0x47, 0x7E, 0x1A}};

struct IMessengerItemList : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Reserved3() = 0;
  // Operation 4: the item after `pPrevious` (null: the first); null after the last.
  virtual HRESULT STDMETHODCALLTYPE NextItem(IUnknown* pPrevious, IUnknown** ppNext) = 0;
};

struct IMessengerItem : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Reserved3() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved4() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved5() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved6() = 0;
  // Operation 7: the item's value object.
  virtual HRESULT STDMETHODCALLTYPE GetValue(IUnknown** ppValue) = 0;
};

bool GetProperty(IDispatch* pDispatch, const char16_t* pName, VARIANT* pResult) {
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR name = const_cast<LPOLESTR>(pName);
  if (FAILED(pDispatch->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id))) {
    return false;
  }
  DISPPARAMS noArgs = {nullptr, nullptr, 0, 0};
  return SUCCEEDED(pDispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET,
                                     &noArgs, pResult, nullptr, nullptr));
}

// The account number read from one item's value object; `previous` when it has none.
uint64_t ReadAccount(IDispatch* pAccount, uint64_t previous) {
  uint64_t value = previous;
  VARIANT result;
  VariantInit(&result);
  if (GetProperty(pAccount, u"UUin", &result) && result.vt == VT_UI4) {
    value = result.ulVal;
  } else {
    VariantClear(&result);
    if (GetProperty(pAccount, u"Uin", &result) && result.vt == VT_I4) {
      value = static_cast<uint64_t>(static_cast<int64_t>(result.lVal));
    }
  }
  VariantClear(&result);
  return value;
}

// The messenger account logged in on this computer, or 0.
uint64_t LookUpAccount() {
  if (FAILED(CoInitialize(nullptr))) return 0;
  std::vector<uint64_t> accounts;
  IMessengerItemList* pList = nullptr;
  if (SUCCEEDED(CoCreateInstance(kMessengerClsid, nullptr, CLSCTX_LOCAL_SERVER, kItemListIid,
                                 reinterpret_cast<void**>(&pList))) &&
      pList) {
    uint64_t last = 0;
    IUnknown* pPrevious = nullptr;
    for (;;) {
      IUnknown* pNext = nullptr;
      if (FAILED(pList->NextItem(pPrevious, &pNext)) || !pNext) break;
      if (pPrevious) pPrevious->Release();
      pPrevious = pNext;

      IMessengerItem* pItem = nullptr;
      if (FAILED(pNext->QueryInterface(kItemIid, reinterpret_cast<void**>(&pItem))) || !pItem) {
        continue;
      }
      IUnknown* pValue = nullptr;
      if (SUCCEEDED(pItem->GetValue(&pValue)) && pValue) {
        IDispatch* pAccount = nullptr;
        if (SUCCEEDED(pValue->QueryInterface(kAccountIid, reinterpret_cast<void**>(&pAccount))) &&
            pAccount) {
          last = ReadAccount(pAccount, last);
          accounts.push_back(last);
          pAccount->Release();
        }
        pValue->Release();
      }
      pItem->Release();
    }
    if (pPrevious) pPrevious->Release();
    pList->Release();
  }
  CoFreeUnusedLibrariesEx(0, 0);
  CoUninitialize();
  return accounts.empty() ? 0 : accounts.front();
}

// The module (program or library) that holds this code.
HMODULE OwnModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&OwnModule), &module);
  return module;
}

std::u16string DefaultLibraryPath() {
  WCHAR path[4096] = {};
  DWORD length = GetModuleFileNameW(OwnModule(), path, sizeof(path) / sizeof(path[0]));
  if (length == 0 || length >= sizeof(path) / sizeof(path[0])) return u"dadovo.dll";
  std::u16string modulePath(path, length);
  size_t cut = modulePath.rfind(u'\\');
  if (cut == std::u16string::npos) return u"dadovo.dll";
  return modulePath.substr(0, cut) + u"\\dadovo.dll";
}

template <class T>
T Resolve(HMODULE module, const char* name) {
  return reinterpret_cast<T>(GetProcAddress(module, name));
}

uint64_t ReadBrowserVersion() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Internet Explorer", 0, KEY_READ,
                    &key) != ERROR_SUCCESS) {
    return 0;
  }
  WCHAR version[521] = {};
  DWORD size = 520 * sizeof(WCHAR);
  LSTATUS status =
      RegQueryValueExW(key, u"Version", nullptr, nullptr, reinterpret_cast<BYTE*>(version), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) return 0;
  return CReportRecord::PackVersion(Utf16ToUtf8(version));
}

WORD NativeProcessorArchitecture() {
  SYSTEM_INFO info = {};
  using GetNativeSystemInfoFn = void (*)(LPSYSTEM_INFO);
  HMODULE kernel = LoadLibraryW(u"kernel32.dll");
  auto pNative = kernel ? Resolve<GetNativeSystemInfoFn>(kernel, "GetNativeSystemInfo") : nullptr;
  if (pNative) {
    pNative(&info);
  } else {
    GetSystemInfo(&info);
  }
  if (kernel) FreeLibrary(kernel);
  return info.wProcessorArchitecture;
}

}  // namespace

CReportClientMgr* GetReportClientMgr() {
  static CReportClientMgr manager;
  return &manager;
}

CReportClientMgr::CReportClientMgr() { InitializeCriticalSection(&m_lock); }

// The report library may already be gone at exit; nothing is called into it here.
CReportClientMgr::~CReportClientMgr() { DeleteCriticalSection(&m_lock); }

int CReportClientMgr::Init(const WCHAR* pLibraryPath, BOOL enable) {
  CAutoLock lock(&m_lock);
  if (m_bound) {
    InterlockedIncrement(&m_userCount);
    return 1;
  }
  int result = 0;
  if (BindLibraryLocked(pLibraryPath)) {
    m_pLibraryInit(enable != 0 ? TRUE : FALSE);
    m_enable = enable;
    m_bound = true;
    result = 1;
  }
  m_version = CReportRecord::PackVersion(kProgramVersion);
  m_reserved = 0;
  if (m_enableMask.empty()) m_enableMask.assign(kEnableMaskSize, 0xFF);
  InterlockedIncrement(&m_userCount);
  return result;
}

int CReportClientMgr::UnInit(DWORD timeoutMs) {
  CAutoLock lock(&m_lock);
  FlushCountersLocked(0, kReportCounters1);
  FlushCountersLocked(1, kReportCounters2);
  if (m_userCount == 0) return 0;
  if (InterlockedDecrement(&m_userCount) > 0) return 0;

  if (m_bound) {
    // Only the program hands the library its final flush and unloads it; the copy inside the
    // library image leaves it loaded for the program. Linux programs carry no ".exe", so the
    // layer tells which one this is.
    if (IsMainExecutable(OwnModule())) {
      m_pLibraryUnInit(timeoutMs);
      FreeLibrary(m_hLibrary);
      ForgetLibraryLocked();
    } else {
      Sleep(kLibraryUnloadDelayMs);
    }
    m_bound = false;
  }
  m_pRecord.reset();
  m_enableMask.clear();
  m_version = 0;
  m_account = 0;
  m_enable = TRUE;
  m_recordReady = false;
  m_uinLookup = false;
  m_counters[0].clear();
  m_counters[1].clear();
  return 1;
}

void CReportClientMgr::EnableUinLookup(BOOL on) {
  CAutoLock lock(&m_lock);
  m_uinLookup = on != 0;
}

bool CReportClientMgr::IsInited() {
  CAutoLock lock(&m_lock);
  return m_bound;
}

bool CReportClientMgr::IsEnabled() {
  CAutoLock lock(&m_lock);
  return m_enable != 0;
}

bool CReportClientMgr::EnsureRecord() {
  CAutoLock lock(&m_lock);
  if (!m_recordReady) {
    if (m_uinLookup) m_account = LookUpAccount();
    if (BuildRecordLocked()) m_recordReady = true;
  }
  return m_recordReady;
}

bool CReportClientMgr::IsReportEnabled(uint32_t reportId) {
  CAutoLock lock(&m_lock);
  return IsReportEnabledLocked(reportId);
}

void CReportClientMgr::AddCounterForTesting(int table, uint32_t itemId, uint32_t count) {
  CAutoLock lock(&m_lock);
  m_counters[table & 1][itemId] += count;
}

void CReportClientMgr::SetReportEnabledForTesting(uint32_t reportId, bool on) {
  CAutoLock lock(&m_lock);
  const uint32_t bit = reportId - kFirstMaskedReportId;
  if (reportId < kFirstMaskedReportId || bit / 8 >= m_enableMask.size()) return;
  const auto mask = static_cast<uint8_t>(1u << (bit % 8));
  m_enableMask[bit / 8] =
      static_cast<uint8_t>(on ? m_enableMask[bit / 8] | mask : m_enableMask[bit / 8] & ~mask);
}

bool CReportClientMgr::BindLibraryLocked(const WCHAR* pLibraryPath) {
  if (m_hLibrary) return true;  // left loaded by an earlier run of this image
  std::u16string path =
      (pLibraryPath && pLibraryPath[0]) ? std::u16string(pLibraryPath) : DefaultLibraryPath();
  HMODULE library = LoadLibraryW(path.c_str());
  if (!library) return false;
  auto pInit = Resolve<DadovoInitFn>(library, "Init");
  auto pCreate = Resolve<DadovoCreateIReportClientFn>(library, "CreateIReportClient");
  auto pRelease = Resolve<DadovoReleaseIReportClientFn>(library, "ReleaseIReportClient");
  auto pGetGuid = Resolve<DadovoGetGuidFn>(library, "GetGuid");
  auto pUnInit = Resolve<DadovoUnInitFn>(library, "UnInit");
  if (!pInit || !pCreate || !pRelease || !pGetGuid || !pUnInit) {
    FreeLibrary(library);
    return false;
  }
  m_hLibrary = library;
  m_pLibraryInit = pInit;
  m_pCreateClient = pCreate;
  m_pReleaseClient = pRelease;
  m_pGetGuid = pGetGuid;
  m_pLibraryUnInit = pUnInit;
  return true;
}

void CReportClientMgr::ForgetLibraryLocked() {
  m_hLibrary = nullptr;
  m_pLibraryInit = nullptr;
  m_pCreateClient = nullptr;
  m_pReleaseClient = nullptr;
  m_pGetGuid = nullptr;
  m_pLibraryUnInit = nullptr;
}

bool CReportClientMgr::BuildRecordLocked() {
  if (!m_bound) return false;
  if (m_pRecord) return true;
  auto pRecord = std::make_unique<CReportRecord>();

  uint8_t libraryGuid[16] = {};
  if (!m_pGetGuid || !m_pGetGuid(libraryGuid)) memset(libraryGuid, 0, sizeof(libraryGuid));
  pRecord->libraryId = ZyMacID::CMd5::ToHex(libraryGuid);
  pRecord->programVersion = m_version;
  pRecord->reserved = m_reserved;
  pRecord->account = m_account;

  OSVERSIONINFOEXW extended = {};
  extended.dwOSVersionInfoSize = sizeof(extended);
  if (GetVersionExW(&extended)) {
    pRecord->osMajor = static_cast<uint16_t>(extended.dwMajorVersion);
    pRecord->osMinor = static_cast<uint16_t>(extended.dwMinorVersion);
    pRecord->osBuild = static_cast<uint16_t>(extended.dwBuildNumber);
    pRecord->servicePackMajor = extended.wServicePackMajor;
  } else {
    OSVERSIONINFOW basic = {};
    basic.dwOSVersionInfoSize = sizeof(basic);
    if (GetVersionExW(&basic)) {
      pRecord->osMajor = static_cast<uint16_t>(basic.dwMajorVersion);
      pRecord->osMinor = static_cast<uint16_t>(basic.dwMinorVersion);
      pRecord->osBuild = static_cast<uint16_t>(basic.dwBuildNumber);
    }
  }
  pRecord->processorArchitecture = NativeProcessorArchitecture();
  pRecord->languageId = GetSystemDefaultLangID();
  pRecord->browserVersion = ReadBrowserVersion();

  uint8_t hardwareId[16] = {};
  ZyMacID::GetHardwareId(hardwareId);
  pRecord->hardwareId = ZyMacID::CMd5::ToHex(hardwareId);

  // Derived here once so the cache exists early; the GUID itself is not part of the record.
  uint8_t machineGuid[16];
  ZyMacID::GetMachineGuid(machineGuid);

  m_pRecord = std::move(pRecord);
  return true;
}

bool CReportClientMgr::IsReportEnabledLocked(uint32_t reportId) {
  if (m_enableMask.empty() || reportId < kFirstMaskedReportId) return false;
  uint32_t bit = reportId - kFirstMaskedReportId;
  if (bit / 8 >= m_enableMask.size()) return false;
  return (m_enableMask[bit / 8] >> (bit % 8)) & 1;
}

void CReportClientMgr::FlushCountersLocked(int table, uint32_t reportId) {
  if (m_counters[table].empty()) return;
  std::map<uint32_t, uint32_t> pairs = m_counters[table];
  if (!m_recordReady || !m_bound || !m_pRecord || !IsReportEnabledLocked(reportId)) return;
  CReportSession session(m_pCreateClient, m_pReleaseClient);
  session.Open();
  session.SetCommand(static_cast<uint16_t>(reportId));
  session.SendHeader();
  SendMachineRecordLocked(&session, *m_pRecord);
  for (const auto& [itemId, count] : pairs) {
    uint8_t data[8];
    for (int i = 0; i < 4; ++i) {
      data[i] = static_cast<uint8_t>(itemId >> (24 - 8 * i));
      data[4 + i] = static_cast<uint8_t>(count >> (24 - 8 * i));
    }
    session.AppendData(data, sizeof(data));
  }
  if (session.Commit()) m_counters[table].clear();
}

void CReportClientMgr::SendMachineRecordLocked(CReportSession* pSession,
                                               const CReportRecord& record) {
  CPacketBuffer buffer;
  (void)record.Serialize(&buffer);  // sent as far as it fits
  pSession->SendRecord(buffer.Data(), buffer.Length());
}

void CReportClientMgr::LogRecordTooLong(uint32_t reportId) {
  COMMON_LOG(
      "CReportClientMgr[%p]::SendReportWithSession report %u: record does not fit %zu "
      "bytes, not sent",
      static_cast<void*>(this), reportId, CPacketBuffer::kBlockSize);
}
