#include "win32/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "handles.h"
#include "netinfo.h"
#include "paths.h"
#include "store_files.h"
#include "win32/strings.h"
#include "win32/time.h"

// Hive file format (UTF-8 text, one hive per file, rewritten whole on every change):
//   LUMIDOCK-REGISTRY 1
//   [Software\Corvane\Harborkeep]
//   "EnableCoreLog"=dword:00000001
//   @=str(1):"Lumidock"
//   "Blob"=hex(3):01,ff
// Every key has its own line, so empty keys survive. In names and strings, control characters,
// '%', '"', '[' and ']' are written as %XX. "[]" holds values of the hive's root.

namespace win32 {
namespace {

enum HiveId { kMachineHive = 0, kUserHive = 1, kHiveCount = 2 };
constexpr const char* kHiveFileNames[kHiveCount] = {"HKLM.reg", "HKCU.reg"};
constexpr char kHiveHeader[] = "LUMIDOCK-REGISTRY 1";

constexpr REGSAM kGenericRead = 0x80000000;
constexpr REGSAM kGenericWrite = 0x40000000;
constexpr REGSAM kGenericAll = 0x10000000;
constexpr REGSAM kMaximumAllowed = 0x02000000;

// Case-insensitive names: compared and ordered by their upper-cased form (ASCII and Latin-1).
std::u16string Fold(std::u16string_view name) {
  std::u16string folded(name);
  for (char16_t& c : folded) {
    if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) c -= 0x20;
  }
  return folded;
}

struct RegValue {
  std::u16string name;
  DWORD type = REG_NONE;
  std::string data;
};

struct RegNode {
  std::u16string name;
  // Keyed by folded name, which is also the enumeration order.
  std::map<std::u16string, std::unique_ptr<RegNode>> children;
  std::map<std::u16string, RegValue> values;

  RegNode* Child(std::u16string_view childName) {
    auto it = children.find(Fold(childName));
    return it == children.end() ? nullptr : it->second.get();
  }
  RegNode* AddChild(std::u16string_view childName) {
    auto node = std::make_unique<RegNode>();
    node->name = childName;
    RegNode* pNode = node.get();
    children[Fold(childName)] = std::move(node);
    return pNode;
  }
};

using KeyPath = std::vector<std::u16string>;

void AppendPath(KeyPath* pPath, std::u16string_view subKey) {
  size_t start = 0;
  while (start <= subKey.size()) {
    size_t end = subKey.find(u'\\', start);
    if (end == std::u16string_view::npos) end = subKey.size();
    if (end > start) pPath->emplace_back(subKey.substr(start, end - start));
    start = end + 1;
  }
}

RegNode* FindNode(RegNode* pRoot, const KeyPath& path, size_t depth) {
  RegNode* pNode = pRoot;
  for (size_t i = 0; i < depth && pNode; ++i) pNode = pNode->Child(path[i]);
  return pNode;
}

RegNode* FindNode(RegNode* pRoot, const KeyPath& path) {
  return FindNode(pRoot, path, path.size());
}

// --- The network class, answered from the machine ---

// HKLM's network-class key. It and everything under it come from the machine's interfaces, not
// from the hive: "<interface>\\Connection" of an interface with a device behind it holds
// MediaSubType and PnpInstanceID, and nothing else is there.
const KeyPath& NetworkClassPath() {
  static const KeyPath* const pPath =
      new KeyPath{u"System", u"CurrentControlSet", u"Control", u"Network",
                  u"{4D36E972-E325-11CE-BFC1-08002BE10318}"};
  return *pPath;
}

enum class LiveKey { kNone, kAbsent, kPresent, kConnection };

// What a path of the machine hive names under the network class (kNone outside it), with the
// facts of a Connection key.
LiveKey ClassifyLive(HiveId hive, const KeyPath& path, detail::ConnectionFacts* pFacts) {
  const KeyPath& base = NetworkClassPath();
  if (hive != kMachineHive || path.size() < base.size()) return LiveKey::kNone;
  for (size_t i = 0; i < base.size(); ++i) {
    if (Fold(path[i]) != Fold(base[i])) return LiveKey::kNone;
  }
  if (path.size() == base.size()) return LiveKey::kPresent;
  detail::ConnectionFacts facts;
  if (path.size() > base.size() + 2 ||
      !detail::ReadConnectionFacts(Utf16ToUtf8(path[base.size()]), &facts)) {
    return LiveKey::kAbsent;
  }
  if (path.size() == base.size() + 1) return LiveKey::kPresent;
  if (Fold(path.back()) != u"CONNECTION") return LiveKey::kAbsent;
  if (pFacts) *pFacts = std::move(facts);
  return LiveKey::kConnection;
}

bool ConnectionValue(const detail::ConnectionFacts& facts, std::u16string_view valueName,
                     RegValue* pValue) {
  if (Fold(valueName) == u"MEDIASUBTYPE") {
    const DWORD number = facts.mediaSubType;
    pValue->type = REG_DWORD;
    pValue->data.assign(reinterpret_cast<const char*>(&number), sizeof(number));
    return true;
  }
  if (Fold(valueName) == u"PNPINSTANCEID") {
    std::u16string text = Utf8ToUtf16(facts.pnpInstanceId);
    text.push_back(u'\0');
    pValue->type = REG_SZ;
    pValue->data.assign(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(char16_t));
    return true;
  }
  return false;
}

// --- Text form ---

void AppendEscaped(std::string* pOut, std::string_view utf8) {
  static const char kHex[] = "0123456789ABCDEF";
  for (char ch : utf8) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F || c == '%' || c == '"' || c == '[' || c == ']') {
      pOut->push_back('%');
      pOut->push_back(kHex[c >> 4]);
      pOut->push_back(kHex[c & 15]);
    } else {
      pOut->push_back(ch);
    }
  }
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Unescape(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 &&
        HexDigit(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2])));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

