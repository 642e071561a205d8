#include "win32/version.h"

#include <sys/stat.h>

#include <cstddef>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "handles.h"
#include "paths.h"
#include "win32/module_name.h"
#include "win32/strings.h"

namespace win32 {
namespace {

// Block layout: this header, then per string its two lengths (characters with the NUL) and the
// key's and the value's characters. The translation pair lies at offset 8, as one DWORD-aligned
// entry of WORDs.
struct BlockHeader {
  char magic[4];
  DWORD totalBytes;
  WORD language;
  WORD codePage;
  DWORD count;
};
constexpr char kMagic[4] = {'L', 'V', 'I', '1'};

struct Registration {
  dev_t device;
  ino_t inode;
  std::vector<BYTE> block;
};

std::mutex g_lock;

// Leaky, so modules may register from their static constructors in any order. Guarded by g_lock.
std::vector<Registration>& Registrations() {
  static auto* pRegistrations = new std::vector<Registration>;
  return *pRegistrations;
}

bool FileIdentity(LPCWSTR fileName, dev_t* pDevice, ino_t* pInode) {
  std::string posix;
  struct stat st;
  if (!fileName || !detail::ToPosixPath(std::u16string_view(fileName), &posix) ||
      stat(posix.c_str(), &st) != 0) {
    return false;
  }
  *pDevice = st.st_dev;
  *pInode = st.st_ino;
  return true;
}

std::vector<BYTE> BuildBlock(WORD language, WORD codePage, const VERSION_STRING* strings,
                             UINT count) {
  std::vector<BYTE> block(sizeof(BlockHeader));
  for (UINT i = 0; i < count; ++i) {
    std::u16string_view key(strings[i].key ? strings[i].key : u"");
    std::u16string_view value(strings[i].value ? strings[i].value : u"");
    WORD lengths[2] = {static_cast<WORD>(key.size() + 1), static_cast<WORD>(value.size() + 1)};
    size_t at = block.size();
    block.resize(at + sizeof(lengths) + (lengths[0] + lengths[1]) * sizeof(WCHAR));
    std::memcpy(&block[at], lengths, sizeof(lengths));
    at += sizeof(lengths);
    std::memcpy(&block[at], key.data(), key.size() * sizeof(WCHAR));
    at += lengths[0] * sizeof(WCHAR);
    std::memcpy(&block[at], value.data(), value.size() * sizeof(WCHAR));
  }
  BlockHeader header;
  std::memcpy(header.magic, kMagic, sizeof(kMagic));
  header.totalBytes = static_cast<DWORD>(block.size());
  header.language = language;
  header.codePage = codePage;
  header.count = count;
  std::memcpy(block.data(), &header, sizeof(header));
  return block;
}

char16_t FoldCase(char16_t c) { return c >= u'A' && c <= u'Z' ? c - u'A' + u'a' : c; }

bool EqualsIgnoringCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  }
  return true;
}

// Cuts a leading "\name" off `path`; false when the next element is not `name`.
bool TakeElement(std::u16string_view* pPath, std::u16string_view name) {
  if (pPath->empty() || (*pPath)[0] != u'\\') return false;
  std::u16string_view rest = pPath->substr(1);
  size_t end = rest.find(u'\\');
  std::u16string_view element = rest.substr(0, end);
  if (!EqualsIgnoringCase(element, name)) return false;
  *pPath = end == std::u16string_view::npos ? std::u16string_view() : rest.substr(end);
  return true;
}

}  // namespace

