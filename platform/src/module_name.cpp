#include "win32/module_name.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "handles.h"
#include "paths.h"
#include "win32/strings.h"

namespace win32 {
namespace {

struct LoadedModule {
  uintptr_t base;
  std::string name;  // as the dynamic linker holds it: may be relative, empty for the program
  bool isProgram;
};

int CollectModule(dl_phdr_info* pInfo, size_t, void* pContext) {
  auto* pModules = static_cast<std::vector<LoadedModule>*>(pContext);
  uintptr_t lowest = UINTPTR_MAX;
  for (int i = 0; i < pInfo->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = pInfo->dlpi_phdr[i];
    if (ph.p_type == PT_LOAD && pInfo->dlpi_addr + ph.p_vaddr < lowest) {
      lowest = pInfo->dlpi_addr + ph.p_vaddr;
    }
  }
  if (lowest == UINTPTR_MAX) return 0;
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  pModules->push_back(
      {lowest & ~(page - 1), pInfo->dlpi_name ? pInfo->dlpi_name : "", pModules->empty()});
  return 0;
}

std::vector<LoadedModule> ListModules() {
  std::vector<LoadedModule> modules;
  dl_iterate_phdr(CollectModule, &modules);
  return modules;
}

bool ProgramPath(std::string* pPath) {
  std::string buffer(256, '\0');
  for (;;) {
    ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return false;
    if (static_cast<size_t>(n) < buffer.size()) {
      buffer.resize(n);
      *pPath = std::move(buffer);
      return true;
    }
    buffer.resize(buffer.size() * 2);
  }
}

// The kernel's name for the file mapped at `base`: absolute and free of symlinks, unlike the
// name a module was dlopen'ed by.
bool MappedPath(uintptr_t base, std::string* pPath) {
  FILE* pMaps = fopen("/proc/self/maps", "re");
  if (!pMaps) return false;
  char* pLine = nullptr;
  size_t capacity = 0;
  bool found = false;
  while (!found && getline(&pLine, &capacity, pMaps) > 0) {
    unsigned long start;
    unsigned long end;
    int pathAt = 0;
    if (sscanf(pLine, "%lx-%lx %*s %*x %*x:%*x %*u %n", &start, &end, &pathAt) < 2 || pathAt == 0 ||
        start != base) {
      continue;
    }
    std::string path(pLine + pathAt);
    while (!path.empty() && path.back() == '\n') path.pop_back();
    constexpr std::string_view kDeleted = " (deleted)";
    if (path.size() > kDeleted.size() && path.ends_with(kDeleted)) {
      path.resize(path.size() - kDeleted.size());
    }
    if (!path.empty() && path[0] == '/') {
      *pPath = std::move(path);
      found = true;
    }
  }
  free(pLine);
  fclose(pMaps);
  return found;
}

bool ModulePath(const LoadedModule& module, std::string* pPath) {
  if (module.isProgram) return ProgramPath(pPath);
  if (!module.name.empty() && module.name[0] == '/') {
    if (char* pReal = realpath(module.name.c_str(), nullptr)) {
      *pPath = pReal;
      free(pReal);
      return true;
    }
  }
  return MappedPath(module.base, pPath);
}

// Resolves an HMODULE to the module's real path; false when no loaded module has that base.
bool PathOfHandle(HMODULE hModule, std::string* pPath) {
  if (!hModule) return ProgramPath(pPath);
  for (const LoadedModule& module : ListModules()) {
    if (module.base == reinterpret_cast<uintptr_t>(hModule)) return ModulePath(module, pPath);
  }
  return false;
}

bool EndsWithIgnoringCase(const std::string& s, std::string_view suffix) {
  if (s.size() < suffix.size()) return false;
  return lstrcmpiA(s.c_str() + s.size() - suffix.size(), std::string(suffix).c_str()) == 0;
}

std::string BaseName(const std::string& path) {
  size_t cut = path.find_last_of("/\\");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

// "Orbalyn.dll" names the built Orbalyn.so, "Harborlight.exe" the program Harborlight; a name
// without extension means a DLL, as on Windows.
std::string BuiltFileName(const std::string& windowsName) {
  std::string name = BaseName(windowsName);
  if (EndsWithIgnoringCase(name, ".dll")) return name.substr(0, name.size() - 4) + ".so";
  if (EndsWithIgnoringCase(name, ".exe")) return name.substr(0, name.size() - 4);
  if (name.find('.') == std::string::npos) return name + ".so";
  return name;
}

// Adds the reference Windows counts for a GetModuleHandleExW caller, so the module cannot be
// unloaded under it. The program itself is never unloaded and needs none.
void AddModuleReference(const LoadedModule& module, bool pin) {
  if (module.isProgram) return;
  int mode = RTLD_LAZY | RTLD_NOLOAD | (pin ? RTLD_NODELETE : 0);
  dlopen(module.name.c_str(), mode);
}

}  // namespace

DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR pFileName, DWORD nSize) {
  std::string path;
  if (!PathOfHandle(hModule, &path)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  bool truncated = false;
  DWORD n = detail::CopyOut(detail::FromPosixPath(path), pFileName, nSize, &truncated);
  SetLastError(truncated ? ERROR_INSUFFICIENT_BUFFER : ERROR_SUCCESS);
  return n;
}

DWORD GetModuleFileNameA(HMODULE hModule, LPSTR pFileName, DWORD nSize) {
  std::string path;
  if (!PathOfHandle(hModule, &path)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  path = detail::FromPosixPathUtf8(path);
  if (path.size() < nSize) {
    memcpy(pFileName, path.c_str(), path.size() + 1);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(path.size());
  }
  if (nSize > 0) {
    size_t cut = nSize - 1;
    while (cut > 0 && (static_cast<unsigned char>(path[cut]) & 0xC0) == 0x80) --cut;
    memcpy(pFileName, path.data(), cut);
    pFileName[cut] = '\0';
  }
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return nSize;
}

BOOL GetModuleHandleExW(DWORD flags, LPCWSTR moduleName, HMODULE* phModule) {
  if (!phModule) return detail::Fail(ERROR_INVALID_PARAMETER);
  *phModule = nullptr;
  const bool pin = (flags & GET_MODULE_HANDLE_EX_FLAG_PIN) != 0;
  const bool unchanged = (flags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT) != 0;
  if ((pin && unchanged) || (flags & ~DWORD{7})) return detail::Fail(ERROR_INVALID_PARAMETER);
  std::vector<LoadedModule> modules = ListModules();
  const LoadedModule* pFound = nullptr;
  if (flags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) {
    Dl_info info;
    if (!moduleName || dladdr(moduleName, &info) == 0 || !info.dli_fbase) {
      return detail::Fail(ERROR_MOD_NOT_FOUND);
    }
    for (const LoadedModule& module : modules) {
      if (module.base == reinterpret_cast<uintptr_t>(info.dli_fbase)) pFound = &module;
    }
  } else if (!moduleName) {
    if (!modules.empty()) pFound = &modules.front();
  } else {
    const std::string wanted = BuiltFileName(Utf16ToUtf8(moduleName));
    std::string programPath;
    for (const LoadedModule& module : modules) {
      std::string name = module.name;
      if (module.isProgram && ProgramPath(&programPath)) name = programPath;
      if (!name.empty() && lstrcmpiA(BaseName(name).c_str(), wanted.c_str()) == 0) {
        pFound = &module;
        break;
      }
    }
  }
  if (!pFound) return detail::Fail(ERROR_MOD_NOT_FOUND);
  if (!unchanged) AddModuleReference(*pFound, pin);
  *phModule = reinterpret_cast<HMODULE>(pFound->base);
  return TRUE;
}

// "C:\Windows\System32": the layer's own folder, which the path conversion recognises under any
// letter, so names built on it (the hosts file, built-in modules) never reach the drive table.
UINT GetSystemDirectoryW(LPWSTR pBuffer, UINT uSize) {
  const std::u16string dir = u"C:" + std::u16string(detail::kSystemDirectory);
  if (!pBuffer || uSize <= dir.size()) return static_cast<UINT>(dir.size() + 1);
  std::copy(dir.begin(), dir.end(), pBuffer);
  pBuffer[dir.size()] = 0;
  return static_cast<UINT>(dir.size());
}

UINT GetSystemDirectoryA(LPSTR pBuffer, UINT uSize) {
  const std::string dir = "C:" + Utf16ToUtf8(detail::kSystemDirectory);
  if (!pBuffer || uSize <= dir.size()) return static_cast<UINT>(dir.size() + 1);
  memcpy(pBuffer, dir.c_str(), dir.size() + 1);
  return static_cast<UINT>(dir.size());
}

DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

}  // namespace win32