std::u16string BytesToUnits(std::string_view bytes) {
  std::u16string units(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < units.size(); ++i) {
    units[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                     (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  }
  return units;
}

std::string UnitsToBytes(std::u16string_view units) {
  std::string bytes;
  bytes.reserve(units.size() * 2);
  for (char16_t c : units) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  return bytes;
}

// True when the data is one well-formed UTF-16 string with exactly one NUL, at its end: then it
// survives the trip through UTF-8 text unchanged.
bool IsPlainString(const RegValue& value) {
  if (value.type != REG_SZ && value.type != REG_EXPAND_SZ) return false;
  if (value.data.size() < 2 || value.data.size() % 2 != 0) return false;
  std::u16string units = BytesToUnits(value.data);
  if (units.back() != 0) return false;
  for (size_t i = 0; i + 1 < units.size(); ++i) {
    char16_t c = units[i];
    if (c == 0) return false;
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 2 >= units.size() || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF) return false;
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return false;
    }
  }
  return true;
}

void SerializeValue(std::string* pOut, const RegValue& value) {
  if (value.name.empty()) {
    pOut->push_back('@');
  } else {
    pOut->push_back('"');
    AppendEscaped(pOut, Utf16ToUtf8(value.name));
    pOut->push_back('"');
  }
  pOut->push_back('=');
  char buffer[32];
  if (value.type == REG_DWORD && value.data.size() == 4) {
    uint32_t number;
    memcpy(&number, value.data.data(), 4);
    snprintf(buffer, sizeof buffer, "dword:%08x", number);
    pOut->append(buffer);
  } else if (IsPlainString(value)) {
    snprintf(buffer, sizeof buffer, "str(%u):\"", static_cast<unsigned>(value.type));
    pOut->append(buffer);
    std::u16string units = BytesToUnits(value.data);
    units.pop_back();
    AppendEscaped(pOut, Utf16ToUtf8(units));
    pOut->push_back('"');
  } else {
    snprintf(buffer, sizeof buffer, "hex(%u):", static_cast<unsigned>(value.type));
    pOut->append(buffer);
    for (size_t i = 0; i < value.data.size(); ++i) {
      snprintf(buffer, sizeof buffer, i ? ",%02x" : "%02x",
               static_cast<unsigned char>(value.data[i]));
      pOut->append(buffer);
    }
  }
  pOut->push_back('\n');
}

