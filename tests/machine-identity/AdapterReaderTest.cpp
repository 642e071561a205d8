// The adapter readers: the filter that picks one adapter, ipconfig's report read through a pipe,
// and this machine's real adapter found through the layer's built-in "iphlpapi.dll".

#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/stat.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "AdapterAddress.h"
#include "MACReaderEx.h"
#include "TestSupport.h"

namespace {

using MACReader3GEx::AdapterEntry;
using MACReader3GEx::CMACReaderEx;

AdapterEntry Entry(uint8_t lastByte, const std::string& description) {
  AdapterEntry entry;
  const uint8_t address[6] = {0x00, 0x1C, 0x42, 0x00, 0x00, lastByte};
  memcpy(entry.address, address, 6);
  entry.description = description;
  return entry;
}

// The machine's hardware addresses, loopback excluded.
std::set<std::string> MachineAddresses() {
  std::set<std::string> addresses;
  ifaddrs* pList = nullptr;
  if (getifaddrs(&pList) != 0) return addresses;
  for (ifaddrs* p = pList; p; p = p->ifa_next) {
    if (!p->ifa_addr || p->ifa_addr->sa_family != AF_PACKET || (p->ifa_flags & IFF_LOOPBACK)) {
      continue;
    }
    auto* pLink = reinterpret_cast<sockaddr_ll*>(p->ifa_addr);
    if (pLink->sll_halen != 6) continue;
    std::string address(reinterpret_cast<char*>(pLink->sll_addr), 6);
    if (address != std::string(6, '\0')) addresses.insert(address);
  }
  freeifaddrs(pList);
  return addresses;
}

// Filter stage 1 drops virtual and dial-up entries; stage 2 keeps the first primary one. Each
// runs only on two entries or more.
TEST(MACReaderExFilterTest, PrefersWiredOverWirelessAndDropsVirtual) {
  std::vector<AdapterEntry> entries = {Entry(1, "Brightwave Wireless-AC 90"),
                                       Entry(2, "Virtual Ethernet Adapter (vmware)"),
                                       Entry(3, "Ferrox PCIe GbE Family Controller")};
  uint32_t flags = 0;
  CMACReaderEx::Filter(&entries, &flags);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].address[5], 3);

  entries = {Entry(4, "Virtual Ethernet Adapter (vmware)")};
  CMACReaderEx::Filter(&entries, &flags);
  ASSERT_EQ(entries.size(), 1u);  // a single entry is never filtered
  EXPECT_EQ(entries[0].address[5], 4);

  entries = {Entry(5, "USB Ethernet"), Entry(6, "ferrox Wireless wlp2s0")};
  CMACReaderEx::Filter(&entries, &flags);
  ASSERT_EQ(entries.size(), 1u);  // all secondary: the first one
  EXPECT_EQ(entries[0].address[5], 5);
}

TEST(MACReaderExFilterTest, MatchesChineseWordsInUtf8AndOddAddresses) {
  AdapterEntry dest = Entry(9, "Ethernet");
  memcpy(dest.address, "DEST", 4);
  AdapterEntry ras = Entry(9, "Ethernet");
  memcpy(ras.address + 2, "RAS", 3);
  AdapterEntry zero = Entry(0, "Ethernet");
  memset(zero.address, 0, sizeof(zero.address));
  std::vector<AdapterEntry> entries = {dest,
                                       ras,
                                       zero,
                                       Entry(1, "\xE6\x97\xA0\xE7\xBA\xBF\xE7\xBD\x91\xE5\x8D\xA1"),
                                       Entry(2, "\xE8\x93\x9D\xE7\x89\x99 PAN"),
                                       Entry(3, "Onboard Ethernet")};
  uint32_t flags = 0;
  CMACReaderEx::Filter(&entries, &flags);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].address[5], 3);

  entries = {dest, zero};
  CMACReaderEx::Filter(&entries, &flags);
  EXPECT_EQ(entries.size(), 1u);  // stage 1 left nothing, so stage 2 chose from all
  EXPECT_TRUE(flags & CMACReaderEx::kFilterLeftNothing);
}

