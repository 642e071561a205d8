#pragma once
// File and path helpers every test folder uses: the system speaks Windows-form paths, the tests
// check the POSIX files behind them.

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "win32/strings.h"

namespace test_files {

inline std::string PosixFromWindows(const std::u16string& windowsPath) {
  std::string path = win32::Utf16ToUtf8(windowsPath);
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

inline std::u16string WindowsFromPosix(const std::string& posixPath) {
  std::string path = posixPath;
  std::replace(path.begin(), path.end(), '/', '\\');
  return win32::Utf8ToUtf16(path);
}

inline std::string ReadWholeFile(const std::string& posixPath) {
  std::ifstream in(posixPath, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void WriteWholeFile(const std::string& posixPath, const std::string& content) {
  std::filesystem::create_directories(std::filesystem::path(posixPath).parent_path());
  std::ofstream out(posixPath, std::ios::binary | std::ios::trunc);
  out << content;
}

// A new folder under the temporary folder, e.g. MakeTempFolder("logic-test").
inline std::string MakeTempFolder(const std::string& prefix) {
  std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
  return mkdtemp(pattern.data()) ? pattern : std::string();
}

}  // namespace test_files
