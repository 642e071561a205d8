#include "WindowHelpers.h"

#include "Basalt/Util.h"
#include "CachedOrbalynDB.h"
#include "Lq/Lq.h"
#include "win32/module.h"
#include "win32/module_name.h"

using namespace win32;

namespace {

constexpr DWORD kModulePathChars = 260;
constexpr long kMenuNumberLimit = 100000000;

// Kept for the whole process; recomputed while too short to be a folder.
std::u16string& ModuleDir() {
  static std::u16string dir;
  return dir;
}

std::u16string LayoutFolderOf(IKwCore* pCore) {
  std::u16string folder;
  BSTR value = nullptr;
  if (pCore && SUCCEEDED(pCore->GetLayoutFolder(&value)) && value) folder = value;
  SysFreeString(value);
  return folder;
}

}  // namespace

HRESULT CreateLqElementFromLayout(const WCHAR* pReference, REFIID riid, void** ppElement,
                                  ILqElement* pParent, IKwCore* pCore) {
  if (!ppElement) return E_POINTER;
  *ppElement = nullptr;
  IKwCore* pRunning = nullptr;
  if (!pCore) {
    Util::Core::GetPlatformCore(&pRunning);
    pCore = pRunning;
  }
  // An empty folder makes the framework ask the running core itself.
  std::u16string folder = LayoutFolderOf(pCore);
  if (pRunning) pRunning->Release();
  ILqElement* pElement = nullptr;
  HRESULT hr =
      Util::Lq::RawCreateLqElementBySkein(pReference, &pElement, pParent, folder.c_str(), 0);
  if (FAILED(hr) || !pElement) return FAILED(hr) ? hr : E_FAIL;
  hr = pElement->QueryInterface(riid, ppElement);
  pElement->Release();
  return FAILED(hr) ? E_FAIL : S_OK;
}

HWND CreateMessageWindow(const WCHAR* pClassName, WNDPROC procedure, DWORD style) {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = procedure;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = pClassName;
  RegisterClassExW(&windowClass);
  return CreateWindowExW(0, pClassName, nullptr, style, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                         instance, nullptr);
}

bool GetModuleDir(std::u16string* pDir) {
  std::u16string& dir = ModuleDir();
  if (dir.size() < 3) {
    WCHAR path[kModulePathChars] = {};
    DWORD length = GetModuleFileNameW(nullptr, path, kModulePathChars);
    std::u16string full(path, length < kModulePathChars ? length : kModulePathChars - 1);
    size_t cut = full.find_last_of(u'\\');
    dir = cut == std::u16string::npos ? std::u16string() : full.substr(0, cut + 1);
  }
  if (dir.size() < 3) return false;
  *pDir = dir;
  return true;
}

bool ReadWorkDir(std::u16string* pDir) {
  pDir->clear();
  IOrbalynDB* pDB = CachedOrbalynDB::Get();
  if (!pDB) return false;
  BSTR value = nullptr;
  if (SUCCEEDED(pDB->GetWorkDir(&value)) && value) *pDir = value;
  SysFreeString(value);
  return true;
}

bool ReadMenuItemNumber(ILqEvent* pEvent, long* pNumber) {
  BSTR name = nullptr;
  if (!pEvent || pEvent->GetString(u"name", &name) != S_OK || !name) {
    SysFreeString(name);
    return false;
  }
  const WCHAR* p = name;
  while (*p == u' ' || *p == u'\t') ++p;
  bool negative = *p == u'-';
  if (*p == u'-' || *p == u'+') ++p;
  long value = 0;
  // Digits past what a long holds change nothing.
  for (; *p >= u'0' && *p <= u'9'; ++p) {
    if (value < kMenuNumberLimit) value = value * 10 + (*p - u'0');
  }
  SysFreeString(name);
  *pNumber = negative ? -value : value;
  return true;
}

std::u16string ElementText(ILqElement* pElement) {
  if (!pElement) return std::u16string();
  BSTR text = nullptr;
  pElement->GetText(&text);
  std::u16string value = text ? text : u"";
  SysFreeString(text);
  return value;
}
