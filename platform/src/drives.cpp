#include "drives.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <sstream>

#include "devices.h"
#include "handles.h"
#include "paths.h"
#include "store_files.h"
#include "win32/drive.h"
#include "win32/registry.h"
#include "win32/strings.h"

namespace win32 {
namespace detail {
namespace {

// Where the letters given to devices are remembered, one value per letter ("\DosDevices\D:" =
// "major:minor"), as Windows keeps its own drive letters in the registry.
constexpr char16_t kLettersKey[] = u"SYSTEM\\MountedDevices";

std::string Env(const char* name) {
  const char* value = getenv(name);
  return value ? std::string(value) : std::string();
}

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

std::string WithoutTrailingSlash(std::string folder) {
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

bool ParseBytes(std::string_view text, uint64_t* pValue) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    uint64_t next = value * 10 + static_cast<uint64_t>(c - '0');
    if (next / 10 != value) return false;
    value = next;
  }
  *pValue = value;
  return true;
}

// Each bad LUMIDOCK_DRIVES entry is named once per process: on stderr, and to the program's
// writer (its log), which also gets the lines said before it was set.
// Threading: any thread; the writer is called outside the lock.
class DriveWarnings {
 public:
  void Say(const std::string& line) {
    DriveWarningWriter writer;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      if (!m_said.insert(line).second) return;
      writer = m_writer;
    }
    std::fprintf(stderr, "%s\n", line.c_str());
    if (writer) writer(line.c_str());
  }

  void SetWriter(DriveWarningWriter writer) {
    std::vector<std::string> earlier;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      m_writer = writer;
      earlier.assign(m_said.begin(), m_said.end());
    }
    if (writer) {
      for (const std::string& line : earlier) writer(line.c_str());
    }
  }

 private:
  std::mutex m_lock;
  std::set<std::string> m_said;
  DriveWarningWriter m_writer = nullptr;
};

DriveWarnings& Warnings() {
  static DriveWarnings* warnings = new DriveWarnings;
  return *warnings;
}

constexpr char kUnreadable[] =
    "ignored: not a letter from C to Z, \"=\", an absolute folder and optionally "
    "\",free=<bytes>\"";

std::string EntryWarning(const std::string& entry, const std::string& what) {
  return "LUMIDOCK_DRIVES: entry \"" + entry + "\" " + what;
}

// "C=/x/c;D=/x/d,free=123": entries that are not a free letter, "=", an absolute folder and
// optionally ",free=<bytes>" are left out, and so are entries naming something other than a
// folder; a folder that does not exist yet is kept. Each of them adds a line to *pWarnings.
std::vector<Drive> ParseDriveList(const std::string& text, std::vector<std::string>* pWarnings) {
  std::vector<Drive> drives;
  std::istringstream stream(text);
  std::string entry;
  while (std::getline(stream, entry, ';')) {
    if (entry.empty()) continue;
    Drive drive{0, {}, false, 0};
    if (entry.size() < 3 || !IsLetter(entry[0]) || entry[1] != '=') {
      pWarnings->push_back(EntryWarning(entry, kUnreadable));
      continue;
    }
    drive.letter = Upper(entry[0]);
    std::string folder = entry.substr(2);
    size_t comma = folder.find(',');
    bool ok = true;
    if (comma != std::string::npos) {
      std::string option = folder.substr(comma + 1);
      folder.resize(comma);
      ok = option.rfind("free=", 0) == 0 && ParseBytes(option.substr(5), &drive.freeBytes);
      drive.hasFreeOverride = ok;
    }
    if (!ok || folder.empty() || folder[0] != '/' || drive.letter < 'C') {
      pWarnings->push_back(EntryWarning(entry, kUnreadable));
      continue;
    }
    if (std::any_of(drives.begin(), drives.end(),
                    [&](const Drive& d) { return d.letter == drive.letter; })) {
      pWarnings->push_back(EntryWarning(entry, std::string("ignored: drive ") + drive.letter +
                                                   " is given by an earlier entry"));
      continue;
    }
    drive.folder = WithoutTrailingSlash(folder);
    struct stat st;
    if (stat(drive.folder.c_str(), &st) != 0) {
      // Kept: the folder may be made later, and then the letter works.
      const std::string kept = std::string("; drive ") + drive.letter + " is offered all the same";
      pWarnings->push_back(EntryWarning(
          entry, (errno == ENOENT ? std::string("names a folder that does not exist")
                                  : "names a folder that cannot be reached: " +
                                        std::string(std::strerror(errno))) +
                     kept));
    } else if (!S_ISDIR(st.st_mode)) {
      pWarnings->push_back(EntryWarning(entry, "ignored: " + drive.folder + " is not a folder"));
      continue;
    }
    drives.push_back(std::move(drive));
  }
  std::sort(drives.begin(), drives.end(),
            [](const Drive& a, const Drive& b) { return a.letter < b.letter; });
  return drives;
}

