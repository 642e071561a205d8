#include "win32/sysinfo.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "devices.h"
#include "handles.h"
#include "win32/devio.h"
#include "win32/iphlpapi.h"
#include "win32/netbios.h"

using namespace win32;

namespace {

constexpr DWORD kGenericRead = 0x80000000;
constexpr DWORD kGenericWrite = 0x40000000;

// Sets an environment variable for one scope and puts the old value back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : m_name(name) {
    const char* old = getenv(name);
    m_hadOld = old != nullptr;
    if (old) m_old = old;
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (m_hadOld) {
      setenv(m_name.c_str(), m_old.c_str(), 1);
    } else {
      unsetenv(m_name.c_str());
    }
  }

 private:
  std::string m_name;
  std::string m_old;
  bool m_hadOld = false;
};

// A private directory that stands for "/" through LUMIDOCK_SYSFS_ROOT.
class FakeRootTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/lumidock-sysinfo-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    m_root = pattern;
    m_env = std::make_unique<ScopedEnv>("LUMIDOCK_SYSFS_ROOT", m_root.c_str());
    m_openHandles = detail::OpenHandleCountForTesting();
  }
  void TearDown() override {
    EXPECT_EQ(m_openHandles, detail::OpenHandleCountForTesting());
    m_env.reset();
    std::filesystem::remove_all(m_root);
  }

  void Write(const std::string& path, const std::string& content) {
    std::filesystem::path full = m_root + path;
    std::filesystem::create_directories(full.parent_path());
    std::ofstream(full, std::ios::binary) << content;
  }
  void Link(const std::string& target, const std::string& path) {
    std::filesystem::path full = m_root + path;
    std::filesystem::create_directories(full.parent_path());
    std::filesystem::create_directory_symlink(target, full);
  }

  std::string m_root;

 private:
  std::unique_ptr<ScopedEnv> m_env;
  size_t m_openHandles = 0;
};

