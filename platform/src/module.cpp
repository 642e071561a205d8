#include "win32/module.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "builtin_modules.h"
#include "handles.h"
#include "paths.h"
#include "win32/iphlpapi.h"
#include "win32/netbios.h"
#include "win32/strings.h"
#include "win32/sysinfo.h"

namespace win32 {
namespace {

constexpr const char* kBuiltinNames[] = {"kernel32.dll", "iphlpapi.dll", "netapi32.dll"};
constexpr int kBuiltinCount = 3;
constexpr int kKernel32 = 0;

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
  }
  return lower;
}

bool EndsWithIgnoringCase(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && Lower(text.substr(text.size() - suffix.size())) == suffix;
}

std::string_view BaseName(std::string_view path) {
  size_t cut = path.find_last_of("/\\");
  return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

// -1 when the name (any folder, extension optional) is not a built-in module.
int BuiltinIndex(std::string_view fileName) {
  std::string name = Lower(BaseName(fileName));
  if (name.find('.') == std::string::npos) name += ".dll";
  for (int i = 0; i < kBuiltinCount; ++i) {
    if (name == kBuiltinNames[i]) return i;
  }
  return -1;
}

HMODULE BuiltinHandle(int index) {
  // Never a real image base (those are page aligned) and never null.
  return reinterpret_cast<HMODULE>(static_cast<uintptr_t>(index + 1) * 16 + 1);
}

int BuiltinIndexOfHandle(HMODULE module) {
  for (int i = 0; i < kBuiltinCount; ++i) {
    if (module == BuiltinHandle(i)) return i;
  }
  return -1;
}

bool IsListedMissing(int index) {
  const char* list = getenv("LUMIDOCK_MISSING_MODULES");
  if (!list) return false;
  std::string_view rest(list);
  while (!rest.empty()) {
    size_t cut = rest.find_first_of(",; ");
    std::string_view item = rest.substr(0, cut);
    if (!item.empty() && BuiltinIndex(item) == index) return true;
    rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
  }
  return false;
}

// "X.dll" -> "X.so", "X.exe" -> "X", no extension -> "X.so" (Windows adds ".dll").
std::string BuiltFileName(std::string_view windowsName) {
  std::string name(windowsName);
  if (EndsWithIgnoringCase(name, ".dll")) return name.substr(0, name.size() - 4) + ".so";
  if (EndsWithIgnoringCase(name, ".exe")) return name.substr(0, name.size() - 4);
  if (name.find('.') == std::string::npos) return name + ".so";
  return name;
}

// The folder libwin32.so was loaded from: the runtime folder.
const std::string& RuntimeFolder() {
  static const std::string* folder = [] {
    Dl_info info;
    std::string path;
    if (dladdr(reinterpret_cast<void*>(&LoadLibraryW), &info) && info.dli_fname) {
      if (char* pReal = realpath(info.dli_fname, nullptr)) {
        path = pReal;
        free(pReal);
      }
    }
    size_t cut = path.rfind('/');
    return new std::string(cut == std::string::npos ? "." : path.substr(0, cut));
  }();
  return *folder;
}

bool IsAbsolute(std::string_view path) {
  if (!path.empty() && (path[0] == '\\' || path[0] == '/')) return true;
  return path.size() >= 2 && path[1] == ':';
}

bool PosixPathForModule(std::string_view windowsName, std::string* pPath) {
  size_t cut = windowsName.find_last_of("/\\");
  std::string folder(cut == std::string_view::npos ? std::string_view()
                                                   : windowsName.substr(0, cut));
  std::string file = BuiltFileName(BaseName(windowsName));
  if (IsAbsolute(windowsName)) {
    if (!detail::ToPosixPath(folder.empty() ? std::string("/") : folder, pPath)) return false;
    *pPath += "/" + file;
    return true;
  }
  std::string relative;
  if (!folder.empty() && !detail::ToPosixPath(folder, &relative)) return false;
  *pPath = RuntimeFolder() + "/" + (relative.empty() ? file : relative + "/" + file);
  return true;
}

uintptr_t ImageBase(void* dlHandle) {
  link_map* pMap = nullptr;
  Dl_info info;
  if (dlinfo(dlHandle, RTLD_DI_LINKMAP, &pMap) != 0 || !pMap ||
      !dladdr(reinterpret_cast<void*>(pMap->l_ld), &info)) {
    return 0;
  }
  return reinterpret_cast<uintptr_t>(info.dli_fbase);
}

// The loader's state. Leaky, like every layer singleton.
// Threading: all members are guarded by m_lock; dlopen and dlclose run outside it, because a
// module's constructors and destructors may themselves load or free modules.
class ModuleTable {
 public:
  struct Library {
    void* dlHandle = nullptr;
    DWORD references = 0;
  };

  std::mutex m_lock;
  std::map<uintptr_t, Library> m_libraries;
  DWORD m_builtinReferences[kBuiltinCount] = {};
  std::map<std::pair<int, std::string>, FARPROC> m_exports;
};

ModuleTable& Table() {
  static ModuleTable* table = [] {
    auto* pTable = new ModuleTable;
    auto add = [pTable](int module, const char* name, FARPROC function) {
      pTable->m_exports[{module, name}] = function;
    };
    add(0, "GetNativeSystemInfo", reinterpret_cast<FARPROC>(&GetNativeSystemInfo));
    add(1, "GetAdaptersInfo", reinterpret_cast<FARPROC>(&GetAdaptersInfo));
    add(1, "GetNetworkParams", reinterpret_cast<FARPROC>(&GetNetworkParams));
    add(2, "Netbios", reinterpret_cast<FARPROC>(&Netbios));
    return pTable;
  }();
  return *table;
}

HMODULE ProgramHandle() {
  static const HMODULE s_program = [] {
    HMODULE program = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, nullptr, &program);
    return program;
  }();
  return s_program;
}