// mountinfo escapes blanks, tabs, newlines and backslashes as \ooo.
std::string Unescape(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '3') {
      out.push_back(static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                      (field[i + 3] - '0')));
      i += 3;
    } else {
      out.push_back(field[i]);
    }
  }
  return out;
}

struct Mount {
  std::string device;  // "major:minor"
  std::string root;    // the part of the file system it shows
  std::string point;
};

std::string ReadSysfsValue(const std::string& path) {
  std::string content;
  if (ReadWholeFile(path, &content, nullptr) != ERROR_SUCCESS) return {};
  while (!content.empty() && (content.back() == '\n' || content.back() == ' ')) content.pop_back();
  return content;
}

// A block device that cannot be unplugged: it has a sysfs node, and its (or for a partition,
// its disk's) "removable" flag is 0.
bool IsFixedBlockDevice(const std::string& device) {
  std::string node = SystemFilePath("/sys/dev/block/" + device);
  struct stat st;
  if (stat(node.c_str(), &st) != 0) return false;
  std::string removable = ReadSysfsValue(node + "/removable");
  if (removable.empty() && stat((node + "/partition").c_str(), &st) == 0) {
    if (char* pReal = realpath(node.c_str(), nullptr)) {
      std::string disk(pReal);
      free(pReal);
      disk.resize(disk.rfind('/'));
      removable = ReadSysfsValue(disk + "/removable");
    }
  }
  return removable == "0";
}

// The writable mounts of fixed block devices, one per device: the mount that shows the largest
// part of its file system (shortest root), so a bind mount or a subvolume never shows one disk
// twice. In mountinfo order.
std::vector<Mount> FixedMounts(const std::string& mountinfo, dev_t skipDevice) {
  std::vector<Mount> mounts;
  std::istringstream lines(mountinfo);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string id, parent, device, root, point, options;
    if (!(fields >> id >> parent >> device >> root >> point >> options)) continue;
    unsigned major = 0, minor = 0;
    char colon = 0;
    std::istringstream numbers(device);
    if (!(numbers >> major >> colon >> minor) || colon != ':') continue;
    if (makedev(major, minor) == skipDevice) continue;
    std::istringstream optionList(options);
    std::string option;
    bool readOnly = false;
    while (std::getline(optionList, option, ',')) readOnly |= option == "ro";
    Mount mount{device, Unescape(root), Unescape(point)};
    if (readOnly || mount.point.empty() || mount.point[0] != '/') continue;
    if (!IsFixedBlockDevice(device) || access(mount.point.c_str(), W_OK) != 0) continue;
    auto same = std::find_if(mounts.begin(), mounts.end(),
                             [&](const Mount& m) { return m.device == device; });
    if (same == mounts.end()) {
      mounts.push_back(std::move(mount));
    } else if (mount.root.size() < same->root.size()) {
      *same = std::move(mount);
    }
  }
  return mounts;
}

std::u16string LetterValueName(char letter) {
  std::u16string name = u"\\DosDevices\\";
  name += static_cast<char16_t>(letter);
  name += u':';
  return name;
}

// Letter -> device as recorded so far.
std::map<char, std::string> RecordedLetters(HKEY key) {
  std::map<char, std::string> letters;
  for (char letter = 'D'; letter <= 'Z'; ++letter) {
    WCHAR value[64];
    DWORD size = sizeof value;
    DWORD type = 0;
    if (RegQueryValueExW(key, LetterValueName(letter).c_str(), nullptr, &type,
                         reinterpret_cast<BYTE*>(value), &size) == ERROR_SUCCESS &&
        type == REG_SZ) {
      std::u16string device(value, size / sizeof(WCHAR));
      while (!device.empty() && device.back() == 0) device.pop_back();
      letters[letter] = Utf16ToUtf8(device);
    }
  }
  return letters;
}

