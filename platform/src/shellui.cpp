#include "win32/shellui.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "drives.h"
#include "handles.h"
#include "paths.h"
#include "process_spawn.h"
#include "shell_items.h"
#include "win32/strings.h"
#include "win32/toplevel.h"
#include "win32/ui_backend.h"

namespace win32 {
namespace detail {
namespace {

constexpr char kDrivesMarker[] = "lumidock:drives";
constexpr char kPathMarker[] = "lumidock:path";
constexpr char16_t kMyComputerParsingName[] = u"::{20D04FE0-3AEA-1069-A2D8-08002B30309D}";
constexpr char16_t kMyComputerName[] = u"My Computer";

PIDLIST_ABSOLUTE MakeItem(const void* pPayload, size_t size) {
  const size_t itemSize = sizeof(USHORT) + size;
  if (itemSize > 0xFFFF) return nullptr;
  auto* pBytes = static_cast<BYTE*>(std::malloc(itemSize + sizeof(USHORT)));
  if (!pBytes) return nullptr;
  const USHORT cb = static_cast<USHORT>(itemSize);
  const USHORT end = 0;
  memcpy(pBytes, &cb, sizeof cb);
  memcpy(pBytes + sizeof cb, pPayload, size);
  memcpy(pBytes + itemSize, &end, sizeof end);
  return reinterpret_cast<PIDLIST_ABSOLUTE>(pBytes);
}

}  // namespace

PIDLIST_ABSOLUTE MakeDrivesItem() { return MakeItem(kDrivesMarker, sizeof kDrivesMarker); }

PIDLIST_ABSOLUTE MakePathItem(const std::u16string& windowsPath) {
  std::string payload(kPathMarker, sizeof kPathMarker);
  payload.append(reinterpret_cast<const char*>(windowsPath.c_str()),
                 (windowsPath.size() + 1) * sizeof(char16_t));
  return MakeItem(payload.data(), payload.size());
}

ItemKind ReadItem(PCIDLIST_ABSOLUTE pidl, std::u16string* pPath) {
  if (!pidl) return ItemKind::kForeign;
  const BYTE* pBytes = reinterpret_cast<const BYTE*>(pidl);
  USHORT cb;
  memcpy(&cb, pBytes, sizeof cb);
  if (cb < sizeof(USHORT)) return ItemKind::kForeign;
  const BYTE* pPayload = pBytes + sizeof(USHORT);
  const size_t size = cb - sizeof(USHORT);
  if (size == sizeof kDrivesMarker && memcmp(pPayload, kDrivesMarker, size) == 0) {
    return ItemKind::kDrives;
  }
  if (size < sizeof kPathMarker + sizeof(char16_t) ||
      memcmp(pPayload, kPathMarker, sizeof kPathMarker) != 0 ||
      (size - sizeof kPathMarker) % sizeof(char16_t) != 0) {
    return ItemKind::kForeign;
  }
  size_t chars = (size - sizeof kPathMarker) / sizeof(char16_t) - 1;
  std::u16string path(chars, u'\0');
  memcpy(path.data(), pPayload + sizeof kPathMarker, chars * sizeof(char16_t));
  if (pPath) *pPath = std::move(path);
  return ItemKind::kPath;
}

namespace {

// --- Icons ---
// Icon handles index this table (never pointers); values live in their own range, apart from
// kernel handles and window handles.
constexpr uintptr_t kIconTag = 0xC0000000;

class IconTable {
 public:
  HICON Insert(void* pImage) {
    std::lock_guard<std::mutex> guard(m_lock);
    uintptr_t value = kIconTag | (++m_last & 0x0FFFFFFF);
    m_icons[value] = pImage;
    return reinterpret_cast<HICON>(value);
  }
  bool Find(HICON icon, void** ppImage) {
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_icons.find(reinterpret_cast<uintptr_t>(icon));
    if (it == m_icons.end()) return false;
    *ppImage = it->second;
    return true;
  }
  bool Take(HICON icon, void** ppImage) {
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_icons.find(reinterpret_cast<uintptr_t>(icon));
    if (it == m_icons.end()) return false;
    *ppImage = it->second;
    m_icons.erase(it);
    return true;
  }