BOOL RegisterModuleVersionInfo(const void* anchor, WORD language, WORD codePage,
                               const VERSION_STRING* strings, UINT count) {
  if (!anchor || (count > 0 && !strings)) return detail::Fail(ERROR_INVALID_PARAMETER);
  HMODULE hModule = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<LPCWSTR>(anchor), &hModule)) {
    return FALSE;
  }
  WCHAR path[4096];
  DWORD length = GetModuleFileNameW(hModule, path, 4096);
  if (length == 0 || length >= 4096) return detail::Fail(ERROR_MOD_NOT_FOUND);
  Registration registration;
  if (!FileIdentity(path, &registration.device, &registration.inode)) {
    return detail::Fail(ERROR_FILE_NOT_FOUND);
  }
  registration.block = BuildBlock(language, codePage, strings, count);
  std::lock_guard<std::mutex> guard(g_lock);
  for (Registration& existing : Registrations()) {
    if (existing.device == registration.device && existing.inode == registration.inode) {
      existing = std::move(registration);
      return TRUE;
    }
  }
  Registrations().push_back(std::move(registration));
  return TRUE;
}

DWORD GetFileVersionInfoSizeW(LPCWSTR fileName, LPDWORD handle) {
  if (handle) *handle = 0;
  dev_t device;
  ino_t inode;
  if (!FileIdentity(fileName, &device, &inode)) return detail::Fail(ERROR_FILE_NOT_FOUND);
  std::lock_guard<std::mutex> guard(g_lock);
  for (const Registration& registration : Registrations()) {
    if (registration.device == device && registration.inode == inode) {
      return static_cast<DWORD>(registration.block.size());
    }
  }
  return detail::Fail(ERROR_RESOURCE_TYPE_NOT_FOUND);
}

BOOL GetFileVersionInfoW(LPCWSTR fileName, DWORD, DWORD len, LPVOID data) {
  if (!data) return detail::Fail(ERROR_INVALID_PARAMETER);
  dev_t device;
  ino_t inode;
  if (!FileIdentity(fileName, &device, &inode)) return detail::Fail(ERROR_FILE_NOT_FOUND);
  std::lock_guard<std::mutex> guard(g_lock);
  for (const Registration& registration : Registrations()) {
    if (registration.device != device || registration.inode != inode) continue;
    if (len < registration.block.size()) return detail::Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(data, registration.block.data(), registration.block.size());
    return TRUE;
  }
  return detail::Fail(ERROR_RESOURCE_TYPE_NOT_FOUND);
}

BOOL VerQueryValueW(LPCVOID block, LPCWSTR subBlock, LPVOID* buffer, UINT* len) {
  if (!block || !subBlock || !buffer || !len) return FALSE;
  BlockHeader header;
  std::memcpy(&header, block, sizeof(header));
  if (std::memcmp(header.magic, kMagic, sizeof(kMagic)) != 0) return FALSE;
  const BYTE* pBytes = static_cast<const BYTE*>(block);
  std::u16string_view path(subBlock);
  if (TakeElement(&path, u"VarFileInfo")) {
    if (!TakeElement(&path, u"Translation") || !path.empty()) return FALSE;
    *buffer = const_cast<BYTE*>(pBytes + offsetof(BlockHeader, language));
    *len = 2 * sizeof(WORD);
    return TRUE;
  }
  if (!TakeElement(&path, u"StringFileInfo")) return FALSE;
  std::u16string table = FormatW(u"%04x%04x", header.language, header.codePage);
  if (!TakeElement(&path, table) || path.empty()) return FALSE;
  std::u16string_view key = path.substr(1);
  size_t at = sizeof(BlockHeader);
  for (DWORD i = 0; i < header.count && at + 2 * sizeof(WORD) <= header.totalBytes; ++i) {
    WORD lengths[2];
    std::memcpy(lengths, pBytes + at, sizeof(lengths));
    at += sizeof(lengths);
    if (lengths[0] == 0 || lengths[1] == 0) return FALSE;
    const auto* pKey = reinterpret_cast<const WCHAR*>(pBytes + at);
    const auto* pValue = pKey + lengths[0];
    if (EqualsIgnoringCase(std::u16string_view(pKey, lengths[0] - 1), key)) {
      *buffer = const_cast<WCHAR*>(pValue);
      *len = lengths[1];
      return TRUE;
    }
    at += (lengths[0] + lengths[1]) * sizeof(WCHAR);
  }
  return FALSE;
}

}  // namespace win32
