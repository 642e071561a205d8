#include "win32/sysinfo.h"

#include <stdlib.h>
#include <sys/utsname.h>
#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "handles.h"
#include "win32/strings.h"

namespace win32 {
namespace {

constexpr LANGID kEnglishUnitedStates = 0x0409;
constexpr BYTE kWorkstationProduct = 1;

struct LocaleLanguage {
  const char* prefix;  // "ll_CC" or "ll"
  LANGID id;
};

// Checked in order: full locale names first, then the language alone (its usual region).
constexpr LocaleLanguage kLanguages[] = {
    {"zh_CN", 0x0804}, {"zh_TW", 0x0404}, {"zh_HK", 0x0C04}, {"zh_SG", 0x1004}, {"en_US", 0x0409},
    {"en_GB", 0x0809}, {"en_AU", 0x0C09}, {"en_CA", 0x1009}, {"de_AT", 0x0C07}, {"de_CH", 0x0807},
    {"fr_CA", 0x0C0C}, {"fr_BE", 0x080C}, {"fr_CH", 0x100C}, {"es_MX", 0x080A}, {"pt_PT", 0x0816},
    {"pt_BR", 0x0416}, {"zh", 0x0804},    {"en", 0x0409},    {"de", 0x0407},    {"fr", 0x040C},
    {"ja", 0x0411},    {"ko", 0x0412},    {"ru", 0x0419},    {"es", 0x0C0A},    {"it", 0x0410},
    {"pt", 0x0416},    {"nl", 0x0413},    {"pl", 0x0415},    {"tr", 0x041F},    {"sv", 0x041D},
    {"cs", 0x0405},    {"uk", 0x0422},
};

LANGID LanguageFromLocale() {
  const char* pLocale = nullptr;
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* pValue = getenv(name);
    if (pValue && *pValue) {
      pLocale = pValue;
      break;
    }
  }
  if (!pLocale) return kEnglishUnitedStates;
  // "zh_CN.UTF-8@pinyin" -> "zh_CN"
  std::string_view locale = pLocale;
  locale = locale.substr(0, locale.find_first_of(".@"));
  for (const LocaleLanguage& language : kLanguages) {
    std::string_view prefix = language.prefix;
    if (locale == prefix) return language.id;
    if (prefix.size() == 2 && locale.size() > 2 && locale.substr(0, 2) == prefix &&
        locale[2] == '_') {
      return language.id;
    }
  }
  return kEnglishUnitedStates;
}

WORD NativeArchitecture() {
#if defined(__x86_64__)
  return PROCESSOR_ARCHITECTURE_AMD64;
#elif defined(__aarch64__)
  return PROCESSOR_ARCHITECTURE_ARM64;
#elif defined(__i386__)
  return PROCESSOR_ARCHITECTURE_INTEL;
#elif defined(__arm__)
  return PROCESSOR_ARCHITECTURE_ARM;
#else
  return PROCESSOR_ARCHITECTURE_UNKNOWN;
#endif
}

// The host name up to its first dot, as the machine's short name.
std::string ShortHostName() {
  char name[256] = {};
  if (gethostname(name, sizeof(name) - 1) != 0) return {};
  std::string text = name;
  return text.substr(0, text.find('.'));
}

}  // namespace

