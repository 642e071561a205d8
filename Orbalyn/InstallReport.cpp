#include "InstallReport.h"

#include <vector>

#include "Logic/PhotoDb.h"
#include "NetEngine/DllLog.h"
#include "machine-identity/PacketBuffer.h"
#include "machine-identity/ReportClientMgr.h"
#include "win32/com.h"
#include "win32/module_name.h"
#include "win32/netfw.h"
#include "win32/oleauto.h"
#include "win32/profile.h"

using namespace win32;

namespace {

constexpr NET_FW_PROFILE_TYPE kProfiles[] = {NET_FW_PROFILE_DOMAIN, NET_FW_PROFILE_STANDARD,
                                             NET_FW_PROFILE_CURRENT};
// The statistics client flushes nothing in this image; the time-out only bounds its wait.
constexpr DWORD kReportClientUnInitMs = 3000;

enum class FirewallAction { kAuthorize, kRemove };

// Releases a COM pointer at the end of a scope; every object of one profile step is released
// whatever step failed.
template <class T>
class CComRef {
 public:
  CComRef() = default;
  CComRef(const CComRef&) = delete;
  CComRef& operator=(const CComRef&) = delete;
  ~CComRef() {
    if (m_p) m_p->Release();
  }
  T** Out() { return &m_p; }
  void** OutVoid() { return reinterpret_cast<void**>(&m_p); }
  T* operator->() const { return m_p; }
  T* Get() const { return m_p; }

 private:
  T* m_p = nullptr;
};

// A BSTR freed at the end of its scope.
class CBstr {
 public:
  explicit CBstr(const std::u16string& text)
      : m_text(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
  CBstr(const CBstr&) = delete;
  CBstr& operator=(const CBstr&) = delete;
  ~CBstr() { SysFreeString(m_text); }
  BSTR Get() const { return m_text; }

 private:
  BSTR m_text;
};

HRESULT AuthorizeInProfile(INetFwAuthorizedApplications* pApps, const std::u16string& path) {
  CBstr imagePath(path);
  if (!imagePath.Get()) return E_OUTOFMEMORY;
  {
    CComRef<INetFwAuthorizedApplication> pExisting;
    if (SUCCEEDED(pApps->Item(imagePath.Get(), pExisting.Out())) && pExisting.Get()) {
      VARIANT_BOOL enabled = VARIANT_FALSE;
      if (SUCCEEDED(pExisting->get_Enabled(&enabled)) && enabled != VARIANT_FALSE) return S_OK;
    }
  }
  CComRef<INetFwAuthorizedApplication> pApp;
  HRESULT hr = CoCreateInstance(CLSID_NetFwAuthorizedApplication, nullptr, CLSCTX_INPROC_SERVER,
                                IID_INetFwAuthorizedApplication, pApp.OutVoid());
  if (FAILED(hr)) return hr;
  hr = pApp->put_ProcessImageFileName(imagePath.Get());
  if (FAILED(hr)) return hr;
  CBstr name(CInstallReport::kFirewallEntryName);
  if (!name.Get()) return E_OUTOFMEMORY;
  hr = pApp->put_Name(name.Get());
  if (FAILED(hr)) return hr;
  return pApps->Add(pApp.Get());
}

HRESULT ApplyToProfile(NET_FW_PROFILE_TYPE profile, FirewallAction action,
                       const std::u16string& path) {
  CComRef<INetFwMgr> pManager;
  HRESULT hr = CoCreateInstance(CLSID_NetFwMgr, nullptr, CLSCTX_INPROC_SERVER, IID_INetFwMgr,
                                pManager.OutVoid());
  if (FAILED(hr)) return hr;
  CComRef<INetFwPolicy> pPolicy;
  hr = pManager->get_LocalPolicy(pPolicy.Out());
  if (FAILED(hr)) return hr;
  CComRef<INetFwProfile> pProfile;
  hr = pPolicy->GetProfileByType(profile, pProfile.Out());
  if (FAILED(hr)) return hr;
  CComRef<INetFwAuthorizedApplications> pApps;
  hr = pProfile->get_AuthorizedApplications(pApps.Out());
  if (FAILED(hr)) return hr;
  if (action == FirewallAction::kAuthorize) return AuthorizeInProfile(pApps.Get(), path);
  CBstr imagePath(path);
  if (!imagePath.Get()) return E_OUTOFMEMORY;
  return pApps->Remove(imagePath.Get());
}

void ApplyToFirewall(FirewallAction action, const std::u16string& path) {
  if (path.empty()) return;
  // A thread already in the other apartment kind still reaches the in-process manager; only a
  // call that counted its apartment is balanced.
  HRESULT hrInit = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  if (FAILED(hrInit) && hrInit != RPC_E_CHANGED_MODE) {
    DLL_LOG("InstallReport firewall: CoInitializeEx failed: 0x%08X", static_cast<unsigned>(hrInit));
    return;
  }
  for (NET_FW_PROFILE_TYPE profile : kProfiles) {
    HRESULT hr = ApplyToProfile(profile, action, path);
    if (FAILED(hr) && action == FirewallAction::kAuthorize) {
      DLL_LOG("InstallReport firewall: profile %d not authorised: 0x%08X",
              static_cast<int>(profile), static_cast<unsigned>(hr));
    }
  }
  if (SUCCEEDED(hrInit)) CoUninitialize();
}

HMODULE OwnModule() {
  HMODULE hModule = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&OwnModule), &hModule);
  return hModule;
}

