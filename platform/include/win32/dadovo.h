#pragma once
// The statistics report library ("dadovo.dll", built as dadovo.so): the client interface and the
// shapes of its five exports, which callers resolve by name with GetProcAddress.
//
// Each committed report is appended as one record to the spool file "spool.bin" in the
// statistics folder (<LUMIDOCK_ROOT>/statistics when LUMIDOCK_ROOT is set, else
// $XDG_STATE_HOME/lumidock/statistics, else ~/.local/state/lumidock/statistics):
//   u32 length, little-endian | the 18 header bytes as handed over | record | data blocks in order
// where length counts everything after itself. Appends take an exclusive lock on the file, so
// processes sharing the folder never interleave records. When ORBALYN_REPORT_SERVER holds a
// valid "host[:port]" (port 443 when absent) at the first Init, each report is also sent to
// that server, in the same framing, over one TCP connection per report, from a background thread
// so that Commit never waits for the network. Sending is best-effort: the spool keeps every
// report whether or not it was sent.

#include "win32/base.h"

namespace win32 {

// The report header handed to SetHeader: 18 bytes, read as they lie in memory.
constexpr DWORD kDadovoReportHeaderSize = 18;

// Slot order is part of the contract (SetHeader, SetRecord, AppendData, Commit): a plain
// abstract class with no destructor slot. Objects come from CreateIReportClient and go back
// through ReleaseIReportClient, never through delete.
class IReportClient {
 public:
  virtual BOOL SetHeader(const void* pHeader) = 0;
  virtual BOOL SetRecord(const BYTE* pData, DWORD length) = 0;
  virtual BOOL AppendData(const BYTE* pData, DWORD length) = 0;
  // Non-zero when the report was written to the spool. A client without a header refuses.
  virtual BOOL Commit() = 0;

 protected:
  ~IReportClient() = default;
};

// Init(enable): counts one more user. While the last Init said FALSE, Commit refuses reports.
using DadovoInitFn = BOOL (*)(BOOL enable);
// CreateIReportClient(host, backupHost, port, flags): null when no user is counted. The hosts and
// port name the maker's own server; where reports go is decided by ORBALYN_REPORT_SERVER.
using DadovoCreateIReportClientFn = IReportClient* (*)(const char* host, const char* backupHost,
                                                       UINT port, DWORD flags);
using DadovoReleaseIReportClientFn = void (*)(IReportClient* pClient);
// GetGuid(16 bytes out): an installation id made once from random bytes and kept in "guid.bin"
// beside the spool. FALSE when the statistics folder cannot be used.
using DadovoGetGuidFn = BOOL (*)(BYTE* pGuid);
// UnInit(time-out): counts one user off. The last one waits up to the time-out for reports still
// being sent, then stops sending (unsent reports stay in the spool).
using DadovoUnInitFn = void (*)(DWORD timeoutMs);

}  // namespace win32
