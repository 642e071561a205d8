#pragma once
// The layout files read so far, each parsed once and kept for the life of the process (elements
// point into them for their looks).
// Threading: UI thread only.

#include <string>

#include "CSkein.h"

namespace lq {

class CSkeinCache {
 public:
  // The parsed file, reading it on first use; null when it cannot be read or parsed, after one
  // log line "<path>:<line>:<column>: <what>" (LastError holds it too).
  static const CSkein* Load(const std::u16string& path);
  // A style of the files read, the latest read first; null when none has it.
  static const Look* FindStyle(const std::u16string& name);
  // Logs a failure about a layout and keeps it as the last error.
  static void ReportError(const std::string& text);
  static std::string LastError();
};

}  // namespace lq