// Gives each mount its recorded letter, or the first letter never given to any device.
std::vector<Drive> LetteredMounts(const std::vector<Mount>& mounts) {
  std::vector<Drive> drives;
  if (mounts.empty()) return drives;
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kLettersKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return drives;  // without a record a letter could move to another disk: offer none
  }
  std::map<char, std::string> letters = RecordedLetters(key);
  for (const Mount& mount : mounts) {
    char letter = 0;
    for (const auto& [recorded, device] : letters) {
      if (device == mount.device) letter = recorded;
    }
    for (char candidate = 'D'; !letter && candidate <= 'Z'; ++candidate) {
      if (letters.count(candidate)) continue;
      std::u16string device = Utf8ToUtf16(mount.device);
      if (RegSetValueExW(key, LetterValueName(candidate).c_str(), 0, REG_SZ,
                         reinterpret_cast<const BYTE*>(device.c_str()),
                         static_cast<DWORD>((device.size() + 1) * sizeof(WCHAR))) !=
          ERROR_SUCCESS) {
        break;
      }
      letters[candidate] = mount.device;
      letter = candidate;
    }
    if (letter) drives.push_back(Drive{letter, WithoutTrailingSlash(mount.point), false, 0});
  }
  RegCloseKey(key);
  std::sort(drives.begin(), drives.end(),
            [](const Drive& a, const Drive& b) { return a.letter < b.letter; });
  return drives;
}

std::vector<Drive> BuildTable(const std::string& mountinfo) {
  const std::string sandbox = SandboxRoot();
  std::string home = sandbox.empty() ? HomeFolder() : sandbox + "/drives/C";
  if (!sandbox.empty()) MakeDirectories(home, 0700);
  home = WithoutTrailingSlash(home);
  std::vector<Drive> drives{Drive{'C', home, false, 0}};
  struct stat st;
  dev_t homeDevice = stat(home.c_str(), &st) == 0 ? st.st_dev : 0;
  for (Drive& drive : LetteredMounts(FixedMounts(mountinfo, homeDevice))) {
    drives.push_back(std::move(drive));
  }
  return drives;
}

// The table, rebuilt whenever what it is made of changed.
// Threading: any thread; m_lock guards everything.
class DriveTable {
 public:
  std::vector<Drive> Current() {
    std::string explicitList = Env("LUMIDOCK_DRIVES");
    std::string mountinfoPath = Env("LUMIDOCK_MOUNTINFO");
    // A sandbox never looks at the machine's own mounts.
    if (mountinfoPath.empty() && SandboxRoot().empty()) mountinfoPath = "/proc/self/mountinfo";
    std::string mountinfo;
    if (explicitList.empty() && !mountinfoPath.empty()) {
      ReadWholeFile(mountinfoPath, &mountinfo, nullptr);
    }
    std::string key = explicitList + '\n' + SandboxRoot() + '\n' + Env("HOME") + '\n' +
                      Env("LUMIDOCK_SYSFS_ROOT") + '\n' + mountinfo;
    std::vector<std::string> warnings;
    std::vector<Drive> drives;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      if (!m_valid || key != m_key) {
        m_drives =
            explicitList.empty() ? BuildTable(mountinfo) : ParseDriveList(explicitList, &warnings);
        m_key = std::move(key);
        m_valid = true;
      }
      drives = m_drives;
    }
    // Outside the lock: the program's writer may look at drives itself.
    for (const std::string& line : warnings) Warnings().Say(line);
    return drives;
  }

 private:
  std::mutex m_lock;
  bool m_valid = false;
  std::string m_key;
  std::vector<Drive> m_drives;
};

DriveTable& Table() {
  static DriveTable* table = new DriveTable;
  return *table;
}

