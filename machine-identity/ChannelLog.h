#pragma once
// The channel log: one text file per numbered channel in the shared log folder
// "<common application data>\Corvane\Harborkeep\Log\<channel name>.log". Only the machine
// identity writes, to channel 0 ("Common"), and only while the core-log switch is on.

#include <string>

#include "win32/base.h"

inline constexpr int kChannelCommon = 0;

// The core-log switch: HKLM "Software\Corvane\Harborkeep" value "EnableCoreLog", read once when
// this image is loaded (a missing key or value reads as 0). Callers write only when it is not 0.
int GetCoreLogSwitch();

// Formats one line (wide format with the Windows meaning: %s is a wide string), prefixes the
// local time and appends it to the channel's file. Failures are silent.
// Threading: any thread; one process-wide lock serialises the writes, and each write opens and
// closes the file so several processes may append to it.
void WriteChannelLog(int channel, const win32::WCHAR* pFormat, ...);

// Per-process state of the writer: the log folder and the path of each channel, both settled on
// first use. A channel's file is rotated to "<name>_backup.log" at that first use only, when it
// is larger than 10 MB.
// Lifetime: built on first use, destroyed at exit.
// Threading: every method runs under the channel-log lock.
class CChannelLog {
 public:
  static constexpr int kChannelCount = 8;
  static constexpr win32::ULONGLONG kRotateSize = 10485760;

  static CChannelLog& Get();

  CChannelLog(const CChannelLog&) = delete;
  CChannelLog& operator=(const CChannelLog&) = delete;

  // The channel's file, computed (and rotated) on first use; empty for an unknown channel or
  // when the log folder cannot be had.
  std::u16string ChannelPathLocked(int channel);

  // Tests only. Forgets the folder and every channel path, as a new process would.
  static void ResetForTesting();

 private:
  CChannelLog() = default;
  ~CChannelLog() = default;

  const std::u16string& FolderLocked();

  bool m_folderKnown = false;
  std::u16string m_folder;  // with its trailing backslash; empty when unavailable
  bool m_pathKnown[kChannelCount] = {};
  std::u16string m_paths[kChannelCount];
};
