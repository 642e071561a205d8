#include "CrashReporting.h"

#include <string>
#include <vector>

#include "Basalt/KwBugReport.h"
#include "win32/environment.h"
#include "win32/module_name.h"
#include "win32/strings.h"
#include "win32/version.h"

using namespace win32;

namespace {

constexpr size_t kTextChars = MAX_PATH;
constexpr int kFlag1 = 1;
constexpr int kFlag2 = 1;
constexpr WORD kLanguage = 2052;
constexpr DWORD kBugReportUin = 10000;

// The leading digits of `text` as a number (0 without any), as _wtoi reads them.
uint32_t LeadingNumber(std::u16string_view text) {
  uint32_t value = 0;
  for (char16_t c : text) {
    if (c < u'0' || c > u'9') break;
    value = value * 10 + static_cast<uint32_t>(c - u'0');
  }
  return value;
}

// The resource's texts, each cut to 260 characters.
struct VersionTexts {
  std::u16string description;
  std::u16string version;
  std::u16string productName;
};

VersionTexts ReadVersionTexts(const WCHAR* pModulePath) {
  VersionTexts texts;
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeW(pModulePath, &handle);
  if (size == 0) return texts;
  std::vector<BYTE> block(size);
  if (!GetFileVersionInfoW(pModulePath, handle, size, block.data())) return texts;
  void* pValue = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(block.data(), u"\\VarFileInfo\\Translation", &pValue, &length) ||
      length < 2 * sizeof(WORD)) {
    return texts;
  }
  const auto* pTranslation = static_cast<const WORD*>(pValue);
  auto read = [&](const char16_t* pKey, std::u16string* pText) {
    std::u16string query =
        FormatW(u"\\StringFileInfo\\%04x%04x\\%s", pTranslation[0], pTranslation[1], pKey);
    if (VerQueryValueW(block.data(), query.c_str(), &pValue, &length)) {
      *pText = std::u16string(static_cast<const WCHAR*>(pValue)).substr(0, kTextChars - 1);
    }
  };
  read(u"FileDescription", &texts.description);
  read(u"FileVersion", &texts.version);
  read(u"ProductName", &texts.productName);
  return texts;
}

}  // namespace

FileVersion ParseFileVersion(const WCHAR* pText) {
  std::u16string_view text(pText ? pText : u"");
  size_t firstDot = text.find(u'.');
  size_t secondDot =
      firstDot == std::u16string_view::npos ? firstDot : text.find(u'.', firstDot + 1);
  if (text.empty() || secondDot == std::u16string_view::npos) return FileVersion{1, 0, 0};
  FileVersion version;
  version.major = static_cast<WORD>(LeadingNumber(text));
  version.minor = static_cast<WORD>(LeadingNumber(text.substr(firstDot + 1)));
  version.build = LeadingNumber(text.substr(secondDot + 1));
  return version;
}

int InitCrashReporting(const WCHAR* pName) {
  WCHAR modulePath[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, modulePath, MAX_PATH);
  VersionTexts texts = ReadVersionTexts(modulePath);
  FileVersion version = ParseFileVersion(texts.version.c_str());
  KwBugReport::InitBugReport(pName, texts.description.c_str(), modulePath, GetCommandLineW(),
                             version.major, version.minor, version.build, kFlag1, kFlag2, kLanguage,
                             0, KwBugReport::kNoCrashCallback);
  KwBugReport::SetBugReportUin(kBugReportUin, u"");
  KwBugReport::ValidateBugReport();
  return 1;
}
