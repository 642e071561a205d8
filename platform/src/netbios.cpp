#include "win32/netbios.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "netinfo.h"

namespace win32 {
namespace {

UCHAR Complete(PNCB pNcb, UCHAR code) {
  pNcb->ncb_retcode = code;
  pNcb->ncb_cmd_cplt = code;
  return code;
}

}  // namespace

// Answered from the adapter list rather than failed outright, so the reader's NetBIOS step runs
// the same way it does on Windows and stays testable; no name service exists behind it.
UCHAR Netbios(PNCB pNcb) {
  if (!pNcb) return NRC_ILLCMD;
  if ((pNcb->ncb_command & ASYNCH) || pNcb->ncb_post) return Complete(pNcb, NRC_ILLCMD);
  std::vector<detail::AdapterFacts> adapters = detail::ListAdapters();
  size_t lanaCount = std::min<size_t>(adapters.size(), MAX_LANA);
  switch (pNcb->ncb_command) {
    case NCBENUM: {
      if (!pNcb->ncb_buffer || pNcb->ncb_length < 1 + lanaCount) return Complete(pNcb, NRC_BUFLEN);
      auto* pEnum = reinterpret_cast<LANA_ENUM*>(pNcb->ncb_buffer);
      pEnum->length = static_cast<UCHAR>(lanaCount);
      for (size_t i = 0; i < lanaCount; ++i) pEnum->lana[i] = static_cast<UCHAR>(i);
      return Complete(pNcb, NRC_GOODRET);
    }
    case NCBRESET:
      if (pNcb->ncb_lana_num >= lanaCount) return Complete(pNcb, NRC_BRIDGE);
      return Complete(pNcb, NRC_GOODRET);
    case NCBASTAT: {
      if (pNcb->ncb_lana_num >= lanaCount) return Complete(pNcb, NRC_BRIDGE);
      if (pNcb->ncb_callname[0] != '*') return Complete(pNcb, NRC_CMDTMO);
      if (!pNcb->ncb_buffer || pNcb->ncb_length < sizeof(ADAPTER_STATUS)) {
        return Complete(pNcb, NRC_BUFLEN);
      }
      const detail::AdapterFacts& facts = adapters[pNcb->ncb_lana_num];
      ADAPTER_STATUS status;
      memset(&status, 0, sizeof(status));
      memcpy(status.adapter_address, facts.address, sizeof(status.adapter_address));
      status.rev_major = 3;
      status.adapter_type = 0xFE;  // Ethernet
      memcpy(pNcb->ncb_buffer, &status, sizeof(status));
      pNcb->ncb_length = sizeof(ADAPTER_STATUS);
      return Complete(pNcb, NRC_GOODRET);
    }
    default:
      return Complete(pNcb, NRC_ILLCMD);
  }
}

}  // namespace win32