// The dlopen handle of a module this layer did not load itself (the program, a library it links,
// one found through GetModuleHandleExW), with a reference the caller drops with dlclose.
void* OpenLoadedModule(uintptr_t base) {
  if (reinterpret_cast<HMODULE>(base) == ProgramHandle()) return dlopen(nullptr, RTLD_LAZY);
  struct Search {
    uintptr_t base;
    std::string name;
  } search{base, {}};
  dl_iterate_phdr(
      [](dl_phdr_info* pInfo, size_t, void* pContext) -> int {
        auto* pSearch = static_cast<Search*>(pContext);
        if (!pInfo->dlpi_name || !pInfo->dlpi_name[0]) return 0;
        // The image base as module_name.cpp computes it: the lowest loaded page.
        uintptr_t lowest = UINTPTR_MAX;
        for (int i = 0; i < pInfo->dlpi_phnum; ++i) {
          const ElfW(Phdr)& ph = pInfo->dlpi_phdr[i];
          if (ph.p_type == PT_LOAD && pInfo->dlpi_addr + ph.p_vaddr < lowest)
            lowest = pInfo->dlpi_addr + ph.p_vaddr;
        }
        const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
        if (lowest == UINTPTR_MAX || (lowest & ~(page - 1)) != pSearch->base) return 0;
        pSearch->name = pInfo->dlpi_name;
        return 1;
      },
      &search);
  if (search.name.empty()) return nullptr;
  return dlopen(search.name.c_str(), RTLD_LAZY | RTLD_NOLOAD);
}

}  // namespace

namespace detail {

bool RegisterBuiltinExport(const char* moduleName, const char* exportName, FARPROC function) {
  int index = moduleName ? BuiltinIndex(moduleName) : -1;
  if (index < 0 || !exportName) return false;
  ModuleTable& table = Table();
  std::lock_guard<std::mutex> lock(table.m_lock);
  table.m_exports[{index, exportName}] = function;
  return true;
}

}  // namespace detail

