// The machine GUID: the cache file's rules, its lock against concurrent rewrites, and the
// section shared by the processes of one image (played by runs of the helper program).

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "Md5.h"
#include "SeqIDGenerator.h"
#include "TestSupport.h"

namespace {

using ZyMacID::CMd5;

class MachineGuidTest : public mitest::SandboxTest {
 protected:
  static ZyMacID::MachineInputs SampleInputs() {
    ZyMacID::MachineInputs inputs;
    const uint8_t address[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0xAB};
    memcpy(inputs.address, address, 6);
    inputs.diskOk = true;
    inputs.disk = {"S123", "Model", "1.0"};
    inputs.brandOk = true;
    inputs.brand = "Sample CPU @ 3.00GHz";
    return inputs;
  }
  static std::string Derive(const ZyMacID::MachineInputs& inputs) {
    uint8_t guid[16];
    ZyMacID::DeriveMachineGuid(inputs, guid);
    return CMd5::ToHex(guid);
  }
  static std::string CacheText(const std::string& config1, const std::string& config2,
                               const std::string& config3, const std::string& config4,
                               const std::string& config5) {
    return "[Profile]\r\nconfig1=" + config1 + "\r\nconfig2=" + config2 + "\r\nconfig3=" + config3 +
           "\r\nconfig4=" + config4 + "\r\nconfig5=" + config5 + "\r\n";
  }