// ipconfig's report: a "Physical Address" after a "Description" makes an entry.
TEST(MACReaderExIpconfigTest, ParsesDescriptionAndAddressPairs) {
  const char* kReport =
      "Windows IP Configuration\r\n\r\n"
      "Ethernet adapter Local Area Connection:\r\n"
      "   Description . . . . . . . . . . . : Ferrox PCIe GbE\r\n"
      "   Physical Address. . . . . . . . . : 00-1C-42-AB-CD-EF\r\n"
      "Wireless LAN adapter:\r"
      "   Description . . . . . . . . . . . : Brightwave Wireless\n"
      "   Physical Address. . . . . . . . . : 0G-1C-42-AB-CD-EF\n"
      "   Description . . . . . . . . . . . : Tunnel\n"
      "   Physical Address. . . . . . . . . : 00-00-00-00-00-E0\n";
  std::vector<AdapterEntry> entries = CMACReaderEx::ParseIpconfigOutput(kReport);
  ASSERT_EQ(entries.size(), 2u);  // the malformed address is no entry
  const uint8_t first[8] = {0x00, 0x1C, 0x42, 0xAB, 0xCD, 0xEF, 0, 0};
  EXPECT_EQ(memcmp(entries[0].address, first, 8), 0);
  EXPECT_EQ(entries[0].description, "Ferrox PCIe GbE");
  EXPECT_EQ(entries[1].description, "Tunnel");

  const char* kGerman =
      "   Beschreibung. . . . . . . . . . . : Ferrox PCIe GbE\r\n"
      "   Physikalische Adresse . . . . . . : 00-1C-42-AB-CD-EF\r\n";
  EXPECT_TRUE(CMACReaderEx::ParseIpconfigOutput(kGerman).empty());
}

// The pipe: the reader sees the end of ipconfig's output and returns, which needs the parent's
// copies of the write ends closed after the start.
class IpconfigPipeTest : public mitest::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    const char* path = getenv("PATH");
    m_oldPath = path ? path : "";
  }
  void TearDown() override {
    setenv("PATH", m_oldPath.c_str(), 1);
    SandboxTest::TearDown();
  }
  std::string m_oldPath;
};

TEST_F(IpconfigPipeTest, ReadsAFakeIpconfigToTheEnd) {
  std::string bin = Root() + "/bin";
  mitest::WriteFileBytes(bin + "/ipconfig",
                         "#!/bin/sh\n"
                         "[ \"$1\" = /all ] || exit 3\n"
                         "printf '   Description . . : Wireless Thing\\r\\n'\n"
                         "printf '   Physical Address. : 02-00-00-00-00-01\\r\\n'\n"
                         "printf '   Description . . : Wired Thing\\r\\n'\n"
                         "printf '   Physical Address. : 02-00-00-00-00-02\\r\\n'\n");
  chmod((bin + "/ipconfig").c_str(), 0755);
  setenv("PATH", (bin + ":" + m_oldPath).c_str(), 1);

  CMACReaderEx reader;
  ASSERT_TRUE(reader.ReadFromIpconfig());
  ASSERT_EQ(reader.Entries().size(), 1u);
  EXPECT_EQ(reader.Entries()[0].address[5], 2);
  EXPECT_EQ(reader.Entries()[0].description, "Wired Thing");
}

TEST_F(IpconfigPipeTest, NoIpconfigMeansTheStepDidNotRun) {
  setenv("PATH", (Root() + "/empty").c_str(), 1);
  CMACReaderEx reader;
  EXPECT_FALSE(reader.ReadFromIpconfig());
  EXPECT_TRUE(reader.Entries().empty());
}

// The real adapter list through the layer's built-in module.
TEST(MACReaderExRealTest, FindsThisMachinesAdapter) {
  std::set<std::string> addresses = MachineAddresses();
  if (addresses.empty()) GTEST_SKIP() << "only loopback here";

  CMACReaderEx reader;
  ASSERT_TRUE(reader.ReadFromAdapterList()) << "flags " << reader.Flags();
  ASSERT_EQ(reader.Entries().size(), 1u);
  EXPECT_TRUE(
      addresses.count(std::string(reinterpret_cast<const char*>(reader.Entries()[0].address), 6)));

  uint8_t address[6];
  ASSERT_TRUE(ZyMacID::GetAdapterAddress(address));
  EXPECT_TRUE(addresses.count(std::string(reinterpret_cast<const char*>(address), 6)));
}

// Without the adapter list (and with no ipconfig on Linux) the reader falls through to NetBIOS.
TEST(MACReaderExRealTest, FallsBackToNetbiosWithoutIphlpapi) {
  std::set<std::string> addresses = MachineAddresses();
  if (addresses.empty()) GTEST_SKIP() << "only loopback here";
  setenv("LUMIDOCK_MISSING_MODULES", "iphlpapi.dll", 1);
  CMACReaderEx reader;
  bool found = reader.Read();
  unsetenv("LUMIDOCK_MISSING_MODULES");
  EXPECT_TRUE(reader.Flags() & CMACReaderEx::kLibraryNotLoaded);
  ASSERT_TRUE(found);
  EXPECT_TRUE(
      addresses.count(std::string(reinterpret_cast<const char*>(reader.Entries()[0].address), 6)));
}

}  // namespace
