#pragma once
// Where a task was posted from: kept in the task for crash reports and traces.

namespace AsyncFrame {

struct Location {
  Location() = default;
  Location(const char* pFunction, const char* pFile, int line)
      : functionName(pFunction), fileName(pFile), line(line) {}

  // Static strings (literals), never owned.
  const char* functionName = "";
  const char* fileName = "";
  int line = -1;
};

}  // namespace AsyncFrame

// The location of the code that posts.
#define FROM_HERE ::AsyncFrame::Location(__func__, __FILE_NAME__, __LINE__)
