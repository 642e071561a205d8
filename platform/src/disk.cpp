#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "devices.h"
#include "handles.h"
#include "win32/devio.h"

namespace win32 {
namespace detail {
namespace {

// A disk opened with no access rights: it can describe itself and do nothing else.
class DiskDeviceObject final : public KernelObject {
 public:
  explicit DiskDeviceObject(std::string diskName)
      : KernelObject(ObjectKind::kOther), m_diskName(std::move(diskName)) {}
  const std::string& DiskName() const { return m_diskName; }

 private:
  const std::string m_diskName;  // name under /sys/block
};

struct DiskFacts {
  std::string vendor;
  std::string model;
  std::string revision;
  std::string serial;
  bool removable = false;
  STORAGE_BUS_TYPE busType = BusTypeUnknown;
};

// What may be asked of a disk opened for its identity alone; anything more needs privileges an
// ordinary user does not have, here as on Windows.
constexpr DWORD kFileReadAttributes = 0x0080;
constexpr DWORD kSynchronize = 0x00100000;

bool ReadSmallFile(const std::string& path, std::string* pText) {
  int fd;
  do {
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  char buffer[4096];
  size_t total = 0;
  while (total < sizeof(buffer)) {
    ssize_t r = read(fd, buffer + total, sizeof(buffer) - total);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    total += static_cast<size_t>(r);
  }
  close(fd);
  pText->assign(buffer, total);
  return true;
}

std::string Trimmed(std::string_view text) {
  auto blank = [](char c) { return c == '\0' || isspace(static_cast<unsigned char>(c)); };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return std::string(text);
}

std::string ReadAttribute(const std::string& path) {
  std::string text;
  if (!ReadSmallFile(path, &text)) return {};
  return Trimmed(text);
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool IsWholeDiskName(const std::string& name) {
  static const char* const kNotDisks[] = {"loop", "ram", "zram", "dm-", "sr", "fd", "nbd"};
  for (const char* prefix : kNotDisks) {
    if (StartsWith(name, prefix)) return false;
  }
  return !name.empty() && name[0] != '.';
}

// Digit runs compare by value, so "nvme2n1" comes before "nvme10n1".
bool NaturalLess(const std::string& a, const std::string& b) {
  size_t i = 0;
  size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (isdigit(static_cast<unsigned char>(a[i])) && isdigit(static_cast<unsigned char>(b[j]))) {
      size_t iEnd = i;
      size_t jEnd = j;
      while (iEnd < a.size() && isdigit(static_cast<unsigned char>(a[iEnd]))) ++iEnd;
      while (jEnd < b.size() && isdigit(static_cast<unsigned char>(b[jEnd]))) ++jEnd;
      std::string_view na = std::string_view(a).substr(i, iEnd - i);
      std::string_view nb = std::string_view(b).substr(j, jEnd - j);
      while (na.size() > 1 && na.front() == '0') na.remove_prefix(1);
      while (nb.size() > 1 && nb.front() == '0') nb.remove_prefix(1);
      if (na.size() != nb.size()) return na.size() < nb.size();
      if (na != nb) return na < nb;
      i = iEnd;
      j = jEnd;
    } else {
      if (a[i] != b[j]) return a[i] < b[j];
      ++i;
      ++j;
    }
  }
  return a.size() - i < b.size() - j;
}

// The whole disk that holds "/", when sysfs can tell.
std::string RootDiskName() {
  struct stat st;
  if (stat("/", &st) != 0) return {};
  std::string link = SystemFilePath("/sys/dev/block/" + std::to_string(major(st.st_dev)) + ":" +
                                    std::to_string(minor(st.st_dev)));
  char resolved[PATH_MAX];
  if (!realpath(link.c_str(), resolved)) return {};
  std::string path = resolved;
  if (access((path + "/partition").c_str(), F_OK) == 0) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {};
    path.resize(slash);
  }
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Drive numbers: the disk holding "/" is drive 0, the others follow in natural name order.
std::vector<std::string> DisksInDriveOrder() {
  std::vector<std::string> disks;
  std::string blockDir = SystemFilePath("/sys/block");
  DIR* pDir = opendir(blockDir.c_str());
  if (!pDir) return disks;
  while (dirent* pEntry = readdir(pDir)) {
    std::string name = pEntry->d_name;
    if (IsWholeDiskName(name)) disks.push_back(name);
  }
  closedir(pDir);
  std::sort(disks.begin(), disks.end(), NaturalLess);
  std::string root = RootDiskName();
  auto it = std::find(disks.begin(), disks.end(), root);
  if (it != disks.end()) std::rotate(disks.begin(), it, it + 1);
  return disks;
}

std::string UdevProperty(const std::string& diskName, std::string_view key) {
  std::string dev = ReadAttribute(SystemFilePath("/sys/block/" + diskName + "/dev"));
  if (dev.empty()) return {};
  std::string data;
  if (!ReadSmallFile(SystemFilePath("/run/udev/data/b" + dev), &data)) return {};
  std::string prefix = "E:" + std::string(key) + "=";
  size_t pos = 0;
  while (pos < data.size()) {
    size_t end = data.find('\n', pos);
    if (end == std::string::npos) end = data.size();
    std::string_view line = std::string_view(data).substr(pos, end - pos);
    if (StartsWith(line, prefix)) return Trimmed(line.substr(prefix.size()));
    pos = end + 1;
  }
  return {};
}

// The unit serial number VPD page: a 4-byte header whose last byte is the length, then the text.
std::string SerialFromVpdPage(const std::string& path) {
  std::string page;
  if (!ReadSmallFile(path, &page) || page.size() <= 4) return {};
  size_t length = std::min<size_t>(static_cast<unsigned char>(page[3]), page.size() - 4);
  return Trimmed(std::string_view(page).substr(4, length));
}

DiskFacts ReadDiskFacts(const std::string& name) {
  DiskFacts facts;
  std::string base = SystemFilePath("/sys/block/" + name);
  std::string device = base + "/device";
  if (StartsWith(name, "nvme")) {
    facts.model = ReadAttribute(device + "/model");
    facts.revision = ReadAttribute(device + "/firmware_rev");
    facts.serial = ReadAttribute(device + "/serial");
    facts.busType = BusTypeNvme;
  } else if (StartsWith(name, "vd")) {
    facts.serial = ReadAttribute(base + "/serial");
    facts.busType = BusTypeVirtual;
  } else if (StartsWith(name, "mmcblk")) {
    facts.model = ReadAttribute(device + "/name");
    facts.serial = ReadAttribute(device + "/serial");
  } else {
    facts.vendor = ReadAttribute(device + "/vendor");
    facts.model = ReadAttribute(device + "/model");
    facts.revision = ReadAttribute(device + "/rev");
    facts.serial = SerialFromVpdPage(device + "/vpd_pg80");
  }
  if (facts.serial.empty()) facts.serial = UdevProperty(name, "ID_SERIAL_SHORT");
  facts.removable = ReadAttribute(base + "/removable") == "1";
  return facts;
}

std::vector<BYTE> BuildDescriptor(const DiskFacts& facts) {
  std::vector<BYTE> bytes(sizeof(STORAGE_DEVICE_DESCRIPTOR));
  auto append = [&bytes](const std::string& text) -> DWORD {
    if (text.empty()) return 0;
    DWORD offset = static_cast<DWORD>(bytes.size());
    bytes.insert(bytes.end(), text.begin(), text.end());
    bytes.push_back(0);
    return offset;
  };
  STORAGE_DEVICE_DESCRIPTOR descriptor;
  memset(&descriptor, 0, sizeof(descriptor));
  descriptor.Version = sizeof(STORAGE_DEVICE_DESCRIPTOR);
  descriptor.RemovableMedia = facts.removable ? 1 : 0;
  descriptor.BusType = facts.busType;
  descriptor.VendorIdOffset = append(facts.vendor);
  descriptor.ProductIdOffset = append(facts.model);
  descriptor.ProductRevisionOffset = append(facts.revision);
  descriptor.SerialNumberOffset = append(facts.serial);
  descriptor.Size = static_cast<DWORD>(bytes.size());
  memcpy(bytes.data(), &descriptor, sizeof(descriptor));
  return bytes;
}

// A text that does not lie whole (NUL included) within the first `kept` bytes loses its offset,
// so a caller with a short buffer never follows an offset past what it received.
void DropCutTexts(std::vector<BYTE>* pBytes, size_t kept) {
  STORAGE_DEVICE_DESCRIPTOR descriptor;
  memcpy(&descriptor, pBytes->data(), sizeof(descriptor));
  for (DWORD* pOffset : {&descriptor.VendorIdOffset, &descriptor.ProductIdOffset,
                         &descriptor.ProductRevisionOffset, &descriptor.SerialNumberOffset}) {
    if (*pOffset == 0) continue;
    const char* pText = reinterpret_cast<const char*>(pBytes->data() + *pOffset);
    if (*pOffset + strlen(pText) + 1 > kept) *pOffset = 0;
  }
  memcpy(pBytes->data(), &descriptor, sizeof(descriptor));
}

bool ParseDriveNumber(std::u16string_view rest, int* pNumber) {
  static constexpr std::u16string_view kPrefix = u"physicaldrive";
  if (rest.size() <= kPrefix.size() || rest.size() > kPrefix.size() + 3) return false;
  for (size_t i = 0; i < kPrefix.size(); ++i) {
    char16_t c = rest[i];
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    if (c != kPrefix[i]) return false;
  }
  int number = 0;
  for (char16_t c : rest.substr(kPrefix.size())) {
    if (c < u'0' || c > u'9') return false;
    number = number * 10 + (c - u'0');
  }
  *pNumber = number;
  return true;
}

}  // namespace

std::string SystemFilePath(std::string_view absolutePath) {
  const char* pRoot = getenv("LUMIDOCK_SYSFS_ROOT");
  if (!pRoot || !*pRoot) return std::string(absolutePath);
  std::string path = pRoot;
  while (!path.empty() && path.back() == '/') path.pop_back();
  return path + std::string(absolutePath);
}

HANDLE OpenDeviceByName(std::u16string_view name, DWORD desiredAccess) {
  if (name.size() < 4) return nullptr;
  char16_t separator = name[0];
  if ((separator != u'\\' && separator != u'/') || name[1] != separator || name[2] != u'.' ||
      name[3] != separator) {
    return nullptr;
  }
  int drive = 0;
  std::vector<std::string> disks;
  if (ParseDriveNumber(name.substr(4), &drive)) disks = DisksInDriveOrder();
  if (drive < 0 || static_cast<size_t>(drive) >= disks.size()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (desiredAccess & ~(kFileReadAttributes | kSynchronize)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = InsertHandle(std::make_shared<DiskDeviceObject>(disks[drive]));
  if (!handle) return INVALID_HANDLE_VALUE;
  SetLastError(ERROR_SUCCESS);
  return handle;
}

}  // namespace detail

BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize,
                     LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned, LPOVERLAPPED) {
  if (bytesReturned) *bytesReturned = 0;
  std::shared_ptr<detail::KernelObject> object = detail::LookupHandle(device);
  if (!object) return detail::Fail(ERROR_INVALID_HANDLE);
  auto* pDisk = dynamic_cast<detail::DiskDeviceObject*>(object.get());
  if (!pDisk || ioControlCode != IOCTL_STORAGE_QUERY_PROPERTY) {
    return detail::Fail(ERROR_INVALID_FUNCTION);
  }
  STORAGE_PROPERTY_QUERY query;
  if (!inBuffer || inBufferSize < offsetof(STORAGE_PROPERTY_QUERY, AdditionalParameters)) {
    return detail::Fail(ERROR_INVALID_PARAMETER);
  }
  memcpy(&query, inBuffer, offsetof(STORAGE_PROPERTY_QUERY, AdditionalParameters));
  if (query.PropertyId != StorageDeviceProperty) return detail::Fail(ERROR_NOT_SUPPORTED);
  if (query.QueryType == PropertyExistsQuery) {
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  }
  if (query.QueryType != PropertyStandardQuery) return detail::Fail(ERROR_INVALID_PARAMETER);
  if (!outBuffer || outBufferSize < sizeof(STORAGE_DESCRIPTOR_HEADER)) {
    return detail::Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  std::vector<BYTE> answer = detail::BuildDescriptor(detail::ReadDiskFacts(pDisk->DiskName()));
  size_t kept = std::min<size_t>(outBufferSize, answer.size());
  detail::DropCutTexts(&answer, kept);
  memcpy(outBuffer, answer.data(), kept);
  if (bytesReturned) *bytesReturned = static_cast<DWORD>(kept);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

}  // namespace win32