std::vector<BYTE> ReadMacFromSysfs(const std::string& name) {
  std::ifstream in("/sys/class/net/" + name + "/address");
  std::string text;
  in >> text;
  std::vector<BYTE> bytes;
  for (size_t i = 0; i + 1 < text.size(); i += 3) {
    bytes.push_back(static_cast<BYTE>(std::stoul(text.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

// Size query, then the list itself; skips on machines with nothing but loopback.
std::vector<IP_ADAPTER_INFO> QueryAdapters() {
  ULONG size = 0;
  if (GetAdaptersInfo(nullptr, &size) != ERROR_BUFFER_OVERFLOW) return {};
  std::vector<IP_ADAPTER_INFO> adapters(size / sizeof(IP_ADAPTER_INFO));
  if (GetAdaptersInfo(adapters.data(), &size) != ERROR_SUCCESS) return {};
  return adapters;
}

// --- Adapter list: the machine's own interfaces, loopback left out ---

TEST(AdapterListTest, SizeQueryAnswersOverflowThenListMatchesSysfs) {
  ULONG size = 0;
  DWORD result = GetAdaptersInfo(nullptr, &size);
  if (result == ERROR_NO_DATA) GTEST_SKIP() << "no adapter besides loopback";
  ASSERT_EQ(result, ERROR_BUFFER_OVERFLOW);
  ASSERT_GE(size, sizeof(IP_ADAPTER_INFO));
  ASSERT_EQ(size % sizeof(IP_ADAPTER_INFO), 0u);

  std::vector<IP_ADAPTER_INFO> adapters(size / sizeof(IP_ADAPTER_INFO));
  ULONG shortSize = size - 1;
  EXPECT_EQ(GetAdaptersInfo(adapters.data(), &shortSize), ERROR_BUFFER_OVERFLOW);
  EXPECT_EQ(shortSize, size);
  EXPECT_EQ(GetAdaptersInfo(adapters.data(), nullptr), ERROR_INVALID_PARAMETER);
  ASSERT_EQ(GetAdaptersInfo(adapters.data(), &size), ERROR_SUCCESS);

  size_t count = 0;
  bool seenVirtual = false;
  for (IP_ADAPTER_INFO* p = adapters.data(); p; p = p->Next, ++count) {
    ASSERT_LT(count, adapters.size());
    std::string name = p->AdapterName;
    EXPECT_NE(name, "lo");
    std::vector<BYTE> mac = ReadMacFromSysfs(name);
    ASSERT_EQ(mac.size(), p->AddressLength) << name;
    EXPECT_EQ(0, memcmp(mac.data(), p->Address, mac.size())) << name;
    in_addr address;
    EXPECT_EQ(inet_pton(AF_INET, p->IpAddressList.IpAddress.String, &address), 1);
    EXPECT_NE(std::string(p->Description).find(name), std::string::npos);
    // Physical devices come first.
    bool physical = access(("/sys/class/net/" + name + "/device").c_str(), F_OK) == 0;
    if (!physical) seenVirtual = true;
    EXPECT_FALSE(physical && seenVirtual) << name << " listed after a virtual adapter";
  }
  EXPECT_EQ(count, adapters.size());
}

class AdapterSysfsTest : public FakeRootTest {};

TEST_F(AdapterSysfsTest, AdapterDescribedFromSysfsAndListedFirst) {
  std::vector<IP_ADAPTER_INFO> real;
  {
    ScopedEnv realSysfs("LUMIDOCK_SYSFS_ROOT", nullptr);
    real = QueryAdapters();
  }
  if (real.empty()) GTEST_SKIP() << "no adapter besides loopback";
  // Only the last adapter is a device here, a wireless one behind USB.
  std::string chosen = real.back().AdapterName;
  Write("/devices/usb1/1-1/1-1:1.0/drivers/ferrowlan/.keep", "");
  Link("../../../../devices/usb1/1-1/1-1:1.0", "/sys/class/net/" + chosen + "/device");
  Link("drivers/ferrowlan", "/devices/usb1/1-1/1-1:1.0/driver");
  Write("/sys/class/net/" + chosen + "/wireless/.keep", "");

  std::vector<IP_ADAPTER_INFO> adapters = QueryAdapters();
  ASSERT_EQ(adapters.size(), real.size());
  EXPECT_EQ(std::string(adapters[0].AdapterName), chosen);
  EXPECT_EQ(std::string(adapters[0].Description), "ferrowlan USB Wireless " + chosen);
  if (real.back().Type == MIB_IF_TYPE_ETHERNET) {
    EXPECT_EQ(adapters[0].Type, IF_TYPE_IEEE80211);
  }
  for (size_t i = 1; i < adapters.size(); ++i) {
    EXPECT_EQ(std::string(adapters[i].Description), adapters[i].AdapterName);
  }
}

// --- NetBIOS: answered from the same adapter list ---

TEST(NetbiosTest, EnumResetAndStatusGiveTheAdapterAddresses) {
  std::vector<IP_ADAPTER_INFO> adapters = QueryAdapters();
  LANA_ENUM lanas = {};
  NCB ncb = {};
  ncb.ncb_command = NCBENUM;
  ncb.ncb_buffer = reinterpret_cast<UCHAR*>(&lanas);
  ncb.ncb_length = sizeof(lanas);
  ASSERT_EQ(Netbios(&ncb), NRC_GOODRET);
  ASSERT_EQ(lanas.length, adapters.size());

  for (UCHAR i = 0; i < lanas.length; ++i) {
    ncb = {};
    ncb.ncb_command = NCBRESET;
    ncb.ncb_lana_num = lanas.lana[i];
    EXPECT_EQ(Netbios(&ncb), NRC_GOODRET);

    BYTE status[600] = {};
    ncb = {};
    ncb.ncb_command = NCBASTAT;
    ncb.ncb_lana_num = lanas.lana[i];
    memset(ncb.ncb_callname, ' ', NCBNAMSZ);
    ncb.ncb_callname[0] = '*';
    ncb.ncb_buffer = status;
    ncb.ncb_length = sizeof(status);
    ASSERT_EQ(Netbios(&ncb), NRC_GOODRET);
    EXPECT_EQ(ncb.ncb_retcode, NRC_GOODRET);
    EXPECT_EQ(0, memcmp(status, adapters[i].Address, 6));

    ncb.ncb_length = sizeof(ADAPTER_STATUS) - 1;
    EXPECT_EQ(Netbios(&ncb), NRC_BUFLEN);
  }

  ncb = {};
  ncb.ncb_command = NCBRESET;
  ncb.ncb_lana_num = static_cast<UCHAR>(adapters.size());
  EXPECT_EQ(Netbios(&ncb), NRC_BRIDGE);
  ncb.ncb_command = NCBRESET | ASYNCH;
  ncb.ncb_lana_num = 0;
  EXPECT_EQ(Netbios(&ncb), NRC_ILLCMD);
}

// --- Disk identity from a fake sysfs ---

class DiskIdentityTest : public FakeRootTest {
 protected:
  void SetUp() override {
    FakeRootTest::SetUp();
    Write("/sys/block/sda/dev", "8:0\n");
    Write("/sys/block/sda/removable", "0\n");
    Write("/sys/block/sda/device/vendor", "ATA     \n");
    Write("/sys/block/sda/device/model", "Kestrel SSD 500 \n");
    Write("/sys/block/sda/device/rev", "1B6Q\n");
    Write("/run/udev/data/b8:0", "S:disk/by-id/x\nE:ID_SERIAL_SHORT=S3Z9NB0K123456\nE:ID_X=1\n");
    Write("/sys/block/sdb/dev", "8:16\n");
    Write("/sys/block/sdb/removable", "1\n");
    Write("/sys/block/sdb/device/model", "Flash\n");
    Write("/sys/block/sdb/device/vpd_pg80", std::string("\x00\x80\x00\x08", 4) + "ABCD1234  ");
    Write("/sys/block/nvme0n1/device/model", "Norrow PC SN7\n");
    Write("/sys/block/nvme0n1/device/firmware_rev", "11170101\n");
    Write("/sys/block/nvme0n1/device/serial", "  20194E800123  \n");
    Write("/sys/block/loop0/dev", "7:0\n");
    Write("/sys/block/zram0/dev", "253:0\n");
    Write("/sys/block/dm-0/dev", "254:1\n");
  }

  HANDLE Open(const std::u16string& name, DWORD access = 0) {
    return detail::OpenDeviceByName(name, access);
  }

  // Runs the standard query into `size` bytes; returns the bytes received.
  std::vector<BYTE> Query(HANDLE device, DWORD size) {
    STORAGE_PROPERTY_QUERY query = {};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    std::vector<BYTE> out(size);
    DWORD returned = 0;
    if (!DeviceIoControl(device, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query), out.data(),
                         size, &returned, nullptr)) {
      return {};
    }
    out.resize(returned);
    return out;
  }

  static std::string Text(const std::vector<BYTE>& answer, DWORD offset) {
    if (offset == 0) return {};
    EXPECT_LT(offset, answer.size());
    const char* p = reinterpret_cast<const char*>(answer.data()) + offset;
    size_t length = strnlen(p, answer.size() - offset);
    EXPECT_LT(offset + length, answer.size()) << "text runs to the end without a NUL";
    return std::string(p, length);
  }

  static STORAGE_DEVICE_DESCRIPTOR Descriptor(const std::vector<BYTE>& answer) {
    STORAGE_DEVICE_DESCRIPTOR descriptor = {};
    memcpy(&descriptor, answer.data(), std::min(answer.size(), sizeof(descriptor)));
    return descriptor;
  }
};

TEST_F(DiskIdentityTest, DrivesFollowNaturalOrderWithoutRootDisk) {
  HANDLE drive0 = Open(u"\\\\.\\PhysicalDrive0");
  ASSERT_NE(drive0, INVALID_HANDLE_VALUE);
  std::vector<BYTE> answer = Query(drive0, 2048);
  ASSERT_FALSE(answer.empty());
  STORAGE_DEVICE_DESCRIPTOR d = Descriptor(answer);
  EXPECT_EQ(d.Size, answer.size());
  EXPECT_EQ(d.VendorIdOffset, 0u);
  EXPECT_EQ(Text(answer, d.ProductIdOffset), "Norrow PC SN7");
  EXPECT_EQ(Text(answer, d.ProductRevisionOffset), "11170101");
  EXPECT_EQ(Text(answer, d.SerialNumberOffset), "20194E800123");
  EXPECT_EQ(d.BusType, BusTypeNvme);
  EXPECT_TRUE(CloseHandle(drive0));

  HANDLE drive1 = Open(u"//./physicaldrive1");
  ASSERT_NE(drive1, INVALID_HANDLE_VALUE);
  answer = Query(drive1, 2048);
  d = Descriptor(answer);
  EXPECT_EQ(Text(answer, d.VendorIdOffset), "ATA");
  EXPECT_EQ(Text(answer, d.ProductIdOffset), "Kestrel SSD 500");
  EXPECT_EQ(Text(answer, d.ProductRevisionOffset), "1B6Q");
  EXPECT_EQ(Text(answer, d.SerialNumberOffset), "S3Z9NB0K123456");  // from udev
  EXPECT_FALSE(d.RemovableMedia);
  EXPECT_TRUE(CloseHandle(drive1));

  HANDLE drive2 = Open(u"\\\\.\\PhysicalDrive2");
  ASSERT_NE(drive2, INVALID_HANDLE_VALUE);
  answer = Query(drive2, 2048);
  d = Descriptor(answer);
  EXPECT_EQ(Text(answer, d.SerialNumberOffset), "ABCD1234");  // from the VPD page
  EXPECT_EQ(d.ProductRevisionOffset, 0u);
  EXPECT_TRUE(d.RemovableMedia);
  EXPECT_TRUE(CloseHandle(drive2));

  // loop, zram and dm devices are not disks.
  EXPECT_EQ(Open(u"\\\\.\\PhysicalDrive3"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(DiskIdentityTest, DiskHoldingRootIsDriveZero) {
  struct stat st;
  ASSERT_EQ(stat("/", &st), 0);
  std::string link =
      "/sys/dev/block/" + std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
  // "/" lives on a partition of sdb.
  Write("/devices/pci0/sdb/sdb1/partition", "1\n");
  Link("../../../devices/pci0/sdb/sdb1", link);
  HANDLE drive0 = Open(u"\\\\.\\PhysicalDrive0");
  ASSERT_NE(drive0, INVALID_HANDLE_VALUE);
  std::vector<BYTE> answer = Query(drive0, 2048);
  EXPECT_EQ(Text(answer, Descriptor(answer).ProductIdOffset), "Flash");
  EXPECT_TRUE(CloseHandle(drive0));
  HANDLE drive1 = Open(u"\\\\.\\PhysicalDrive1");
  answer = Query(drive1, 2048);
  EXPECT_EQ(Text(answer, Descriptor(answer).ProductIdOffset), "Norrow PC SN7");
  EXPECT_TRUE(CloseHandle(drive1));
}

// A short buffer gets what fits; no offset may point at a text the caller did not receive.
TEST_F(DiskIdentityTest, ShortBufferNeverLeavesOffsetsPastTheAnswer) {
  HANDLE drive = Open(u"\\\\.\\PhysicalDrive1");
  ASSERT_NE(drive, INVALID_HANDLE_VALUE);
  std::vector<BYTE> full = Query(drive, 2048);
  ASSERT_FALSE(full.empty());
  for (DWORD size = sizeof(STORAGE_DESCRIPTOR_HEADER); size <= full.size(); ++size) {
    std::vector<BYTE> answer = Query(drive, size);
    ASSERT_EQ(answer.size(), size);
    STORAGE_DEVICE_DESCRIPTOR d = Descriptor(answer);
    EXPECT_EQ(d.Size, full.size());
    if (size < sizeof(STORAGE_DEVICE_DESCRIPTOR)) continue;
    for (DWORD offset :
         {d.VendorIdOffset, d.ProductIdOffset, d.ProductRevisionOffset, d.SerialNumberOffset}) {
      if (offset == 0) continue;
      ASSERT_LT(offset, size);
      EXPECT_NE(memchr(answer.data() + offset, 0, size - offset), nullptr) << size;
    }
  }
  STORAGE_PROPERTY_QUERY query = {};
  BYTE tiny[7];
  DWORD returned = 99;
  EXPECT_FALSE(DeviceIoControl(drive, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query), tiny,
                               sizeof(tiny), &returned, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(returned, 0u);
  EXPECT_TRUE(CloseHandle(drive));
}

// Only the no-access open and the storage query exist; the rest fails as for a plain user.
TEST_F(DiskIdentityTest, PrivilegedOpensAndOtherRequestsFail) {
  EXPECT_EQ(Open(u"\\\\.\\PhysicalDrive0", kGenericRead | kGenericWrite), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Open(u"\\\\.\\Scsi0:", kGenericRead | kGenericWrite), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Open(u"\\\\.\\PhysicalDriveX"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Open(u"\\home\\u\\file.txt"), nullptr);
  EXPECT_EQ(Open(u"\\\\server\\share"), nullptr);

  HANDLE drive = Open(u"\\\\.\\PhysicalDrive0");
  ASSERT_NE(drive, INVALID_HANDLE_VALUE);
  GETVERSIONINPARAMS version = {};
  DWORD returned = 0;
  EXPECT_FALSE(DeviceIoControl(drive, SMART_GET_VERSION, nullptr, 0, &version, sizeof(version),
                               &returned, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
  EXPECT_TRUE(CloseHandle(drive));
  STORAGE_PROPERTY_QUERY query = {};
  BYTE out[64];
  EXPECT_FALSE(DeviceIoControl(drive, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query), out,
                               sizeof(out), &returned, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// --- Operating-system facts ---

TEST(SystemFactsTest, VersionComesFromTheKernelInBothRecordSizes) {
  utsname names;
  ASSERT_EQ(uname(&names), 0);
  unsigned major = 0, minor = 0, build = 0;
  sscanf(names.release, "%u.%u.%u", &major, &minor, &build);

  OSVERSIONINFOEXW ex;
  memset(&ex, 0xAB, sizeof(ex));
  ex.dwOSVersionInfoSize = sizeof(ex);
  ASSERT_TRUE(GetVersionExW(&ex));
  EXPECT_EQ(ex.dwMajorVersion, major);
  EXPECT_EQ(ex.dwMinorVersion, minor);
  EXPECT_EQ(ex.dwBuildNumber, build);
  EXPECT_EQ(ex.dwPlatformId, VER_PLATFORM_WIN32_NT);
  EXPECT_EQ(ex.szCSDVersion[0], u'\0');
  EXPECT_EQ(ex.wServicePackMajor, 0);

  struct {
    OSVERSIONINFOW info;
    BYTE guard[8];
  } shortForm;
  memset(&shortForm, 0xAB, sizeof(shortForm));
  shortForm.info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
  ASSERT_TRUE(GetVersionExW(&shortForm.info));
  EXPECT_EQ(shortForm.info.dwMajorVersion, major);
  EXPECT_EQ(shortForm.guard[0], 0xAB) << "the short record was written past its end";

  OSVERSIONINFOW wrong = {};
  wrong.dwOSVersionInfoSize = sizeof(wrong) - 1;
  EXPECT_FALSE(GetVersionExW(&wrong));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);

  SYSTEM_INFO native = {};
  GetNativeSystemInfo(&native);
#if defined(__x86_64__)
  EXPECT_EQ(native.wProcessorArchitecture, PROCESSOR_ARCHITECTURE_AMD64);
#endif
  EXPECT_GE(native.dwNumberOfProcessors, 1u);
  EXPECT_EQ(native.dwPageSize, static_cast<DWORD>(sysconf(_SC_PAGESIZE)));
}

TEST(SystemFactsTest, LanguageFollowsLocaleVariablesInOrder) {
  ScopedEnv all("LC_ALL", "");
  ScopedEnv messages("LC_MESSAGES", "zh_CN.UTF-8");
  ScopedEnv lang("LANG", "de_DE.UTF-8");
  EXPECT_EQ(GetSystemDefaultLangID(), 0x0804);  // empty LC_ALL does not count
  {
    ScopedEnv traditional("LC_ALL", "zh_TW.Big5@stroke");
    EXPECT_EQ(GetUserDefaultUILanguage(), 0x0404);
  }
  {
    ScopedEnv region("LC_MESSAGES", "fr_LU");  // no entry for the region: the language's default
    EXPECT_EQ(GetSystemDefaultLangID(), 0x040C);
  }
  {
    ScopedEnv posix("LC_MESSAGES", "C.UTF-8");
    EXPECT_EQ(GetSystemDefaultLangID(), 0x0409);
  }
  {
    ScopedEnv none("LC_MESSAGES", nullptr);
    EXPECT_EQ(GetSystemDefaultLangID(), 0x0407);
  }
}

TEST(SystemFactsTest, ComputerNameIsTheShortHostNameWithSizeProtocol) {
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof(host) - 1), 0);
  std::string expected = std::string(host).substr(0, std::string(host).find('.'));

  WCHAR name[64];
  DWORD size = static_cast<DWORD>(expected.size());  // no room for the NUL
  EXPECT_FALSE(GetComputerNameW(name, &size));
  EXPECT_EQ(GetLastError(), ERROR_BUFFER_OVERFLOW);
  EXPECT_EQ(size, expected.size() + 1);
  ASSERT_TRUE(GetComputerNameW(name, &size));
  EXPECT_EQ(size, expected.size());
  EXPECT_EQ(std::u16string(name), std::u16string(expected.begin(), expected.end()));

  char narrow[64];
  size = sizeof(narrow);
  ASSERT_TRUE(GetComputerNameA(narrow, &size));
  EXPECT_EQ(std::string(narrow), expected);
}

TEST(SystemFactsTest, ProcessorBrandIsPrintableText) {
  int regs[4];
  CpuId(regs, static_cast<int>(0x80000000));
  if (static_cast<unsigned>(regs[0]) < 0x80000004u) GTEST_SKIP() << "no brand leaves";
  char brand[49] = {};
  for (int i = 0; i < 3; ++i) {
    CpuId(regs, static_cast<int>(0x80000002 + i));
    memcpy(brand + 16 * i, regs, 16);
  }
  // The kernel's model name is no oracle: a virtual machine's brand leaves may name another
  // processor. The leaves' own promise is NUL-ended printable ASCII with some text in it.
  std::string text(brand);
  EXPECT_NE(text.find_first_not_of(' '), std::string::npos) << "blank brand";
  for (unsigned char c : text) {
    EXPECT_TRUE(c >= 0x20 && c < 0x7F) << "byte " << int(c) << " in \"" << text << '"';
  }
  // A leaf past the highest one answers zeros, not another leaf's data.
  CpuId(regs, static_cast<int>(0x8000FFFF));
  EXPECT_EQ(regs[0] | regs[1] | regs[2] | regs[3], 0);
}

}  // namespace