// The full path of a module (null: the program); empty when it does not fit the buffer.
std::u16string ModulePath(HMODULE hModule) {
  std::vector<WCHAR> buffer(CInstallReport::kProgramPathChars);
  DWORD length = GetModuleFileNameW(hModule, buffer.data(), static_cast<DWORD>(buffer.size()));
  if (length == 0 || length >= buffer.size()) return {};
  return std::u16string(buffer.data(), length);
}

}  // namespace

void CInstallReport::DoInstallReport() {
  CInstallReport report;
  report.Begin();
  SendValues(kReportInstall, {0, 0});
  report.End();
}

void CInstallReport::DoUninstallReport() {
  CInstallReport report;
  report.Begin();
  std::vector<uint32_t> values;
  if (ReadUninstallValues(&values)) SendValues(kReportUninstall, values);
  report.End();
}

void CInstallReport::Begin() {
  m_programPath = ProgramPath();
  AuthorizeProgram(m_programPath);
  CReportClientMgr* pClient = GetReportClientMgr();
  pClient->EnableUinLookup(TRUE);
  std::u16string libraryPath = ReportLibraryPath();
  pClient->Init(libraryPath.c_str(), TRUE);
}

void CInstallReport::End() {
  GetReportClientMgr()->UnInit(kReportClientUnInitMs);
  RemoveProgram(m_programPath);
}

bool CInstallReport::SendValues(uint16_t reportId, const std::vector<uint32_t>& values) {
  CReportClientMgr* pClient = GetReportClientMgr();
  if (!pClient->IsInited() || !pClient->IsEnabled() || !pClient->IsReportEnabled(reportId)) {
    return false;
  }
  if (!pClient->EnsureRecord()) return false;
  Values record;
  record.values = values;
  bool committed = pClient->SendReport(record, reportId, kReportModeSend) != 0;
  DLL_LOG("InstallReport report %u: %s", static_cast<unsigned>(reportId),
          committed ? "sent" : "not sent");
  return committed;
}

bool CInstallReport::ReadUninstallValues(std::vector<uint32_t>* pValues) {
  std::u16string path;
  if (!CPhotoDb::SettingsFilePath(&path)) return false;
  std::u16string workDir = CPhotoDb::ReadValue(path, u"Basic", u"WorkDir", u"");
  UINT deviceCount = GetPrivateProfileIntW(u"Basic", u"DeviceCount", 0, path.c_str());
  *pValues = {static_cast<uint32_t>(deviceCount), workDir.empty() ? 2u : 1u, 0u};
  return true;
}

void CInstallReport::AuthorizeProgram(const std::u16string& path) {
  ApplyToFirewall(FirewallAction::kAuthorize, path);
}

void CInstallReport::RemoveProgram(const std::u16string& path) {
  ApplyToFirewall(FirewallAction::kRemove, path);
}

std::u16string CInstallReport::ProgramPath() { return ModulePath(nullptr); }

std::u16string CInstallReport::ReportLibraryPath() {
  std::u16string modulePath = ModulePath(OwnModule());
  size_t slash = modulePath.rfind(u'\\');
  if (slash == std::u16string::npos) return {};
  return modulePath.substr(0, slash + 1) + u"dadovo.dll";
}

bool CInstallReport::Values::Serialize(CPacketBuffer* pBuffer) const {
  for (uint32_t value : values) {
    if (!pBuffer->WriteUInt32(value)) return false;
  }
  return true;
}