void SerializeNode(std::string* pOut, const RegNode& node, std::string* pPath) {
  size_t pathLength = pPath->size();
  for (const auto& [folded, pChild] : node.children) {
    if (pathLength) pPath->push_back('\\');
    AppendEscaped(pPath, Utf16ToUtf8(pChild->name));
    pOut->push_back('[');
    pOut->append(*pPath);
    pOut->append("]\n");
    for (const auto& [name, value] : pChild->values) SerializeValue(pOut, value);
    SerializeNode(pOut, *pChild, pPath);
    pPath->resize(pathLength);
  }
}

std::string Serialize(const RegNode& root) {
  std::string out = kHiveHeader;
  out.push_back('\n');
  if (!root.values.empty()) {
    out.append("[]\n");
    for (const auto& [name, value] : root.values) SerializeValue(&out, value);
  }
  std::string path;
  SerializeNode(&out, root, &path);
  return out;
}

bool ParseNumber(std::string_view text, DWORD* pNumber, int base) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t number = 0;
  for (char c : text) {
    int digit = HexDigit(c);
    if (digit < 0 || digit >= base) return false;
    number = number * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
  }
  if (number > 0xFFFFFFFFu) return false;
  *pNumber = static_cast<DWORD>(number);
  return true;
}

// "dword:…", "str(T):\"…\"" or "hex(T):…". Unreadable data drops the value, not the hive.
bool ParseData(std::string_view text, RegValue* pValue) {
  if (text.starts_with("dword:")) {
    DWORD number;
    if (!ParseNumber(text.substr(6), &number, 16)) return false;
    pValue->type = REG_DWORD;
    pValue->data.assign(reinterpret_cast<const char*>(&number), 4);
    return true;
  }
  bool isString = text.starts_with("str(");
  if (!isString && !text.starts_with("hex(")) return false;
  size_t close = text.find("):");
  if (close == std::string_view::npos || !ParseNumber(text.substr(4, close - 4), &pValue->type, 10))
    return false;
  std::string_view body = text.substr(close + 2);
  if (isString) {
    if (body.size() < 2 || body.front() != '"' || body.back() != '"') return false;
    std::u16string units = Utf8ToUtf16(Unescape(body.substr(1, body.size() - 2)));
    units.push_back(u'\0');
    pValue->data = UnitsToBytes(units);
    return true;
  }
  pValue->data.clear();
  for (size_t i = 0; i < body.size(); i += 3) {
    if (i + 1 >= body.size()) return false;
    int high = HexDigit(body[i]);
    int low = HexDigit(body[i + 1]);
    if (high < 0 || low < 0 || (i + 2 < body.size() && body[i + 2] != ',')) return false;
    pValue->data.push_back(static_cast<char>(high * 16 + low));
  }
  return true;
}

std::unique_ptr<RegNode> Parse(std::string_view text) {
  auto root = std::make_unique<RegNode>();
  RegNode* pCurrent = nullptr;
  size_t pos = 0;
  bool first = true;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (first) {
      first = false;
      if (line != kHiveHeader) return root;  // not ours: start empty rather than misread it
      continue;
    }
    if (line.empty()) continue;
    if (line.front() == '[' && line.back() == ']') {
      pCurrent = root.get();
      std::string_view path = line.substr(1, line.size() - 2);
      size_t start = 0;
      while (start < path.size()) {
        size_t stop = path.find('\\', start);
        if (stop == std::string_view::npos) stop = path.size();
        std::u16string name = Utf8ToUtf16(Unescape(path.substr(start, stop - start)));
        if (!name.empty()) {
          RegNode* pChild = pCurrent->Child(name);
          pCurrent = pChild ? pChild : pCurrent->AddChild(name);
        }
        start = stop + 1;
      }
      continue;
    }
    if (!pCurrent) continue;
    RegValue value;
    std::string_view rest;
    if (line.starts_with("@=")) {
      rest = line.substr(2);
    } else if (line.front() == '"') {
      size_t quote = line.find('"', 1);
      if (quote == std::string_view::npos || quote + 1 >= line.size() || line[quote + 1] != '=')
        continue;
      value.name = Utf8ToUtf16(Unescape(line.substr(1, quote - 1)));
      rest = line.substr(quote + 2);
    } else {
      continue;
    }
    if (ParseData(rest, &value)) pCurrent->values[Fold(value.name)] = std::move(value);
  }
  return root;
}

