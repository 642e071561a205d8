#pragma once
// Facts about the machine: operating-system version, processor, language, computer name.
// The version describes the running Linux kernel ("6.1.0" gives 6, 1, build 0) on the NT
// platform family, with no service pack.

#include "win32/base.h"

namespace win32 {

using LANGID = WORD;

constexpr DWORD VER_PLATFORM_WIN32_NT = 2;

constexpr WORD PROCESSOR_ARCHITECTURE_INTEL = 0;
constexpr WORD PROCESSOR_ARCHITECTURE_ARM = 5;
constexpr WORD PROCESSOR_ARCHITECTURE_AMD64 = 9;
constexpr WORD PROCESSOR_ARCHITECTURE_ARM64 = 12;
constexpr WORD PROCESSOR_ARCHITECTURE_UNKNOWN = 0xFFFF;

constexpr DWORD MAX_COMPUTERNAME_LENGTH = 15;

// 276 bytes: the size check in GetVersionExW tells the two forms apart.
struct OSVERSIONINFOW {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  WCHAR szCSDVersion[128];
};
using LPOSVERSIONINFOW = OSVERSIONINFOW*;

// 284 bytes.
struct OSVERSIONINFOEXW {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  WCHAR szCSDVersion[128];
  WORD wServicePackMajor;
  WORD wServicePackMinor;
  WORD wSuiteMask;
  BYTE wProductType;
  BYTE wReserved;
};
using LPOSVERSIONINFOEXW = OSVERSIONINFOEXW*;

struct SYSTEM_INFO {
  union {
    DWORD dwOemId;
    struct {
      WORD wProcessorArchitecture;
      WORD wReserved;
    };
  };
  DWORD dwPageSize;
  LPVOID lpMinimumApplicationAddress;
  LPVOID lpMaximumApplicationAddress;
  DWORD_PTR dwActiveProcessorMask;
  DWORD dwNumberOfProcessors;
  DWORD dwProcessorType;
  DWORD dwAllocationGranularity;
  WORD wProcessorLevel;
  WORD wProcessorRevision;
};
using LPSYSTEM_INFO = SYSTEM_INFO*;

// dwOSVersionInfoSize must be sizeof(OSVERSIONINFOW) or sizeof(OSVERSIONINFOEXW); any other value
// fails with ERROR_INSUFFICIENT_BUFFER and leaves the record alone.
WIN32_API BOOL GetVersionExW(LPOSVERSIONINFOW versionInfo);
inline BOOL GetVersionExW(LPOSVERSIONINFOEXW versionInfo) {
  return GetVersionExW(reinterpret_cast<LPOSVERSIONINFOW>(versionInfo));
}

// Both give the architecture this process runs on (there is no 32-bit emulation layer).
WIN32_API void GetSystemInfo(LPSYSTEM_INFO systemInfo);
WIN32_API void GetNativeSystemInfo(LPSYSTEM_INFO systemInfo);

// From the locale environment (LC_ALL, then LC_MESSAGES, then LANG); "C", "POSIX" and unknown
// languages give 0x0409 (English, United States).
WIN32_API LANGID GetSystemDefaultLangID();
WIN32_API LANGID GetUserDefaultLangID();
WIN32_API LANGID GetUserDefaultUILanguage();

// The first label of the host name. On entry *size is the buffer's size in characters; on
// success it is the name's length without the NUL. A buffer too small for name and NUL fails with
// ERROR_BUFFER_OVERFLOW and *size set to the size needed, NUL included.
WIN32_API BOOL GetComputerNameW(LPWSTR buffer, LPDWORD size);
WIN32_API BOOL GetComputerNameA(LPSTR buffer, LPDWORD size);

// The processor's CPUID answer for `functionId` into EAX, EBX, ECX, EDX (the MSVC intrinsic's
// contract). Leaves the processor does not offer, and every leaf on processors without CPUID,
// give zeros, so the brand text of leaves 0x80000002-0x80000004 then starts with a NUL.
WIN32_API void CpuId(int cpuInfo[4], int functionId);

}  // namespace win32
