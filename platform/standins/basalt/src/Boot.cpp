// Util::Misc, Util::Com, Util::CoreCenter, Util::Boot, Util::Core and Util::Lq: boot, exit, the
// core object, plug-ins and the UI framework's factory.

#include <string>
#include <string_view>

#include "Basalt/Util.h"
#include "BasaltFiles.h"
#include "CBasaltState.h"
#include "CKwCore.h"
#include "CKwPluginCore.h"
#include "Lq/Lq.h"
#include "win32/strings.h"

using namespace win32;

namespace {

CBasaltState& State() { return CBasaltState::Get(); }

BOOL Recorded(const char* pCall) {
  State().Record(pCall);
  return TRUE;
}

std::u16string Trim(std::u16string_view text) {
  size_t first = text.find_first_not_of(u" \t\r");
  if (first == std::u16string_view::npos) return {};
  size_t last = text.find_last_not_of(u" \t\r");
  return std::u16string(text.substr(first, last - first + 1));
}

bool IsAbsolute(const std::u16string& path) {
  return (!path.empty() && (path[0] == u'\\' || path[0] == u'/')) ||
         (path.size() >= 2 && path[1] == u':');
}

// A folder value: relative ones count from the configuration file's folder; always ending with a
// backslash.
std::u16string FolderValue(std::u16string value, const std::u16string& configFolder) {
  if (value.empty()) return value;
  if (!IsAbsolute(value)) value = configFolder + value;
  if (value.back() != u'\\' && value.back() != u'/') value += u'\\';
  return value;
}

}  // namespace

namespace Util {

void Misc::SetMainAndLogicThreadId(DWORD mainThreadId, DWORD logicThreadId) {
  State().m_mainThreadId = mainThreadId;
  State().m_logicThreadId = logicThreadId;
  State().Record("SetMainAndLogicThreadId");
}

DWORD Misc::GetMainThreadId() { return State().m_mainThreadId; }

void Misc::OnExitCoreCenter() {
  State().Record("OnExitCoreCenter");
  State().ForgetRunningCore(nullptr);
}

void Misc::OnExitWinMain() { State().Record("OnExitWinMain"); }

void Misc::OnUninitCom() { State().Record("OnUninitCom"); }

HRESULT Com::CreateObjectFromDllFile(const WCHAR* pDllName, REFCLSID clsid, REFIID riid,
                                     void** ppObject, IUnknown* pOuter) {
  State().Record("CreateObjectFromDllFile");
  if (!ppObject) return E_POINTER;
  *ppObject = nullptr;
  std::u16string name = pDllName ? pDllName : u"";
  name.erase(0, name.find_last_of(u"\\/") + 1);
  if (lstrcmpiW(name.c_str(), u"Basalt.dll") != 0) return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
  if (pOuter) return CLASS_E_NOAGGREGATION;
  if (clsid != CLSID_KwCore) return REGDB_E_CLASSNOTREG;
  IKwCore* pCore = State().RunningCore();
  if (!pCore) {
    pCore = new (std::nothrow) CKwCore;
    if (!pCore) return E_OUTOFMEMORY;
    pCore->AddRef();  // the state's
    State().SetRunningCore(pCore);
  }
  HRESULT hr = pCore->QueryInterface(riid, ppObject);
  pCore->Release();
  return hr;
}

BOOL CoreCenter::InitPlatform(const CKwBSTR& configPath) {
  State().Record("InitPlatform");
  std::string bytes;
  bool read = ReadFileChunks(configPath, [&bytes](const BYTE* pData, size_t length) {
    bytes.append(reinterpret_cast<const char*>(pData), length);
  });
  std::u16string configFolder = FS::GetParentDir(configPath).Text();
  std::u16string layout;
  std::u16string resource;
  std::u16string text = Utf8ToUtf16(bytes);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(u'\n', start);
    if (end == std::u16string::npos) end = text.size();
    std::u16string_view line = std::u16string_view(text).substr(start, end - start);
    start = end + 1;
    size_t equals = line.find(u'=');
    if (equals == std::u16string_view::npos) continue;
    std::u16string key = Trim(line.substr(0, equals));
    std::u16string value = FolderValue(Trim(line.substr(equals + 1)), configFolder);
    if (key == u"layout") layout = value;
    if (key == u"res") resource = value;
  }
  State().SetConfiguredFolders(layout, resource);
  return read ? TRUE : FALSE;
}

BOOL CoreCenter::AddPlugin(const WCHAR*, IKwData*) { return Recorded("AddPlugin"); }

BOOL CoreCenter::QueryPluginCore(const WCHAR* pName, IKwPluginCore** ppCore) {
  State().Record("QueryPluginCore");
  if (!ppCore) return FALSE;
  *ppCore = new (std::nothrow) CKwPluginCore(pName ? pName : u"");
  return *ppCore ? TRUE : FALSE;
}

BOOL CoreCenter::EnablePlugin(const WCHAR*) { return Recorded("EnablePlugin"); }

BOOL Boot::InitPlatformFileSystem() {
  State().SettleFolders();
  return Recorded("InitPlatformFileSystem");
}

BOOL Boot::InitPlatformI18NConfig() { return Recorded("InitPlatformI18NConfig"); }
BOOL Boot::InitPlatformCoreConfig() { return Recorded("InitPlatformCoreConfig"); }
BOOL Boot::InitPlatformLqConfig() {
  lq::RegisterClasses();
  return Recorded("InitPlatformLqConfig");
}
BOOL Boot::InitPluginFileSystem(const WCHAR*) { return Recorded("InitPluginFileSystem"); }
BOOL Boot::InitPluginI18NConfig(const WCHAR*) { return Recorded("InitPluginI18NConfig"); }
BOOL Boot::InitPluginCoreConfig(const WCHAR*) { return Recorded("InitPluginCoreConfig"); }
BOOL Boot::InitPluginLqConfig(const WCHAR*) { return Recorded("InitPluginLqConfig"); }
BOOL Boot::InitPluginModeConfig(const WCHAR*) { return Recorded("InitPluginModeConfig"); }

HRESULT Core::GetPlatformCore(IKwCore** ppCore) {
  if (!ppCore) return E_POINTER;
  *ppCore = State().RunningCore();
  return *ppCore ? S_OK : E_FAIL;
}

void Core::RegisterObjectClass(REFCLSID clsid, ObjectClassFactory factory) {
  State().RegisterClass(clsid, factory);
}

Core::ObjectClassFactory Core::FindObjectClass(REFCLSID clsid) { return State().FindClass(clsid); }

void Lq::SetCustomObjectFactory(CustomObjectFactory factory) {
  State().Record("SetCustomObjectFactory");
  State().SetCustomObjectFactory(factory);
}

Lq::CustomObjectFactory Lq::GetCustomObjectFactory() { return State().CustomObjectFactory(); }

}  // namespace Util
