// The five C exports of the statistics report library.

#include "win32/dadovo.h"

#include <type_traits>

#include "CDadovoModule.h"

#define DADOVO_EXPORT extern "C" __attribute__((visibility("default")))

using win32::BOOL;
using win32::BYTE;
using win32::DWORD;
using win32::IReportClient;
using win32::UINT;

DADOVO_EXPORT BOOL Init(BOOL enable) {
  CDadovoModule::Instance().Init(enable != 0);
  return win32::TRUE;
}

DADOVO_EXPORT IReportClient* CreateIReportClient(const char*, const char*, UINT, DWORD) {
  return CDadovoModule::Instance().CreateClient();
}

DADOVO_EXPORT void ReleaseIReportClient(IReportClient* pClient) {
  CDadovoModule::Instance().ReleaseClient(pClient);
}

DADOVO_EXPORT BOOL GetGuid(BYTE* pGuid) {
  if (!pGuid) return win32::FALSE;
  return CDadovoModule::Instance().GetGuid(pGuid) ? win32::TRUE : win32::FALSE;
}

DADOVO_EXPORT void UnInit(DWORD timeoutMs) { CDadovoModule::Instance().UnInit(timeoutMs); }

// The exports must keep the shapes callers resolve them as.
static_assert(std::is_same_v<decltype(&Init), win32::DadovoInitFn>);
static_assert(std::is_same_v<decltype(&CreateIReportClient), win32::DadovoCreateIReportClientFn>);
static_assert(std::is_same_v<decltype(&ReleaseIReportClient), win32::DadovoReleaseIReportClientFn>);
static_assert(std::is_same_v<decltype(&GetGuid), win32::DadovoGetGuidFn>);
static_assert(std::is_same_v<decltype(&UnInit), win32::DadovoUnInitFn>);