// --- The store ---

struct FileStamp {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  struct timespec mtime = {};
  off_t size = 0;

  static FileStamp Of(const struct stat& st) {
    FileStamp stamp;
    stamp.exists = true;
    stamp.device = st.st_dev;
    stamp.inode = st.st_ino;
    stamp.mtime = st.st_mtim;
    stamp.size = st.st_size;
    return stamp;
  }
  // File times tick in coarse steps and a freed inode number can come back, so two saves by
  // another process in quick succession may leave an equal stamp: a recent file is re-read.
  bool IsRecent() const {
    struct timespec clock;
    clock_gettime(CLOCK_REALTIME, &clock);
    return exists && clock.tv_sec - mtime.tv_sec < 2;
  }
  bool operator==(const FileStamp& other) const {
    return exists == other.exists && device == other.device && inode == other.inode &&
           mtime.tv_sec == other.mtime.tv_sec && mtime.tv_nsec == other.mtime.tv_nsec &&
           size == other.size;
  }
};

// The process-wide cache of the hive files.
// Threading: every access holds m_lock. Other processes are seen through the file: a hive is
//   re-read whenever its file's identity, size or time changed, or the file is only seconds old;
//   writers in different processes serialise their read-modify-write with flock on a side file.
// Lifetime: leaky, so the registry works from static constructors and exit handlers.
class RegistryStore {
 public:
  // Calls fn(RegNode& root) with the hive current. Returns what fn returns.
  template <class Fn>
  DWORD Read(HiveId hive, Fn&& fn) {
    std::lock_guard<std::mutex> lock(m_lock);
    RefreshLocked(hive);
    return fn(*m_hives[hive].root);
  }

  // Calls fn(RegNode& root, bool* pChanged); when it succeeds and reports a change, the hive
  // file is rewritten before returning. A failed save drops the cached change.
  template <class Fn>
  DWORD Write(HiveId hive, Fn&& fn) {
    std::lock_guard<std::mutex> lock(m_lock);
    const std::string& folder = FolderLocked();
    if (DWORD error = detail::MakeDirectories(folder, 0700)) return error;
    std::string lockPath = folder + "/" + kHiveFileNames[hive] + ".lock";
    int lockFd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd < 0) return detail::Win32ErrorFromErrno(errno);
    while (flock(lockFd, LOCK_EX) != 0 && errno == EINTR) {
    }
    RefreshLocked(hive);
    bool changed = false;
    DWORD error = fn(*m_hives[hive].root, &changed);
    if (!error && changed) error = SaveLocked(hive);
    close(lockFd);
    return error;
  }

 private:
  struct Hive {
    std::unique_ptr<RegNode> root = std::make_unique<RegNode>();
    FileStamp stamp;
    bool valid = false;
  };

  // Read from the environment on every call, like every other sandbox folder: a static
  // initialiser that reads a value before a test or host sets LUMIDOCK_ROOT must not pin the
  // hives to the real home folder. A changed folder drops the cached hives.
  const std::string& FolderLocked() {
    std::string root = detail::SandboxRoot();
    std::string folder =
        !root.empty() ? root + "/registry"
                      : detail::XdgFolder("XDG_STATE_HOME", ".local/state") + "/lumidock/registry";
    if (folder != m_folder) {
      m_folder = std::move(folder);
      for (Hive& hive : m_hives) hive.valid = false;
    }
    return m_folder;
  }

  std::string FilePathLocked(HiveId hive) { return FolderLocked() + "/" + kHiveFileNames[hive]; }

  void RefreshLocked(HiveId hive) {
    Hive& h = m_hives[hive];
    std::string path = FilePathLocked(hive);
    struct stat st;
    FileStamp now;
    if (stat(path.c_str(), &st) == 0) now = FileStamp::Of(st);
    if (h.valid && now == h.stamp && !now.IsRecent()) return;
    std::string content;
    if (now.exists && detail::ReadWholeFile(path, &content, &st) == ERROR_SUCCESS) {
      h.root = Parse(content);
      h.stamp = FileStamp::Of(st);
    } else {
      h.root = std::make_unique<RegNode>();
      h.stamp = FileStamp();
    }
    h.valid = true;
  }

  DWORD SaveLocked(HiveId hive) {
    Hive& h = m_hives[hive];
    std::string path = FilePathLocked(hive);
    DWORD error = detail::ReplaceFileContent(path, Serialize(*h.root));
    struct stat st;
    if (!error && stat(path.c_str(), &st) == 0) {
      h.stamp = FileStamp::Of(st);
    } else {
      h.valid = false;  // re-read what is really on disk next time
    }
    return error;
  }

  std::mutex m_lock;
  std::string m_folder;
  Hive m_hives[kHiveCount];
};

