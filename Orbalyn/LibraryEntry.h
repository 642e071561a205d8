#pragma once
// The four exports of Orbalyn.so, resolved by name with GetProcAddress. None takes an argument;
// only GetIOrbalyn's result has a meaning.

struct IOrbalyn;

// The root object, built on the first call; null when the library could not set itself up.
using GetIOrbalynFn = IOrbalyn* (*)();
// Removes the "My Computer" entry and the backup folder's decoration.
using UnregisterDriveFn = void (*)();
// The installer's and the uninstaller's statistics report, with the calling program let
// through the firewall while it is sent.
using DoInstallReportFn = void (*)();
using DoUninstallReportFn = void (*)();

inline constexpr const char kGetIOrbalynName[] = "GetIOrbalyn";
inline constexpr const char kUnregisterDriveName[] = "UnregisterDrive";
inline constexpr const char kDoInstallReportName[] = "DoInstallReport";
inline constexpr const char kDoUninstallReportName[] = "DoUninstallReport";