 private:
  std::mutex m_lock;
  uintptr_t m_last = 0;
  std::map<uintptr_t, void*> m_icons;
};

IconTable& Icons() {
  static IconTable* table = new IconTable;
  return *table;
}

// --- Folder browser ---

// "Local Disk (D:)" for a drive root, else the last component.
std::u16string NormalName(const std::u16string& path) {
  if (path.size() == 3 && path[1] == u':' && path[2] == u'\\') {
    return u"Local Disk (" + path.substr(0, 2) + u")";
  }
  size_t cut = path.find_last_of(u'\\');
  return cut == std::u16string::npos ? path : path.substr(cut + 1);
}

HRESULT ToStrRet(const std::u16string& text, STRRET* pName) {
  auto* pCopy = static_cast<LPWSTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(WCHAR)));
  if (!pCopy) return E_OUTOFMEMORY;
  memcpy(pCopy, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
  pName->uType = STRRET_WSTR;
  pName->pOleStr = pCopy;
  return S_OK;
}

// The folder holding My Computer and the drives, as far as a filter asks about it.
// Lifetime: lives on the browsing call's stack; references are counted but never free it.
class BrowseFolder final : public IShellFolder {
 public:
  // IUnknown:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IShellFolder) {
      *ppv = static_cast<IShellFolder*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_references; }
  ULONG STDMETHODCALLTYPE Release() override { return --m_references; }