RegistryStore& Store() {
  static RegistryStore* store = new RegistryStore;
  return *store;
}

// --- Handles ---

class KeyObject : public detail::KernelObject {
 public:
  KeyObject(HiveId hive, KeyPath path, REGSAM access)
      : KernelObject(detail::ObjectKind::kOther),
        m_hive(hive),
        m_path(std::move(path)),
        m_access(access) {}

  const HiveId m_hive;
  const KeyPath m_path;
  const REGSAM m_access;
};

struct KeyRef {
  HiveId hive = kMachineHive;
  KeyPath path;
  REGSAM access = 0;
  bool predefined = false;
};

REGSAM NormalizeAccess(REGSAM access) {
  REGSAM result = access & 0x000F003F;
  if (access & (kGenericAll | kMaximumAllowed)) result |= KEY_ALL_ACCESS;
  if (access & kGenericRead) result |= KEY_READ;
  if (access & kGenericWrite) result |= KEY_WRITE;
  return result;
}

DWORD ResolveKey(HKEY key, KeyRef* pRef) {
  if (key == HKEY_LOCAL_MACHINE || key == HKEY_CURRENT_USER || key == HKEY_CLASSES_ROOT) {
    pRef->hive = key == HKEY_CURRENT_USER ? kUserHive : kMachineHive;
    if (key == HKEY_CLASSES_ROOT) pRef->path = {u"Software", u"Classes"};
    pRef->access = KEY_ALL_ACCESS;
    pRef->predefined = true;
    return ERROR_SUCCESS;
  }
  auto pKey = detail::Lookup<KeyObject>(reinterpret_cast<HANDLE>(key));
  if (!pKey) return ERROR_INVALID_HANDLE;
  pRef->hive = pKey->m_hive;
  pRef->path = pKey->m_path;
  pRef->access = pKey->m_access;
  return ERROR_SUCCESS;
}

// The node a handle names. A predefined root that has no node yet (HKCR before anything is
// registered) reads as an empty key; a key deleted after it was opened gives 1018.
DWORD KeyNode(RegNode& root, const KeyRef& ref, RegNode** ppNode) {
  static RegNode* const s_empty = new RegNode;
  *ppNode = FindNode(&root, ref.path);
  if (*ppNode) return ERROR_SUCCESS;
  if (!ref.predefined) return ERROR_KEY_DELETED;
  s_empty->children.clear();
  s_empty->values.clear();
  *ppNode = s_empty;
  return ERROR_SUCCESS;
}

