#include "Basalt/KwBugReport.h"

#include "CBasaltState.h"

using namespace win32;

namespace KwBugReport {

BOOL InitBugReport(const WCHAR* pName, const WCHAR* pDescription, const WCHAR* pModulePath,
                   const WCHAR* pCommandLine, WORD major, WORD minor, DWORD build, int flag1,
                   int flag2, WORD language, int reserved, CrashCallback callback) {
  CBasaltState::Get().Record("InitBugReport");
  CBasaltState::Get().UpdateBugReport([&](BasaltTesting::BugReport& report) {
    report = {};
    report.name = pName ? pName : u"";
    report.description = pDescription ? pDescription : u"";
    report.modulePath = pModulePath ? pModulePath : u"";
    report.commandLine = pCommandLine ? pCommandLine : u"";
    report.major = major;
    report.minor = minor;
    report.build = build;
    report.flag1 = flag1;
    report.flag2 = flag2;
    report.language = language;
    report.reserved = reserved;
    report.noCallback = callback == kNoCrashCallback;
  });
  return TRUE;
}

void SetBugReportUin(DWORD uin, const WCHAR*) {
  CBasaltState::Get().Record("SetBugReportUin");
  CBasaltState::Get().UpdateBugReport(
      [uin](BasaltTesting::BugReport& report) { report.uin = uin; });
}

BOOL ValidateBugReport() {
  CBasaltState::Get().Record("ValidateBugReport");
  CBasaltState::Get().UpdateBugReport(
      [](BasaltTesting::BugReport& report) { report.validated = true; });
  return TRUE;
}

}  // namespace KwBugReport