HMODULE LoadLibraryW(LPCWSTR fileName) {
  if (!fileName || !fileName[0]) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::string name = Utf16ToUtf8(fileName);
  ModuleTable& table = Table();
  int builtin = BuiltinIndex(name);
  if (builtin >= 0) {
    if (IsListedMissing(builtin)) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return nullptr;
    }
    std::lock_guard<std::mutex> lock(table.m_lock);
    ++table.m_builtinReferences[builtin];
    return BuiltinHandle(builtin);
  }
  std::string path;
  struct stat st;
  if (!PosixPathForModule(name, &path) || stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  // A module whose own dependencies cannot be found is "not found" on Windows as well.
  void* dlHandle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  uintptr_t base = dlHandle ? ImageBase(dlHandle) : 0;
  if (!base) {
    if (dlHandle) dlclose(dlHandle);
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(table.m_lock);
  ModuleTable::Library& library = table.m_libraries[base];
  library.dlHandle = dlHandle;
  ++library.references;
  return reinterpret_cast<HMODULE>(base);
}

HMODULE LoadLibraryA(LPCSTR fileName) {
  if (!fileName) return LoadLibraryW(nullptr);
  return LoadLibraryW(Utf8ToUtf16(fileName).c_str());
}

HMODULE LoadLibraryExW(LPCWSTR fileName, HANDLE, DWORD) { return LoadLibraryW(fileName); }

BOOL FreeLibrary(HMODULE module) {
  if (!module) return detail::Fail(ERROR_INVALID_HANDLE);
  ModuleTable& table = Table();
  int builtin = BuiltinIndexOfHandle(module);
  void* toClose = nullptr;
  {
    std::lock_guard<std::mutex> lock(table.m_lock);
    if (builtin >= 0) {
      if (table.m_builtinReferences[builtin] > 0) {
        --table.m_builtinReferences[builtin];
      } else if (builtin != kKernel32) {
        return detail::Fail(ERROR_INVALID_HANDLE);
      }
      return TRUE;
    }
    auto it = table.m_libraries.find(reinterpret_cast<uintptr_t>(module));
    if (it != table.m_libraries.end()) {
      toClose = it->second.dlHandle;
      if (--it->second.references == 0) table.m_libraries.erase(it);
    }
  }
  if (toClose) {
    dlclose(toClose);
    return TRUE;
  }
  if (module == ProgramHandle()) return TRUE;
  // A reference taken by GetModuleHandleExW: drop it, and the one taken just now.
  void* dlHandle = OpenLoadedModule(reinterpret_cast<uintptr_t>(module));
  if (!dlHandle) return detail::Fail(ERROR_INVALID_HANDLE);
  dlclose(dlHandle);
  dlclose(dlHandle);
  return TRUE;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR procName) {
  // Ordinals (names below 64 KiB) are not exported by anything here.
  if (!procName || reinterpret_cast<uintptr_t>(procName) < 0x10000) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  ModuleTable& table = Table();
  int builtin = BuiltinIndexOfHandle(module);
  if (builtin >= 0) {
    std::lock_guard<std::mutex> lock(table.m_lock);
    auto it = table.m_exports.find({builtin, procName});
    if (it == table.m_exports.end() || !it->second) {
      SetLastError(ERROR_PROC_NOT_FOUND);
      return nullptr;
    }
    return it->second;
  }
  if (!module) module = ProgramHandle();
  const uintptr_t base = reinterpret_cast<uintptr_t>(module);
  void* dlHandle = nullptr;
  bool opened = false;
  {
    std::lock_guard<std::mutex> lock(table.m_lock);
    auto it = table.m_libraries.find(base);
    if (it != table.m_libraries.end()) dlHandle = it->second.dlHandle;
  }
  if (!dlHandle) {
    dlHandle = OpenLoadedModule(base);
    opened = true;
  }
  if (!dlHandle) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  // dlsym also searches the module's dependencies; a Windows module exports only its own names.
  void* pSymbol = dlsym(dlHandle, procName);
  Dl_info info;
  if (pSymbol && (!dladdr(pSymbol, &info) || reinterpret_cast<uintptr_t>(info.dli_fbase) != base))
    pSymbol = nullptr;
  if (opened) dlclose(dlHandle);
  if (!pSymbol) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(pSymbol);
}

HMODULE GetModuleHandleW(LPCWSTR moduleName) {
  if (moduleName) {
    std::string name = Utf16ToUtf8(moduleName);
    int builtin = BuiltinIndex(name);
    if (builtin >= 0) {
      ModuleTable& table = Table();
      std::lock_guard<std::mutex> lock(table.m_lock);
      if (builtin == kKernel32 || table.m_builtinReferences[builtin] > 0)
        return BuiltinHandle(builtin);
      SetLastError(ERROR_MOD_NOT_FOUND);
      return nullptr;
    }
  }
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, moduleName, &module))
    return nullptr;
  return module;
}

bool IsMainExecutable(HMODULE module) { return module && module == ProgramHandle(); }

}  // namespace win32