BOOL GetVersionExW(LPOSVERSIONINFOW versionInfo) {
  if (!versionInfo) return detail::Fail(ERROR_INVALID_PARAMETER);
  DWORD size = versionInfo->dwOSVersionInfoSize;
  if (size != sizeof(OSVERSIONINFOW) && size != sizeof(OSVERSIONINFOEXW)) {
    return detail::Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  unsigned major = 0;
  unsigned minor = 0;
  unsigned build = 0;
  utsname names;
  if (uname(&names) == 0) sscanf(names.release, "%u.%u.%u", &major, &minor, &build);
  memset(versionInfo, 0, size);
  versionInfo->dwOSVersionInfoSize = size;
  versionInfo->dwMajorVersion = major;
  versionInfo->dwMinorVersion = minor;
  versionInfo->dwBuildNumber = build;
  versionInfo->dwPlatformId = VER_PLATFORM_WIN32_NT;
  if (size == sizeof(OSVERSIONINFOEXW)) {
    reinterpret_cast<LPOSVERSIONINFOEXW>(versionInfo)->wProductType = kWorkstationProduct;
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

void GetSystemInfo(LPSYSTEM_INFO systemInfo) {
  if (!systemInfo) return;
  memset(systemInfo, 0, sizeof(*systemInfo));
  long pageSize = sysconf(_SC_PAGESIZE);
  long processors = sysconf(_SC_NPROCESSORS_ONLN);
  if (processors < 1) processors = 1;
  systemInfo->wProcessorArchitecture = NativeArchitecture();
  systemInfo->dwPageSize = pageSize > 0 ? static_cast<DWORD>(pageSize) : 4096;
  systemInfo->lpMinimumApplicationAddress = reinterpret_cast<LPVOID>(uintptr_t{0x10000});
  systemInfo->lpMaximumApplicationAddress = reinterpret_cast<LPVOID>(~uintptr_t{0} >> 17);
  systemInfo->dwNumberOfProcessors = static_cast<DWORD>(processors);
  systemInfo->dwActiveProcessorMask =
      processors >= 64 ? ~DWORD_PTR{0} : (DWORD_PTR{1} << processors) - 1;
  systemInfo->dwProcessorType = NativeArchitecture() == PROCESSOR_ARCHITECTURE_AMD64 ? 8664 : 0;
  systemInfo->dwAllocationGranularity = 65536;
}

void GetNativeSystemInfo(LPSYSTEM_INFO systemInfo) { GetSystemInfo(systemInfo); }

LANGID GetSystemDefaultLangID() { return LanguageFromLocale(); }

LANGID GetUserDefaultLangID() { return LanguageFromLocale(); }

LANGID GetUserDefaultUILanguage() { return LanguageFromLocale(); }

BOOL GetComputerNameW(LPWSTR buffer, LPDWORD size) {
  if (!size) return detail::Fail(ERROR_INVALID_PARAMETER);
  std::u16string name = Utf8ToUtf16(ShortHostName());
  if (name.empty()) return detail::Fail(ERROR_INVALID_FUNCTION);
  if (!buffer || *size < name.size() + 1) {
    *size = static_cast<DWORD>(name.size() + 1);
    return detail::Fail(ERROR_BUFFER_OVERFLOW);
  }
  memcpy(buffer, name.data(), name.size() * sizeof(WCHAR));
  buffer[name.size()] = u'\0';
  *size = static_cast<DWORD>(name.size());
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL GetComputerNameA(LPSTR buffer, LPDWORD size) {
  if (!size) return detail::Fail(ERROR_INVALID_PARAMETER);
  std::string name = ShortHostName();
  if (name.empty()) return detail::Fail(ERROR_INVALID_FUNCTION);
  if (!buffer || *size < name.size() + 1) {
    *size = static_cast<DWORD>(name.size() + 1);
    return detail::Fail(ERROR_BUFFER_OVERFLOW);
  }
  memcpy(buffer, name.data(), name.size() + 1);
  *size = static_cast<DWORD>(name.size());
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

void CpuId(int cpuInfo[4], int functionId) {
  cpuInfo[0] = cpuInfo[1] = cpuInfo[2] = cpuInfo[3] = 0;
#if defined(__x86_64__) || defined(__i386__)
  unsigned leaf = static_cast<unsigned>(functionId);
  // Asking beyond the highest leaf returns another leaf's data on some processors.
  unsigned highest = __get_cpuid_max(leaf & 0x80000000u, nullptr);
  if (highest == 0 || leaf > highest) return;
  unsigned a;
  unsigned b;
  unsigned c;
  unsigned d;
  __cpuid_count(leaf, 0, a, b, c, d);
  cpuInfo[0] = static_cast<int>(a);
  cpuInfo[1] = static_cast<int>(b);
  cpuInfo[2] = static_cast<int>(c);
  cpuInfo[3] = static_cast<int>(d);
#else
  (void)functionId;
#endif
}

}  // namespace win32
