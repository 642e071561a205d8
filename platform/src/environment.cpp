#include "win32/environment.h"

#include <stdlib.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "cmdline.h"
#include "handles.h"
#include "win32/module_name.h"
#include "win32/strings.h"

namespace win32 {
namespace {

std::vector<std::u16string> ReadProgramArguments() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::u16string> words;
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find('\0', start);
    if (end == std::string::npos) end = bytes.size();
    words.push_back(Utf8ToUtf16(std::string_view(bytes).substr(start, end - start)));
    start = end + 1;
  }
  return words;
}

std::u16string ProgramPath() {
  WCHAR path[4096];
  DWORD length = GetModuleFileNameW(nullptr, path, 4096);
  return length > 0 && length < 4096 ? std::u16string(path, length) : std::u16string();
}

bool IsValidName(LPCWSTR name) {
  return name && *name && std::u16string_view(name).find(u'=') == std::u16string_view::npos;
}

}  // namespace

LPWSTR GetCommandLineW() {
  // Leaky: callers may keep the pointer through exit handlers.
  static std::u16string* pLine =
      new std::u16string(detail::JoinCommandLine(ReadProgramArguments()));
  return pLine->data();
}

LPWSTR* CommandLineToArgvW(LPCWSTR cmdLine, int* pNumArgs) {
  if (!cmdLine || !pNumArgs) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::vector<std::u16string> words;
  if (*cmdLine) {
    words = detail::SplitCommandLine(cmdLine);
  } else {
    words.push_back(ProgramPath());
  }
  size_t pointerBytes = (words.size() + 1) * sizeof(LPWSTR);
  size_t textChars = 0;
  for (const std::u16string& word : words) textChars += word.size() + 1;
  auto* pBlock = static_cast<char*>(std::malloc(pointerBytes + textChars * sizeof(WCHAR)));
  if (!pBlock) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  auto* pArgv = reinterpret_cast<LPWSTR*>(pBlock);
  auto* pText = reinterpret_cast<WCHAR*>(pBlock + pointerBytes);
  for (size_t i = 0; i < words.size(); ++i) {
    pArgv[i] = pText;
    std::memcpy(pText, words[i].c_str(), (words[i].size() + 1) * sizeof(WCHAR));
    pText += words[i].size() + 1;
  }
  pArgv[words.size()] = nullptr;
  *pNumArgs = static_cast<int>(words.size());
  return pArgv;
}

HLOCAL LocalFree(HLOCAL mem) {
  std::free(mem);
  return nullptr;
}

DWORD GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size) {
  if (!IsValidName(name)) {
    SetLastError(ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  const char* pValue = getenv(Utf16ToUtf8(name).c_str());
  if (!pValue) {
    SetLastError(ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  std::u16string value = Utf8ToUtf16(pValue);
  if (!buffer || value.size() >= size) return static_cast<DWORD>(value.size() + 1);
  std::memcpy(buffer, value.c_str(), (value.size() + 1) * sizeof(WCHAR));
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(value.size());
}

BOOL SetEnvironmentVariableW(LPCWSTR name, LPCWSTR value) {
  if (!IsValidName(name)) return detail::Fail(ERROR_INVALID_PARAMETER);
  std::string narrowName = Utf16ToUtf8(name);
  int result = value ? setenv(narrowName.c_str(), Utf16ToUtf8(value).c_str(), 1)
                     : unsetenv(narrowName.c_str());
  if (result != 0) return detail::Fail(ERROR_NOT_ENOUGH_MEMORY);
  return TRUE;
}

}  // namespace win32