// Like KeyNode, for writes: a predefined root is created on demand.
DWORD KeyNodeForWrite(RegNode& root, const KeyRef& ref, RegNode** ppNode, bool* pChanged) {
  RegNode* pNode = &root;
  for (const std::u16string& name : ref.path) {
    RegNode* pChild = pNode->Child(name);
    if (!pChild) {
      if (!ref.predefined) return ERROR_KEY_DELETED;
      pChild = pNode->AddChild(name);
      *pChanged = true;
    }
    pNode = pChild;
  }
  *ppNode = pNode;
  return ERROR_SUCCESS;
}

LSTATUS NewKeyHandle(HiveId hive, KeyPath path, REGSAM access, PHKEY pResult) {
  HANDLE handle = detail::InsertHandle(
      std::make_shared<KeyObject>(hive, std::move(path), NormalizeAccess(access)));
  if (!handle) return ERROR_NOT_ENOUGH_MEMORY;
  *pResult = reinterpret_cast<HKEY>(handle);
  return ERROR_SUCCESS;
}

std::u16string Widen(LPCSTR text) { return text ? Utf8ToUtf16(text) : std::u16string(); }

bool IsStringType(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

LSTATUS QueryValue(HKEY key, std::u16string_view valueName, LPDWORD reserved, LPDWORD pType,
                   BYTE* pData, LPDWORD pcbData, bool narrowStrings) {
  if (reserved || (pData && !pcbData)) return ERROR_INVALID_PARAMETER;
  KeyRef ref;
  if (DWORD error = ResolveKey(key, &ref)) return error;
  if (!(ref.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  RegValue value;
  detail::ConnectionFacts facts;
  DWORD error = ERROR_SUCCESS;
  switch (ClassifyLive(ref.hive, ref.path, &facts)) {
    case LiveKey::kNone:
      error = Store().Read(ref.hive, [&](RegNode& root) -> DWORD {
        RegNode* pNode;
        if (DWORD e = KeyNode(root, ref, &pNode)) return e;
        auto it = pNode->values.find(Fold(valueName));
        if (it == pNode->values.end()) return ERROR_FILE_NOT_FOUND;
        value = it->second;
        return ERROR_SUCCESS;
      });
      break;
    case LiveKey::kConnection:
      if (!ConnectionValue(facts, valueName, &value)) error = ERROR_FILE_NOT_FOUND;
      break;
    default:
      error = ERROR_FILE_NOT_FOUND;
      break;
  }
  if (error) return error;
  if (narrowStrings && IsStringType(value.type)) value.data = Utf16ToUtf8(BytesToUnits(value.data));
  if (pType) *pType = value.type;
  if (!pcbData) return ERROR_SUCCESS;
  DWORD size = static_cast<DWORD>(value.data.size());
  if (pData && *pcbData < size) {
    *pcbData = size;
    return ERROR_MORE_DATA;
  }
  if (pData) memcpy(pData, value.data.data(), size);
  *pcbData = size;
  return ERROR_SUCCESS;
}

LSTATUS SetValue(HKEY key, std::u16string_view valueName, DWORD type, std::string data) {
  KeyRef ref;
  if (DWORD error = ResolveKey(key, &ref)) return error;
  if (!(ref.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  return Store().Write(ref.hive, [&](RegNode& root, bool* pChanged) -> DWORD {
    RegNode* pNode;
    if (DWORD e = KeyNodeForWrite(root, ref, &pNode, pChanged)) return e;
    RegValue& value = pNode->values[Fold(valueName)];
    value.name = valueName;
    value.type = type;
    value.data = std::move(data);
    *pChanged = true;
    return ERROR_SUCCESS;
  });
}

}  // namespace

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM access, PHKEY pResult) {
  if (!pResult) return ERROR_INVALID_PARAMETER;
  *pResult = nullptr;
  KeyRef ref;
  if (DWORD error = ResolveKey(key, &ref)) return error;
  size_t baseDepth = ref.path.size();
  if (subKey) AppendPath(&ref.path, subKey);
  switch (ClassifyLive(ref.hive, ref.path, nullptr)) {
    case LiveKey::kNone:
      break;
    case LiveKey::kAbsent:
      return ERROR_FILE_NOT_FOUND;
    default:
      return NewKeyHandle(ref.hive, std::move(ref.path), access, pResult);
  }
  DWORD error = Store().Read(ref.hive, [&](RegNode& root) -> DWORD {
    if (!ref.predefined && !FindNode(&root, ref.path, baseDepth)) return ERROR_KEY_DELETED;
    if (FindNode(&root, ref.path)) return ERROR_SUCCESS;
    // A predefined root opens even before it has a node.
    return ref.predefined && ref.path.size() == baseDepth ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
  });
  if (error) return error;
  return NewKeyHandle(ref.hive, std::move(ref.path), access, pResult);
}

LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY pResult) {
  std::u16string wide = Widen(subKey);
  return RegOpenKeyExW(key, subKey ? wide.c_str() : nullptr, options, access, pResult);
}

LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD, LPWSTR, DWORD, REGSAM access,
                        const SECURITY_ATTRIBUTES*, PHKEY pResult, LPDWORD pDisposition) {
  if (!pResult || !subKey) return ERROR_INVALID_PARAMETER;
  *pResult = nullptr;
  KeyRef ref;
  if (DWORD error = ResolveKey(key, &ref)) return error;
  size_t baseDepth = ref.path.size();
  AppendPath(&ref.path, subKey);
  bool created = false;
  DWORD error = Store().Write(ref.hive, [&](RegNode& root, bool* pChanged) -> DWORD {
    RegNode* pNode = &root;
    for (size_t i = 0; i < ref.path.size(); ++i) {
      RegNode* pChild = pNode->Child(ref.path[i]);
      if (!pChild) {
        if (i < baseDepth && !ref.predefined) return ERROR_KEY_DELETED;
        if (i >= baseDepth && !(ref.access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
        pChild = pNode->AddChild(ref.path[i]);
        *pChanged = true;
        created = i + 1 == ref.path.size();
      }
      pNode = pChild;
    }
    return ERROR_SUCCESS;
  });
  if (error) return error;
  if (pDisposition) *pDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return NewKeyHandle(ref.hive, std::move(ref.path), access, pResult);
}

LSTATUS RegCloseKey(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE || key == HKEY_CURRENT_USER || key == HKEY_CLASSES_ROOT)
    return ERROR_SUCCESS;
  HANDLE handle = reinterpret_cast<HANDLE>(key);
  if (!detail::Lookup<KeyObject>(handle) || !detail::RemoveHandle(handle))
    return ERROR_INVALID_HANDLE;
  return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD pType, BYTE* pData,
                         LPDWORD pcbData) {
  return QueryValue(key, valueName ? valueName : u"", reserved, pType, pData, pcbData, false);
}

LSTATUS RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD pType, BYTE* pData,
                         LPDWORD pcbData) {
  return QueryValue(key, Widen(valueName), reserved, pType, pData, pcbData, true);
}

LSTATUS RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD, DWORD type, const BYTE* pData,
                       DWORD cbData) {
  if (!pData && cbData) return ERROR_NOACCESS;
  std::string data(reinterpret_cast<const char*>(pData), pData ? cbData : 0);
  return SetValue(key, valueName ? valueName : u"", type, std::move(data));
}

