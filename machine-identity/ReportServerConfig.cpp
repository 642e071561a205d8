#include "ReportServerConfig.h"

// Set by the build from its report-server setting; names under .invalid never resolve.
#ifndef LUMIDOCK_REPORT_HOST
#define LUMIDOCK_REPORT_HOST "report.lumidock.invalid"
#endif

CReportServerConfig::CReportServerConfig() : host(LUMIDOCK_REPORT_HOST) {}
