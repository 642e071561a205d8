// The adapter class behind the machine GUID's choice of adapter: the network class's
// Connection keys, which the layer answers from sysfs, described here by fake sysfs trees.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "AdapterAddress.h"
#include "win32/registry.h"

namespace {

namespace fs = std::filesystem;
using namespace win32;

// A machine whose interfaces are, by name: a wired PCI card, a wireless PCI card, a wired USB
// dongle, a wireless USB dongle, a system-on-chip's own wired port, a virtio NIC of a virtual
// machine, and a bridge with no device behind it.
class AdapterClassTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/lumidock-netclass-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    m_root = pattern;
    for (const char* pBus : {"pci", "usb", "platform", "virtio"}) {
      fs::create_directories(m_root + "/sys/bus/" + pBus);
    }
    Device("/devices/pci0000:00/0000:03:00.0", "pci");
    Device("/devices/pci0000:00/0000:02:00.0", "pci");
    Device("/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0", "usb");
    Device("/devices/pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0", "usb");
    Device("/devices/platform/soc/ff540000.ethernet", "platform");
    Device("/devices/pci0000:00/0000:00:03.0", "pci");
    Device("/devices/pci0000:00/0000:00:03.0/virtio2", "virtio");
    Interface("enp3s0", "/devices/pci0000:00/0000:03:00.0", nullptr);
    Interface("wlp2s0", "/devices/pci0000:00/0000:02:00.0", "phy80211");
    Interface("enx0", "/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0", nullptr);
    Interface("wlx0", "/devices/pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0", "wireless");
    Interface("end0", "/devices/platform/soc/ff540000.ethernet", nullptr);
    Interface("eth0", "/devices/pci0000:00/0000:00:03.0/virtio2", nullptr);
    fs::create_directories(m_root + "/sys/class/net/br0");
    setenv("LUMIDOCK_SYSFS_ROOT", m_root.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("LUMIDOCK_SYSFS_ROOT");
    std::error_code ignored;
    fs::remove_all(m_root, ignored);
  }

  // A device folder under /sys whose "subsystem" link names its bus, relative as sysfs has it.
  void Device(const std::string& path, const std::string& bus) {
    const fs::path folder = m_root + "/sys" + path;
    fs::create_directories(folder);
    fs::create_directory_symlink(fs::relative(m_root + "/sys/bus/" + bus, folder),
                                 folder / "subsystem");
  }
  void Interface(const std::string& name, const std::string& devicePath, const char* pWireless) {
    const fs::path folder = m_root + "/sys/class/net/" + name;
    fs::create_directories(folder);
    fs::create_directory_symlink(fs::relative(m_root + "/sys" + devicePath, folder),
                                 folder / "device");
    if (pWireless) fs::create_directories(folder / pWireless);
  }

  std::string m_root;
};

struct Adapter {
  const char* pName;
  win32::UINT type;
  uint8_t lastByte;
};

// The address ChooseAdapterAddress takes from a list in this order; 0 when it takes none.
uint8_t Chosen(const std::vector<Adapter>& adapters) {
  std::vector<IP_ADAPTER_INFO> list(adapters.size());
  for (size_t i = 0; i < adapters.size(); ++i) {
    strncpy(list[i].AdapterName, adapters[i].pName, sizeof(list[i].AdapterName) - 1);
    list[i].Type = adapters[i].type;
    list[i].AddressLength = 6;
    const uint8_t address[6] = {0x02, 0x00, 0x5E, 0x10, 0x00, adapters[i].lastByte};
    memcpy(list[i].Address, address, sizeof(address));
    list[i].Next = i + 1 < list.size() ? &list[i + 1] : nullptr;
  }
  uint8_t address[6] = {};
  if (!ZyMacID::ChooseAdapterAddress(list.data(), address)) return 0;
  return address[5];
}

TEST_F(AdapterClassTest, ClassComesFromTheDeviceBusAndTheWirelessEntries) {
  using namespace ZyMacID;
  EXPECT_EQ(GetAdapterClass("enp3s0"), kAdapterWiredPci);
  EXPECT_EQ(GetAdapterClass("end0"), kAdapterWiredPci);
  EXPECT_EQ(GetAdapterClass("eth0"), kAdapterWiredPci);  // virtio on a PCI transport
  EXPECT_EQ(GetAdapterClass("wlp2s0"), kAdapterWireless);
  EXPECT_EQ(GetAdapterClass("wlx0"), kAdapterWireless);
  EXPECT_EQ(GetAdapterClass("enx0"), kAdapterWiredOther);
  EXPECT_EQ(GetAdapterClass("br0"), kAdapterUnknown);
  EXPECT_EQ(GetAdapterClass("absent0"), kAdapterUnknown);
  EXPECT_EQ(GetAdapterClass("../net/enp3s0"), kAdapterUnknown);

  // The keys read as the registry's: typed values, nothing besides the two, no key for a bridge.
  HKEY hKey = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                          u"SYSTEM\\CurrentControlSet\\Control\\Network\\"
                          u"{4d36e972-e325-11ce-bfc1-08002be10318}\\enx0\\Connection",
                          0, KEY_READ, &hKey),
            ERROR_SUCCESS);
  WCHAR text[64] = {};
  DWORD type = 0;
  DWORD size = sizeof(text);
  ASSERT_EQ(RegQueryValueExW(hKey, u"PnpInstanceID", nullptr, &type, reinterpret_cast<BYTE*>(text),
                             &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(std::u16string(text), u"USB\\1-2:1.0");
  EXPECT_EQ(size, sizeof(u"USB\\1-2:1.0"));
  DWORD number = 0;
  size = sizeof(number);
  EXPECT_EQ(
      RegQueryValueExW(hKey, u"Name", nullptr, &type, reinterpret_cast<BYTE*>(&number), &size),
      ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCloseKey(hKey), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                          u"System\\CurrentControlSet\\Control\\Network\\"
                          u"{4D36E972-E325-11CE-BFC1-08002BE10318}\\br0\\Connection",
                          0, KEY_READ, &hKey),
            ERROR_FILE_NOT_FOUND);
}

// A later Ethernet adapter replaces the one taken only with a strictly lower class.
TEST_F(AdapterClassTest, WiredPciAdapterIsPreferred) {
  constexpr UINT kEthernet = MIB_IF_TYPE_ETHERNET;
  constexpr UINT kWireless = IF_TYPE_IEEE80211;
  EXPECT_EQ(Chosen({{"wlp2s0", kWireless, 1}, {"enx0", kEthernet, 2}, {"enp3s0", kEthernet, 3}}),
            3);
  EXPECT_EQ(Chosen({{"br0", kEthernet, 1}, {"enx0", kEthernet, 2}, {"wlx0", kWireless, 3}}), 2);
  EXPECT_EQ(Chosen({{"enp3s0", kEthernet, 1}, {"end0", kEthernet, 2}}), 1);
  EXPECT_EQ(Chosen({{"wlx0", kWireless, 1}, {"wlp2s0", kWireless, 2}}), 1);
}

}  // namespace