LSTATUS RegSetValueExA(HKEY key, LPCSTR valueName, DWORD, DWORD type, const BYTE* pData,
                       DWORD cbData) {
  if (!pData && cbData) return ERROR_NOACCESS;
  std::string data(reinterpret_cast<const char*>(pData), pData ? cbData : 0);
  if (IsStringType(type)) data = UnitsToBytes(Utf8ToUtf16(data));
  return SetValue(key, Widen(valueName), type, std::move(data));
}

LSTATUS RegDeleteValueW(HKEY key, LPCWSTR valueName) {
  KeyRef ref;
  if (DWORD error = ResolveKey(key, &ref)) return error;
  if (!(ref.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  std::u16string folded = Fold(valueName ? valueName : u"");
  return Store().Write(ref.hive, [&](RegNode& root, bool* pChanged) -> DWORD {
    RegNode* pNode;
    if (DWORD e = KeyNode(root, ref, &pNode)) return e;
    if (pNode->values.erase(folded) == 0) return ERROR_FILE_NOT_FOUND;
    *pChanged = true;
    return ERROR_SUCCESS;
  });
}

LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD pcchName, LPDWORD,
                      LPWSTR keyClass, LPDWORD pcchClass, FILETIME* pLastWriteTime) {
  if (!name || !pcchName) return ERROR_INVALID_PARAMETER;
  KeyRef ref;
  if (DWORD error = ResolveKey(key, &ref)) return error;
  if (!(ref.access & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
  std::u16string childName;
  DWORD error = Store().Read(ref.hive, [&](RegNode& root) -> DWORD {
    RegNode* pNode;
    if (DWORD e = KeyNode(root, ref, &pNode)) return e;
    if (index >= pNode->children.size()) return ERROR_NO_MORE_ITEMS;
    childName = std::next(pNode->children.begin(), index)->second->name;
    return ERROR_SUCCESS;
  });
  if (error) return error;
  if (*pcchName < childName.size() + 1) return ERROR_MORE_DATA;
  memcpy(name, childName.c_str(), (childName.size() + 1) * sizeof(WCHAR));
  *pcchName = static_cast<DWORD>(childName.size());
  if (keyClass && pcchClass && *pcchClass) keyClass[0] = 0;
  if (pcchClass) *pcchClass = 0;
  if (pLastWriteTime) *pLastWriteTime = FILETIME{0, 0};
  return ERROR_SUCCESS;
}

LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR subKey) {
  if (!subKey) return ERROR_INVALID_PARAMETER;
  KeyRef ref;
  if (DWORD error = ResolveKey(key, &ref)) return error;
  size_t baseDepth = ref.path.size();
  AppendPath(&ref.path, subKey);
  // A root of the registry is never deleted.
  if (ref.path.empty() || (ref.predefined && ref.path.size() == baseDepth))
    return ERROR_ACCESS_DENIED;
  return Store().Write(ref.hive, [&](RegNode& root, bool* pChanged) -> DWORD {
    if (!ref.predefined && !FindNode(&root, ref.path, baseDepth)) return ERROR_KEY_DELETED;
    RegNode* pParent = FindNode(&root, ref.path, ref.path.size() - 1);
    RegNode* pNode = pParent ? pParent->Child(ref.path.back()) : nullptr;
    if (!pNode) return ERROR_FILE_NOT_FOUND;
    if (!pNode->children.empty()) return ERROR_ACCESS_DENIED;
    pParent->children.erase(Fold(ref.path.back()));
    *pChanged = true;
    return ERROR_SUCCESS;
  });
}

LSTATUS RegDeleteTreeW(HKEY key, LPCWSTR subKey) {
  KeyRef ref;
  if (DWORD error = ResolveKey(key, &ref)) return error;
  size_t baseDepth = ref.path.size();
  if (subKey) AppendPath(&ref.path, subKey);
  bool emptyOnly = ref.path.size() == baseDepth;
  return Store().Write(ref.hive, [&](RegNode& root, bool* pChanged) -> DWORD {
    if (emptyOnly) {
      RegNode* pNode;
      if (DWORD e = KeyNode(root, ref, &pNode)) return e;
      if (pNode->children.empty() && pNode->values.empty()) return ERROR_SUCCESS;
      pNode->children.clear();
      pNode->values.clear();
      *pChanged = true;
      return ERROR_SUCCESS;
    }
    if (!ref.predefined && !FindNode(&root, ref.path, baseDepth)) return ERROR_KEY_DELETED;
    RegNode* pParent = FindNode(&root, ref.path, ref.path.size() - 1);
    if (!pParent || pParent->children.erase(Fold(ref.path.back())) == 0)
      return ERROR_FILE_NOT_FOUND;
    *pChanged = true;
    return ERROR_SUCCESS;
  });
}

}  // namespace win32