// "X:" or "X:\" (either separator) -> the letter; 0 otherwise.
char RootLetter(LPCWSTR root) {
  if (!root || root[0] > 0x7F || !IsLetter(static_cast<char>(root[0])) || root[1] != u':') {
    return 0;
  }
  if (root[2] != 0 && !((root[2] == u'\\' || root[2] == u'/') && root[3] == 0)) return 0;
  return Upper(static_cast<char>(root[0]));
}

std::atomic<UINT> g_errorMode{0};

}  // namespace

std::vector<Drive> CurrentDrives() { return Table().Current(); }

bool FindDrive(char letter, Drive* pDrive) {
  letter = Upper(letter);
  for (Drive& drive : CurrentDrives()) {
    if (drive.letter == letter) {
      *pDrive = std::move(drive);
      return true;
    }
  }
  return false;
}

bool DrivePathFromPosix(std::string_view posixPath, std::u16string* pWindowsPath) {
  const Drive* pBest = nullptr;
  std::vector<Drive> drives = CurrentDrives();
  for (const Drive& drive : drives) {
    const std::string& folder = drive.folder;
    bool inside = folder == "/"
                      ? posixPath.size() >= 1 && posixPath[0] == '/'
                      : posixPath.rfind(folder, 0) == 0 &&
                            (posixPath.size() == folder.size() || posixPath[folder.size()] == '/');
    if (inside && (!pBest || folder.size() > pBest->folder.size())) pBest = &drive;
  }
  if (!pBest) return false;
  std::string_view rest = posixPath.substr(pBest->folder == "/" ? 0 : pBest->folder.size());
  while (!rest.empty() && rest[0] == '/') rest.remove_prefix(1);
  std::u16string path;
  path += static_cast<char16_t>(pBest->letter);
  path += u":\\";
  path += FromPosixPath(rest);
  while (path.size() > 3 && path.back() == u'\\') path.pop_back();
  *pWindowsPath = std::move(path);
  return true;
}

}  // namespace detail

DWORD GetLogicalDrives() {
  DWORD mask = 0;
  for (const detail::Drive& drive : detail::CurrentDrives()) mask |= 1u << (drive.letter - 'A');
  SetLastError(ERROR_SUCCESS);
  return mask;
}

UINT GetDriveTypeW(LPCWSTR rootPathName) {
  detail::Drive drive;
  char letter = detail::RootLetter(rootPathName);
  return letter && detail::FindDrive(letter, &drive) ? DRIVE_FIXED : DRIVE_NO_ROOT_DIR;
}

BOOL GetDiskFreeSpaceExW(LPCWSTR directoryName, ULARGE_INTEGER* pFreeToCaller,
                         ULARGE_INTEGER* pTotal, ULARGE_INTEGER* pTotalFree) {
  if (!directoryName) return detail::Fail(ERROR_INVALID_PARAMETER);
  std::string posix;
  if (!detail::ToPosixPath(std::u16string_view(directoryName), &posix)) {
    return detail::Fail(ERROR_PATH_NOT_FOUND);
  }
  struct statvfs vfs;
  int r;
  do {
    r = statvfs(posix.c_str(), &vfs);
  } while (r != 0 && errno == EINTR);
  if (r != 0)
    return detail::Fail(errno == ENOENT ? ERROR_PATH_NOT_FOUND
                                        : detail::Win32ErrorFromErrno(errno));
  uint64_t unit = vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize;
  uint64_t total = uint64_t{vfs.f_blocks} * unit;
  uint64_t free = uint64_t{vfs.f_bfree} * unit;
  uint64_t available = uint64_t{vfs.f_bavail} * unit;
  detail::Drive drive;
  char letter = directoryName[0] < 0x80 ? static_cast<char>(directoryName[0]) : 0;
  if (directoryName[0] && directoryName[1] == u':' && detail::FindDrive(letter, &drive) &&
      drive.hasFreeOverride) {
    free = available = drive.freeBytes;
    total = std::max(total, free);
  }
  if (pFreeToCaller) pFreeToCaller->QuadPart = available;
  if (pTotal) pTotal->QuadPart = total;
  if (pTotalFree) pTotalFree->QuadPart = free;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

void SetDriveWarningWriter(DriveWarningWriter writer) { detail::Warnings().SetWriter(writer); }

UINT SetErrorMode(UINT mode) { return detail::g_errorMode.exchange(mode); }

}  // namespace win32
