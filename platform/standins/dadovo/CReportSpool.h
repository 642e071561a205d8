#pragma once

#include <string>
#include <vector>

#include "win32/base.h"

// The statistics folder: the spool of committed reports and the installation id.
// Threading: any thread, any process. Appends and the id's creation take an exclusive lock on
// their file, so concurrent writers never interleave or tear a record.
class CReportSpool {
 public:
  // <LUMIDOCK_ROOT>/statistics, else $XDG_STATE_HOME/lumidock/statistics, else
  // ~/.local/state/lumidock/statistics; empty when none can be named.
  static std::string DefaultFolder();

  explicit CReportSpool(std::string folder);
  CReportSpool(const CReportSpool&) = delete;
  CReportSpool& operator=(const CReportSpool&) = delete;

  // Appends one frame to spool.bin, whole or not at all.
  bool Append(const std::vector<win32::BYTE>& frame);
  // The 16-byte id in guid.bin, created from random bytes when missing or malformed.
  bool LoadGuid(win32::BYTE* pGuid);

 private:
  bool EnsureFolder();

  const std::string m_folder;
};
