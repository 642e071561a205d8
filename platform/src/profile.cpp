#include "win32/profile.h"

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "handles.h"
#include "ini.h"
#include "paths.h"
#include "store_files.h"
#include "win32/strings.h"

namespace win32 {
namespace {

std::mutex& ProfileLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

// What a read found, before it is fitted into the caller's buffer.
struct ProfileAnswer {
  std::u16string text;  // a value, or names each followed by NUL
  bool isList = false;
  bool found = false;
};

std::optional<std::u16string> Optional(LPCWSTR text) {
  if (!text) return std::nullopt;
  return std::u16string(text);
}

std::optional<std::u16string> Optional(LPCSTR text) {
  if (!text) return std::nullopt;
  return Utf8ToUtf16(text);
}

// Reads the file under the lock. A file that cannot be read counts as empty.
detail::IniDocument LoadDocument(const std::u16string& fileName, bool* pExists) {
  detail::IniDocument document;
  *pExists = false;
  std::string posix;
  std::string content;
  if (detail::ToPosixPath(fileName, &posix) &&
      detail::ReadWholeFile(posix, &content, nullptr) == ERROR_SUCCESS) {
    *pExists = true;
    document.Parse(content);
  }
  return document;
}

ProfileAnswer Query(const std::optional<std::u16string>& section,
                    const std::optional<std::u16string>& key,
                    const std::optional<std::u16string>& defaultValue,
                    const std::optional<std::u16string>& fileName) {
  ProfileAnswer answer;
  bool exists = false;
  detail::IniDocument document;
  if (fileName) {
    std::lock_guard<std::mutex> lock(ProfileLock());
    document = LoadDocument(*fileName, &exists);
  }
  if (!section || !key) {
    answer.isList = true;
    answer.found = exists;
    std::vector<std::u16string> names =
        section ? document.KeyNames(*section) : document.SectionNames();
    for (const std::u16string& name : names) {
      answer.text += name;
      answer.text.push_back(u'\0');
    }
    return answer;
  }
  answer.found = document.FindValue(*section, *key, &answer.text);
  if (!answer.found) {
    answer.text = defaultValue.value_or(u"");
    while (!answer.text.empty() && answer.text.back() == u' ') answer.text.pop_back();
  }
  return answer;
}

// Fits the answer into `size` units of `returned` by the Windows rules (see profile.h).
template <class Char>
DWORD CopyAnswer(std::basic_string_view<Char> text, bool isList, Char* returned, DWORD size) {
  if (!returned || size == 0) return 0;
  if (!isList) {
    if (text.size() < size) {
      text.copy(returned, text.size());
      returned[text.size()] = 0;
      return static_cast<DWORD>(text.size());
    }
    text.copy(returned, size - 1);
    returned[size - 1] = 0;
    SetLastError(ERROR_MORE_DATA);
    return size - 1;
  }
  if (size == 1) {
    returned[0] = 0;
    return 0;
  }
  if (text.empty()) {
    returned[0] = returned[1] = 0;
    return 0;
  }
  if (text.size() + 1 <= size) {
    text.copy(returned, text.size());
    returned[text.size()] = 0;
    return static_cast<DWORD>(text.size());
  }
  text.copy(returned, size - 2);
  returned[size - 2] = returned[size - 1] = 0;
  SetLastError(ERROR_MORE_DATA);
  return size - 2;
}

UINT ParseInt(std::u16string_view text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) negative = text[i++] == u'-';
  uint32_t value = 0;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    value = value * 10 + static_cast<uint32_t>(text[i] - u'0');  // wraps like the C parser
  }
  return negative ? 0u - value : value;
}

UINT QueryInt(const std::optional<std::u16string>& section,
              const std::optional<std::u16string>& key, INT defaultValue,
              const std::optional<std::u16string>& fileName) {
  if (!section || !key) return static_cast<UINT>(defaultValue);
  ProfileAnswer answer = Query(section, key, std::nullopt, fileName);
  SetLastError(answer.found ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
  return answer.found ? ParseInt(answer.text) : static_cast<UINT>(defaultValue);
}

// Line breaks and NULs would let a value start new lines of its own.
std::u16string Sanitize(std::u16string text) {
  for (char16_t& c : text) {
    if (c == u'\r' || c == u'\n' || c == u'\0') c = u' ';
  }
  return text;
}

BOOL Write(const std::optional<std::u16string>& section, const std::optional<std::u16string>& key,
           const std::optional<std::u16string>& value,
           const std::optional<std::u16string>& fileName) {
  if (!fileName) return detail::Fail(ERROR_INVALID_PARAMETER);
  if (!section) {
    // Windows' "flush the cache" call; there is no cache here.
    if (!key && !value) return TRUE;
    return detail::Fail(ERROR_INVALID_PARAMETER);
  }
  std::string posix;
  if (!detail::ToPosixPath(*fileName, &posix)) return detail::Fail(ERROR_PATH_NOT_FOUND);
  std::u16string cleanSection = Sanitize(*section);

  std::lock_guard<std::mutex> lock(ProfileLock());
  std::string content;
  DWORD readError = detail::ReadWholeFile(posix, &content, nullptr);
  bool exists = readError == ERROR_SUCCESS;
  if (!exists && readError != ERROR_FILE_NOT_FOUND) return detail::Fail(readError);
  detail::IniDocument document;
  document.Parse(content);
  if (!key) {
    if (!document.DeleteSection(cleanSection)) return TRUE;
  } else if (!value) {
    if (!document.DeleteKey(cleanSection, Sanitize(*key))) return TRUE;
  } else {
    document.SetValue(cleanSection, Sanitize(*key), Sanitize(*value));
  }
  if (DWORD error = detail::ReplaceFileContent(posix, document.ToText()))
    return detail::Fail(error);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

}  // namespace

DWORD GetPrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR defaultValue, LPWSTR returned,
                               DWORD size, LPCWSTR fileName) {
  ProfileAnswer answer =
      Query(Optional(section), Optional(key), Optional(defaultValue), Optional(fileName));
  SetLastError(answer.found ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
  return CopyAnswer<WCHAR>(answer.text, answer.isList, returned, size);
}

DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR defaultValue, LPSTR returned,
                               DWORD size, LPCSTR fileName) {
  ProfileAnswer answer =
      Query(Optional(section), Optional(key), Optional(defaultValue), Optional(fileName));
  SetLastError(answer.found ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
  std::string narrow = Utf16ToUtf8(answer.text);
  return CopyAnswer<char>(narrow, answer.isList, returned, size);
}

UINT GetPrivateProfileIntW(LPCWSTR section, LPCWSTR key, INT defaultValue, LPCWSTR fileName) {
  return QueryInt(Optional(section), Optional(key), defaultValue, Optional(fileName));
}

UINT GetPrivateProfileIntA(LPCSTR section, LPCSTR key, INT defaultValue, LPCSTR fileName) {
  return QueryInt(Optional(section), Optional(key), defaultValue, Optional(fileName));
}

BOOL WritePrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR value, LPCWSTR fileName) {
  return Write(Optional(section), Optional(key), Optional(value), Optional(fileName));
}

BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR fileName) {
  return Write(Optional(section), Optional(key), Optional(value), Optional(fileName));
}

}  // namespace win32