  // IShellFolder:
  HRESULT STDMETHODCALLTYPE ParseDisplayName(HWND, IBindCtx*, LPWSTR, ULONG*, PIDLIST_RELATIVE*,
                                             ULONG*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE EnumObjects(HWND, SHCONTF, IEnumIDList**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE BindToObject(PCUIDLIST_RELATIVE, IBindCtx*, REFIID, void**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE BindToStorage(PCUIDLIST_RELATIVE, IBindCtx*, REFIID, void**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE CompareIDs(LPARAM, PCUIDLIST_RELATIVE, PCUIDLIST_RELATIVE) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE CreateViewObject(HWND, REFIID, void**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetAttributesOf(UINT, PCUITEMID_CHILD_ARRAY, SFGAOF*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetUIObjectOf(HWND, UINT, PCUITEMID_CHILD_ARRAY, REFIID, UINT*,
                                          void**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetDisplayNameOf(PCUITEMID_CHILD pidl, SHGDNF flags,
                                             STRRET* pName) override {
    if (!pName) return E_POINTER;
    std::u16string path;
    const bool parsing = (flags & SHGDN_FORPARSING) != 0;
    switch (ReadItem(pidl, &path)) {
      case ItemKind::kDrives:
        return ToStrRet(parsing ? kMyComputerParsingName : kMyComputerName, pName);
      case ItemKind::kPath:
        return ToStrRet(parsing ? path : NormalName(path), pName);
      default:
        return E_INVALIDARG;
    }
  }
  HRESULT STDMETHODCALLTYPE SetNameOf(HWND, PCUITEMID_CHILD, LPCWSTR, SHGDNF,
                                      PITEMID_CHILD*) override {
    return E_NOTIMPL;
  }

 private:
  std::atomic<ULONG> m_references{1};
};

// Handed to the callback with BFFM_IUNKNOWN; keeps the filter the callback installs.
// Lifetime: on the browsing call's stack, like BrowseFolder; the filter reference it holds is
// released when it goes.
class FilterSite final : public IFolderFilterSite {
 public:
  FilterSite() = default;
  FilterSite(const FilterSite&) = delete;
  FilterSite& operator=(const FilterSite&) = delete;
  ~FilterSite() {
    if (m_pFilter) m_pFilter->Release();
  }

  IFolderFilter* Filter() const { return m_pFilter; }

  // IUnknown:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IFolderFilterSite) {
      *ppv = static_cast<IFolderFilterSite*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_references; }
  ULONG STDMETHODCALLTYPE Release() override { return --m_references; }

  // IFolderFilterSite:
  HRESULT STDMETHODCALLTYPE SetFilter(IUnknown* pFilter) override {
    IFolderFilter* pNew = nullptr;
    if (pFilter &&
        FAILED(pFilter->QueryInterface(IID_IFolderFilter, reinterpret_cast<void**>(&pNew)))) {
      return E_NOINTERFACE;
    }
    if (m_pFilter) m_pFilter->Release();
    m_pFilter = pNew;
    return S_OK;
  }

 private:
  std::atomic<ULONG> m_references{1};
  IFolderFilter* m_pFilter = nullptr;  // one reference, ours
};

// What the browser window collects from the callback's messages.
struct BrowseState {
  std::u16string initialSelection;  // Windows form
};

constexpr char16_t kBrowserClass[] = u"LumidockFolderBrowser";

LRESULT BrowserProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* pState = reinterpret_cast<BrowseState*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (message == BFFM_SETSELECTIONW && pState && lParam) {
    if (wParam) {
      pState->initialSelection = reinterpret_cast<LPCWSTR>(lParam);
    } else {
      ReadItem(reinterpret_cast<PCIDLIST_ABSOLUTE>(lParam), &pState->initialSelection);
    }
    return 0;
  }
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

HWND CreateBrowserWindow(BrowseState* pState) {
  static const bool s_registered = [] {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = BrowserProc;
    wc.lpszClassName = kBrowserClass;
    RegisterClassExW(&wc);  // an existing class is reused
    return true;
  }();
  (void)s_registered;
  HWND hwnd = CreateWindowExW(0, kBrowserClass, nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              nullptr, nullptr);
  if (hwnd) SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(pState));
  return hwnd;
}

// Asks the filter (if any) about an item of My Computer.
bool FilterShows(IFolderFilter* pFilter, BrowseFolder* pFolder, PCIDLIST_ABSOLUTE pFolderItem,
                 PCIDLIST_ABSOLUTE pItem) {
  return !pFilter || pFilter->ShouldShow(pFolder, pFolderItem, pItem) == S_OK;
}

// --- Shell open ---

INT_PTR ShellResult(DWORD error) {
  switch (error) {
    case ERROR_SUCCESS:
      return 42;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return SE_ERR_FNF;
    case ERROR_ACCESS_DENIED:
      return SE_ERR_ACCESSDENIED;
    default:
      return SE_ERR_NOASSOC;
  }
}

HINSTANCE AsInstance(INT_PTR value) {
  return reinterpret_cast<HINSTANCE>(static_cast<intptr_t>(value));
}

bool EqualsAsciiIgnoringCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i] >= u'A' && a[i] <= u'Z' ? static_cast<char16_t>(a[i] + 32) : a[i];
    char16_t y = b[i] >= u'A' && b[i] <= u'Z' ? static_cast<char16_t>(b[i] + 32) : b[i];
    if (x != y) return false;
  }
  return true;
}

// "http:", "https:", "mailto:" (the scheme needs two characters or more, so "C:" is a drive).
// Returns false for text that is not an address at all; *pAllowed tells whether it may open.
bool IsAddress(std::u16string_view text, bool* pAllowed) {
  size_t colon = text.find(u':');
  if (colon == std::u16string_view::npos || colon < 2) return false;
  for (size_t i = 0; i < colon; ++i) {
    char16_t c = text[i];
    bool ok = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
              (i > 0 && ((c >= u'0' && c <= u'9') || c == u'+' || c == u'-' || c == u'.'));
    if (!ok) return false;
  }
  std::u16string_view scheme = text.substr(0, colon);
  *pAllowed = EqualsAsciiIgnoringCase(scheme, u"http") ||
              EqualsAsciiIgnoringCase(scheme, u"https") ||
              EqualsAsciiIgnoringCase(scheme, u"mailto");
  for (char16_t c : text) {
    if (c < 0x20 || c == 0x7F) *pAllowed = false;
  }
  return true;
}

std::string FileUri(const std::string& posixPath) {
  return "file://" + PercentEncode(posixPath, [](unsigned char c, size_t) {
           return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '/' || c == '-' || c == '.' || c == '_' || c == '~';
         });
}

// Works out what ShellExecuteW does; returns 0 or the SE_ERR_ code.
INT_PTR PlanShellOpen(std::u16string_view file, LPCWSTR parameters, ShellOpenPlan* pPlan) {
  if (file.size() >= 2 && file.front() == u'"' && file.back() == u'"') {
    file = file.substr(1, file.size() - 2);
  }
  if (file.empty()) return SE_ERR_FNF;
  bool allowed = false;
  if (IsAddress(file, &allowed)) {
    if (!allowed) return SE_ERR_NOASSOC;
    pPlan->uri = Utf16ToUtf8(file);
    return 0;
  }
  std::string posix;
  if (!ToPosixPath(file, &posix)) return SE_ERR_FNF;
  const bool program =
      file.size() > 4 && EqualsAsciiIgnoringCase(file.substr(file.size() - 4), u".exe");
  if (program) posix.resize(posix.size() - 4);  // "X.exe" is the built program "X"
  char* pReal = realpath(posix.c_str(), nullptr);
  if (!pReal) return SE_ERR_FNF;
  std::string real(pReal);
  free(pReal);
  if (program) {
    struct stat st;
    if (stat(real.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || access(real.c_str(), X_OK) != 0) {
      return SE_ERR_ACCESSDENIED;
    }
    pPlan->argv = ProgramArguments(real, parameters ? parameters : u"");
    return 0;
  }
  pPlan->uri = FileUri(real);
  return 0;
}

}  // namespace
}  // namespace detail

void* IconImage(HICON icon) {
  void* pImage = nullptr;
  return detail::Icons().Find(icon, &pImage) ? pImage : nullptr;
}

HANDLE LoadImageW(HINSTANCE, LPCWSTR name, UINT type, int cx, int cy, UINT load) {
  if (!name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (type != IMAGE_ICON || !(load & LR_LOADFROMFILE)) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  std::string posix;
  struct stat st;
  if (!detail::ToPosixPath(std::u16string_view(name), &posix) || stat(posix.c_str(), &st) != 0 ||
      !S_ISREG(st.st_mode)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  void* pImage = nullptr;
  const UiBackend* pBackend = GetUiBackend();
  if (pBackend && pBackend->loadIconImage) {
    pImage = pBackend->loadIconImage(posix, cx, cy);
    if (!pImage) {
      SetLastError(ERROR_INVALID_DATA);
      return nullptr;
    }
  }
  SetLastError(ERROR_SUCCESS);
  return reinterpret_cast<HANDLE>(detail::Icons().Insert(pImage));
}

BOOL DestroyIcon(HICON icon) {
  void* pImage = nullptr;
  if (!detail::Icons().Take(icon, &pImage)) return detail::Fail(ERROR_INVALID_HANDLE);
  const UiBackend* pBackend = GetUiBackend();
  if (pImage && pBackend && pBackend->freeIconImage) pBackend->freeIconImage(pImage);
  return TRUE;
}

BOOL Shell_NotifyIconW(DWORD message, PNOTIFYICONDATAW data) {
  if (!data || message > NIM_DELETE) return detail::Fail(ERROR_INVALID_PARAMETER);
  TrayIconRequest request{data->hWnd, data->uID, data->uFlags, data->uCallbackMessage, nullptr, {}};
  if (data->uFlags & NIF_ICON) request.pIconImage = IconImage(data->hIcon);
  if (data->uFlags & NIF_TIP) {
    size_t length = 0;
    while (length < std::size(data->szTip) && data->szTip[length]) ++length;
    request.tip.assign(data->szTip, length);
  }
  const UiBackend* pBackend = GetUiBackend();
  if (!pBackend || !pBackend->notifyIcon) return detail::Fail(ERROR_NOT_SUPPORTED);
  return pBackend->notifyIcon(message, request);
}

PIDLIST_ABSOLUTE SHBrowseForFolderW(LPBROWSEINFOW info) {
  if (!info) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  detail::BrowseState state;
  detail::BrowseFolder folder;
  detail::FilterSite site;
  HWND browser = detail::CreateBrowserWindow(&state);
  if (info->lpfn && browser) {
    info->lpfn(browser, BFFM_INITIALIZED, 0, info->lParam);
    info->lpfn(browser, BFFM_IUNKNOWN, reinterpret_cast<LPARAM>(static_cast<IUnknown*>(&site)),
               info->lParam);
  }
  PIDLIST_ABSOLUTE myComputer = detail::MakeDrivesItem();
  FolderBrowseRequest request;
  request.owner = info->hwndOwner;
  if (info->lpszTitle) request.title = info->lpszTitle;
  if (!state.initialSelection.empty()) {
    detail::ToPosixPath(std::u16string_view(state.initialSelection), &request.initialFolder);
  }
  if (IFolderFilter* pFilter = site.Filter()) {
    HWND filterOwner = browser;
    DWORD flags = 0;
    pFilter->GetEnumFlags(&folder, myComputer, &filterOwner, &flags);
  }
  for (const detail::Drive& drive : detail::CurrentDrives()) {
    std::u16string root = {static_cast<char16_t>(drive.letter), u':', u'\\'};
    PIDLIST_ABSOLUTE item = detail::MakePathItem(root);
    if (item && detail::FilterShows(site.Filter(), &folder, myComputer, item)) {
      request.places.push_back(FolderPlace{drive.folder, detail::NormalName(root)});
    }
    ILFree(item);
  }
  ILFree(myComputer);

  std::string chosen;
  const UiBackend* pBackend = GetUiBackend();
  bool picked =
      pBackend && pBackend->browseForFolder && pBackend->browseForFolder(request, &chosen);
  if (browser) DestroyWindow(browser);
  if (!picked) return nullptr;
  std::u16string path;
  if (!detail::DrivePathFromPosix(chosen, &path)) path = detail::FromPosixPath(chosen);
  if (info->pszDisplayName) {
    detail::CopyOut(detail::NormalName(path), info->pszDisplayName, MAX_PATH, nullptr);
  }
  return detail::MakePathItem(path);
}

BOOL SHGetPathFromIDListW(PCIDLIST_ABSOLUTE pidl, LPWSTR path) {
  if (!path) return detail::Fail(ERROR_INVALID_PARAMETER);
  path[0] = 0;
  std::u16string itemPath;
  if (detail::ReadItem(pidl, &itemPath) != detail::ItemKind::kPath || itemPath.size() >= MAX_PATH) {
    return FALSE;
  }
  detail::CopyOut(itemPath, path, MAX_PATH, nullptr);
  return TRUE;
}

HRESULT StrRetToBufW(STRRET* pStrRet, PCUITEMID_CHILD, LPWSTR buffer, UINT cch) {
  if (!pStrRet || !buffer || cch == 0) return E_INVALIDARG;
  switch (pStrRet->uType) {
    case STRRET_WSTR: {
      std::u16string text = pStrRet->pOleStr ? std::u16string(pStrRet->pOleStr) : u"";
      CoTaskMemFree(pStrRet->pOleStr);
      pStrRet->pOleStr = nullptr;
      detail::CopyOut(text, buffer, cch, nullptr);
      return S_OK;
    }
    case STRRET_CSTR: {
      size_t length = strnlen(pStrRet->cStr, MAX_PATH);
      detail::CopyOut(Utf8ToUtf16(std::string_view(pStrRet->cStr, length)), buffer, cch, nullptr);
      return S_OK;
    }
    default:
      buffer[0] = 0;
      return E_NOTIMPL;
  }
}

HINSTANCE ShellExecuteW(HWND, LPCWSTR operation, LPCWSTR file, LPCWSTR parameters, LPCWSTR, int) {
  if (operation && *operation && !detail::EqualsAsciiIgnoringCase(operation, u"open")) {
    return detail::AsInstance(SE_ERR_NOASSOC);
  }
  if (!file) return detail::AsInstance(SE_ERR_FNF);
  ShellOpenPlan plan;
  if (INT_PTR error = detail::PlanShellOpen(file, parameters, &plan)) {
    return detail::AsInstance(error);
  }
  const UiBackend* pBackend = GetUiBackend();
  if (pBackend && pBackend->recordShellOpen) {
    return detail::AsInstance(pBackend->recordShellOpen(plan));
  }
  if (!plan.argv.empty())
    return detail::AsInstance(detail::ShellResult(detail::StartDetached(plan.argv)));
  const char* handler = getenv("LUMIDOCK_SHELL_OPEN");
  if (handler && handler[0] == '/') {
    return detail::AsInstance(detail::ShellResult(detail::StartDetached({handler, plan.uri})));
  }
  if (pBackend && pBackend->openUri && pBackend->openUri(plan.uri)) {
    return detail::AsInstance(42);
  }
  return detail::AsInstance(SE_ERR_NOASSOC);
}

}  // namespace win32