  const std::string kAddressHash = CMd5::HexDigest("0011223344ab");
  const std::string kDiskHash = CMd5::HexDigest("S123Model1.0");
  const std::string kCpuHash = CMd5::HexDigest("Sample CPU @ 3.00GHz");
  const std::string kFakeGuid = "00112233445566778899aabbccddeeff";
};

// Cache round trip: derived from address and disk text, written whole, then read back.
TEST_F(MachineGuidTest, CacheRoundTrips) {
  std::string expected = CMd5::HexDigest("0011223344abS123Model1.0");
  EXPECT_EQ(Derive(SampleInputs()), expected);
  std::string written = mitest::ReadFileBytes(CachePath());
  EXPECT_EQ(written, CacheText(expected, kAddressHash, kDiskHash, kCpuHash, "1"));

  mitest::WriteFileBytes(CachePath(), CacheText(kFakeGuid, kAddressHash, kDiskHash, kCpuHash, "1"));
  EXPECT_EQ(Derive(SampleInputs()), kFakeGuid);  // a valid cache wins over the inputs
  EXPECT_EQ(mitest::ReadFileBytes(CachePath()),
            CacheText(kFakeGuid, kAddressHash, kDiskHash, kCpuHash, "1"));
}

// Validation edges: what keeps a cached GUID and what makes a new one.
TEST_F(MachineGuidTest, CacheValidationEdges) {
  std::string derived = CMd5::HexDigest("0011223344abS123Model1.0");
  ZyMacID::MachineInputs noDisk = SampleInputs();
  noDisk.diskOk = false;

  // Same processor and address hash: kept even though the disk now fails.
  mitest::WriteFileBytes(CachePath(), CacheText(kFakeGuid, kAddressHash, kDiskHash, kCpuHash, "1"));
  EXPECT_EQ(Derive(noDisk), kFakeGuid);

  // Another processor: derived again and rewritten.
  mitest::WriteFileBytes(CachePath(),
                         CacheText(kFakeGuid, kAddressHash, kDiskHash, CMd5::HexDigest("x"), "1"));
  EXPECT_EQ(Derive(SampleInputs()), derived);
  EXPECT_EQ(mitest::ReadFileBytes(CachePath()),
            CacheText(derived, kAddressHash, kDiskHash, kCpuHash, "1"));

  // A config1 of 31 characters, of 33, or with a non-hex digit is no GUID.
  for (const std::string& bad :
       {kFakeGuid.substr(0, 31), kFakeGuid + "0", "zz" + kFakeGuid.substr(2)}) {
    mitest::WriteFileBytes(CachePath(), CacheText(bad, kAddressHash, kDiskHash, kCpuHash, "1"));
    EXPECT_EQ(Derive(SampleInputs()), derived) << bad;
  }

  // Written by an older version without a disk hash: the processor text joins the derivation.
  mitest::WriteFileBytes(CachePath(), CacheText(kFakeGuid, kAddressHash, "", kCpuHash, "0"));
  std::string withCpu = CMd5::HexDigest("0011223344abSample CPU @ 3.00GHz");
  EXPECT_EQ(Derive(noDisk), withCpu);
  EXPECT_EQ(mitest::ReadFileBytes(CachePath()),
            CacheText(withCpu, kAddressHash, "", kCpuHash, "1"));
  EXPECT_EQ(Derive(noDisk), withCpu);  // and from then on comes from the cache
}

TEST_F(MachineGuidTest, NoCacheFolderStillGivesTheGuid) {
  mitest::WriteFileBytes(Root() + "/appdata/Corvane", "a file where the folder should be");
  EXPECT_EQ(Derive(SampleInputs()), CMd5::HexDigest("0011223344abS123Model1.0"));
  EXPECT_FALSE(std::filesystem::exists(CachePath()));
}

// Derivers racing on one stale cache: the file lock makes every one of them read a whole file,
// so they all end with the same GUID (a reader that saw the file cut mid-rewrite would derive
// without the processor text).
TEST_F(MachineGuidTest, ConcurrentDerivationsFromStaleCacheAgree) {
  ZyMacID::MachineInputs noDisk = SampleInputs();
  noDisk.diskOk = false;
  std::string expected = CMd5::HexDigest("0011223344abSample CPU @ 3.00GHz");
  for (int round = 0; round < 20; ++round) {
    mitest::WriteFileBytes(CachePath(), CacheText(kFakeGuid, kAddressHash, "", kCpuHash, "0"));
    std::vector<std::string> results(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < results.size(); ++i) {
      threads.emplace_back([&results, &noDisk, i] { results[i] = Derive(noDisk); });
    }
    for (std::thread& t : threads) t.join();
    for (const std::string& r : results) ASSERT_EQ(r, expected) << "round " << round;
  }
}

// One image, several processes: the GUID is stable across runs, shared while a process of the
// image holds it (even against a changed cache), and made afresh once they have all ended.
TEST_F(MachineGuidTest, SharedByTheProcessesOfOneImage) {
  std::string first = mitest::RunHelper({"guid"}, Root());
  ASSERT_EQ(first.size(), 32u);
  EXPECT_EQ(mitest::RunHelper({"guid"}, Root()), first);

  // The same machine derives the same GUID in-process from a fresh cache.
  std::string other = Root() + "/other";
  setenv("LUMIDOCK_ROOT", other.c_str(), 1);
  uint8_t guid[16];
  ZyMacID::DeriveMachineGuid(ZyMacID::ReadMachineInputs(), guid);
  setenv("LUMIDOCK_ROOT", Root().c_str(), 1);
  EXPECT_EQ(CMd5::ToHex(guid), first);

  std::string cache = mitest::ReadFileBytes(CachePath());
  size_t at = cache.find(first);
  ASSERT_NE(at, std::string::npos);
  cache.replace(at, 32, kFakeGuid);
  mitest::WriteFileBytes(CachePath(), cache);
  {
    mitest::HelperProcess holder({"hold"}, Root());
    ASSERT_EQ(holder.ReadLine(), kFakeGuid);
    std::filesystem::remove(CachePath());
    EXPECT_EQ(mitest::RunHelper({"guid"}, Root()), kFakeGuid);  // from the section, not the cache
    int status = holder.Finish();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(mitest::RunHelper({"guid"}, Root()), first);  // the section went with its processes
}

// A process that dies while deriving leaves the section "being made"; the next one must not
// wait for it forever but derive again.
TEST_F(MachineGuidTest, DeadDeriverDoesNotWedgeTheOthers) {
  std::string expected = mitest::RunHelper({"guid"}, Root());
  ASSERT_EQ(expected.size(), 32u);
  {
    mitest::HelperProcess dying({"die-deriving"}, Root());
    ASSERT_EQ(dying.ReadLine(), "locked");
    int status = dying.Finish();
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  }
  EXPECT_EQ(mitest::RunHelper({"guid"}, Root()), expected);
  EXPECT_EQ(mitest::RunHelper({"guid"}, Root()), expected);
}

}  // namespace
