// Phones (the simulator, in this process) upload to the library running in a host process of
// its own: whole folders, files already there, and every way an upload stops part way and
// resumes from the partial file.

#include <sys/mount.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "CServerSim.h"
#include "E2eTestSupport.h"

namespace uploads_e2e {
namespace {

namespace fs = std::filesystem;
using phonesim::FileOutcome;
using phonesim::FileResult;
using phonesim::UploadFileSpec;
using phonesim::UploadOptions;
using phonesim::UploadSummary;

constexpr int kEndWaitMs = 20000;
constexpr int64_t kBaseTimeMs = 1700000000123;

// Item errors the host reports when an upload ends without its last byte.
constexpr int kEndedIdle = 258;
constexpr int kEndedOffline = 10053;
constexpr int kEndedByFinish = 10054;
constexpr uint16_t kResultGeneral = 11001;
constexpr uint16_t kResultDiskFull = 11002;

UploadOptions Options(int window) {
  UploadOptions options;
  options.window = window;
  options.albumName = kAlbum;
  return options;
}

TEST_F(UploadE2eTest, TwoPhonesUploadFoldersThatArriveBitExactWithTheirTimes) {
  StartHost(DefaultKind());
  // Sizes around the AES block, the largest chunk (65459 with a short file id), the flush
  // threshold, and some ordinary photos in sub-folders; B gets its own set.
  const int64_t kEdges[] = {0,      1,      15,     16,     17,     65458,   65459,          65460,
                            130918, 200000, 524288, 524289, 524325, 1048579, 3 * 1048576 + 7};
  std::vector<UploadFileSpec> filesA;
  std::vector<UploadFileSpec> filesB;
  uint64_t seed = 100;
  for (int64_t size : kEdges) {
    ++seed;
    filesA.push_back(MakeSourceFile("a/edge-" + std::to_string(size) + ".jpg", size, seed,
                                    kBaseTimeMs + static_cast<int64_t>(seed) * 1001));
  }
  for (int i = 0; i < 25; ++i) {
    ++seed;
    const std::string folder = i % 3 == 0 ? "a/" : i % 3 == 1 ? "a/2024/" : "a/2024/trip/";
    filesA.push_back(MakeSourceFile(folder + "IMG_" + std::to_string(1000 + i) + ".jpg",
                                    static_cast<int64_t>((seed * 7919) % 400000), seed,
                                    kBaseTimeMs + static_cast<int64_t>(seed) * 777));
  }
  for (int i = 0; i < 20; ++i) {
    ++seed;
    filesB.push_back(MakeSourceFile("b/VID_" + std::to_string(i) + ".mp4",
                                    static_cast<int64_t>((seed * 104729) % 700000), seed,
                                    kBaseTimeMs - static_cast<int64_t>(seed) * 333));
  }

  // A under AES with a window of 8, B under XOR one chunk at a time, at the same moment.
  auto pPhoneA = ConnectPhone(kPhoneA, 2);
  auto pPhoneB = ConnectPhone(kPhoneB, 1);
  UploadSummary summaryA;
  UploadSummary summaryB;
  bool okB = false;
  std::thread phoneB([&] { okB = pPhoneB->UploadFolder(m_source + "/b", Options(1), &summaryB); });
  const bool okA = pPhoneA->UploadFolder(m_source + "/a", Options(8), &summaryA);
  phoneB.join();
  ASSERT_TRUE(okA) << pPhoneA->LastError();
  ASSERT_TRUE(okB) << pPhoneB->LastError();
  EXPECT_EQ(summaryA.counts.filesOk, static_cast<int32_t>(filesA.size()));
  EXPECT_EQ(summaryB.counts.filesOk, static_cast<int32_t>(filesB.size()));
  for (const FileResult& file : summaryA.files) EXPECT_EQ(file.outcome, FileOutcome::kInPlace);
  for (const FileResult& file : summaryB.files) EXPECT_EQ(file.outcome, FileOutcome::kInPlace);
  EXPECT_TRUE(pPhoneA->UploadFinish(summaryA.counts, 0, 0)) << pPhoneA->LastError();

  // Each file, and nothing else: no partial file left, no second copy under a numbered name.
  for (const auto& [phone, files] : {std::pair{kPhoneA, &filesA}, std::pair{kPhoneB, &filesB}}) {
    std::vector<std::string> expected;
    for (const UploadFileSpec& spec : *files) {
      const std::string relative =
          fs::path(spec.localPath)
              .lexically_relative(fs::path(m_source) / (phone == kPhoneA ? "a" : "b"));
      ExpectSameFile(spec, SavedPath(phone, kAlbum, relative));
      expected.push_back(relative);
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(ListFiles(m_backup + "/" + PhoneName(phone) + "/" + kAlbum), expected);
  }
}

// Peak resident memory of a process, from its status.
int64_t PeakResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtoll(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

// Two phones with 64 chunks each in flight: the host's memory stays bounded (what the phones
// send ahead waits in the sockets, not in the host) and every file arrives exact.
TEST_F(UploadE2eTest, SixtyFourChunksInFlightKeepMemoryBoundedAndFilesExact) {
  StartHost(DefaultKind());
  const int64_t peakAtStart = PeakResidentKiB(m_pHost->Pid());
  ASSERT_GT(peakAtStart, 0);
  std::vector<UploadFileSpec> files[2];
  for (int phone = 0; phone < 2; ++phone) {
    for (int i = 0; i < 4; ++i) {
      const std::string relative =
          std::string(phone == 0 ? "a" : "b") + "/big-" + std::to_string(i) + ".mp4";
      files[phone].push_back(
          MakeSourceFile(relative, 6 * 1048576 + i * 4099, 300 + phone * 10 + i, kBaseTimeMs + i));
    }
  }
  auto pPhoneA = ConnectPhone(kPhoneA, 2);
  auto pPhoneB = ConnectPhone(kPhoneB, 2);
  UploadSummary summaryA;
  UploadSummary summaryB;
  bool okB = false;
  std::thread phoneB([&] { okB = pPhoneB->UploadFolder(m_source + "/b", Options(64), &summaryB); });
  const bool okA = pPhoneA->UploadFolder(m_source + "/a", Options(64), &summaryA);
  phoneB.join();
  ASSERT_TRUE(okA) << pPhoneA->LastError();
  ASSERT_TRUE(okB) << pPhoneB->LastError();
  const int64_t peak = PeakResidentKiB(m_pHost->Pid());
  std::printf("window 64: host peak resident %lld KiB (%lld at start)\n",
              static_cast<long long>(peak), static_cast<long long>(peakAtStart));
#ifndef __SANITIZE_ADDRESS__
  // The address sanitizer keeps freed memory aside for a while: no bound means anything there.
  EXPECT_LT(peak - peakAtStart, 48 * 1024);
#endif
  for (int phone = 0; phone < 2; ++phone) {
    for (const UploadFileSpec& spec : files[phone]) {
      const std::string relative =
          fs::path(spec.localPath).lexically_relative(fs::path(m_source) / (phone ? "b" : "a"));
      ExpectSameFile(spec, SavedPath(phone ? kPhoneB : kPhoneA, kAlbum, relative));
    }
  }
}

// Each phone connection holds a descriptor: the host runs with its soft limit at the hard one,
// whatever it was started with.
TEST_F(UploadE2eTest, HostRaisesItsDescriptorLimitToTheHardOne) {
  if (DefaultKind() != HostKind::kOrbalynHost) GTEST_SKIP() << "orbalyn-host is not built";
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_max <= 256) GTEST_SKIP() << "hard limit " << limit.rlim_max;
  const rlimit ours = limit;
  limit.rlim_cur = 256;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
  StartHost(HostKind::kOrbalynHost);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &ours), 0);
  std::ifstream limits("/proc/" + std::to_string(m_pHost->Pid()) + "/limits");
  std::string line;
  while (std::getline(limits, line) && line.rfind("Max open files", 0) != 0) {
  }
  std::istringstream fields(line.substr(std::strlen("Max open files")));
  unsigned long long soft = 0;
  unsigned long long hard = 0;
  fields >> soft >> hard;
  EXPECT_EQ(soft, static_cast<unsigned long long>(ours.rlim_max)) << line;
  EXPECT_EQ(hard, static_cast<unsigned long long>(ours.rlim_max)) << line;
}

TEST_F(UploadE2eTest, FileAlreadyThereIsNotSentAgain) {
  StartHost(DefaultKind());
  std::vector<UploadFileSpec> files;
  for (int i = 0; i < 3; ++i) {
    files.push_back(MakeSourceFile("once/IMG_" + std::to_string(i) + ".jpg", 150000 + i * 1000,
                                   500 + i, kBaseTimeMs + i));
  }
  {
    auto pPhone = ConnectPhone(kPhoneA);
    UploadSummary summary;
    ASSERT_TRUE(pPhone->UploadFolder(m_source + "/once", Options(8), &summary))
        << pPhone->LastError();
  }
  const std::string first = SavedPath(kPhoneA, kAlbum, "IMG_0.jpg");
  ASSERT_EQ(FileSize(first), files[0].size);
  const int64_t firstMtime = MtimeMs(first);

  // The same files again, on a new connection: every one is answered need_upload=false.
  auto pPhone = ConnectPhone(kPhoneA);
  UploadSummary again;
  ASSERT_TRUE(pPhone->UploadFolder(m_source + "/once", Options(8), &again)) << pPhone->LastError();
  ASSERT_EQ(again.files.size(), files.size());
  for (const FileResult& file : again.files) {
    EXPECT_EQ(file.outcome, FileOutcome::kSkipped) << file.phonePath;
    EXPECT_EQ(file.bytesSent, 0);
  }
  EXPECT_EQ(MtimeMs(first), firstMtime);

  // A copy the user put there by hand (same size and time) counts as the same file too.
  const std::string placed = SavedPath(kPhoneB, kAlbum, "IMG_0.jpg");
  ASSERT_TRUE(WritePseudoRandomFile(placed, files[0].size, 500, files[0].timestampMs));
  auto pPhoneB = ConnectPhone(kPhoneB);
  UploadFileSpec spec = files[0];
  spec.subPath.clear();
  spec.phonePath = std::string("/sdcard/DCIM/") + kAlbum + "/IMG_0.jpg";
  const FileResult skipped = pPhoneB->UploadFile(spec, Options(8));
  EXPECT_EQ(skipped.outcome, FileOutcome::kSkipped) << skipped.error;
  EXPECT_EQ(ListFiles(m_backup + "/" + PhoneName(kPhoneB)),
            std::vector<std::string>{std::string(kAlbum) + "/IMG_0.jpg"});
}

TEST_F(UploadE2eTest, FinishCommandEndsTheFileAndTheNextAnnouncementResumesIt) {
  StartHost(DefaultKind());
  const UploadFileSpec spec =
      MakeSourceFile("finish/IMG_6012.jpg", 3 * 1048576 + 5, 6012, kBaseTimeMs + 6012);
  const std::string saved = SavedPath(kPhoneA, kAlbum, "finish/IMG_6012.jpg");
  constexpr int64_t kHeld = 1100003;
  auto pPhone = ConnectPhone(kPhoneA);
  Announced first;
  ASSERT_TRUE(Announce(pPhone.get(), spec, &first)) << pPhone->LastError();
  ASSERT_TRUE(first.needUpload);
  ASSERT_EQ(first.startPosition, 0);
  uint16_t result = 0;
  ASSERT_TRUE(SendChunks(pPhone.get(), spec, first, 0, kHeld, &result)) << pPhone->LastError();
  ASSERT_EQ(result, 0);

  const size_t mark = m_pHost->Process().LineCount();
  ASSERT_TRUE(pPhone->UploadFinish(phonesim::BatchCounts{1, 0, 1, 0, 0, 0, 0}, 1, 0))
      << pPhone->LastError();
  ASSERT_TRUE(m_pHost->WaitForUploadEnd(kEndedByFinish, mark, kEndWaitMs));
  // The partial file stays: the bytes received and the 36-byte trailer counting them.
  EXPECT_EQ(FileSize(saved + ".pdl"), kHeld + 36);
  EXPECT_EQ(FileSize(saved), -1);

  // The ended file's chunks are refused; a new announcement resumes at the bytes held.
  ASSERT_TRUE(SendChunks(pPhone.get(), spec, first, kHeld, kHeld + 1000, &result));
  EXPECT_EQ(result, kResultGeneral);
  const FileResult resumed = pPhone->UploadFile(spec, Options(8));
  EXPECT_EQ(resumed.outcome, FileOutcome::kInPlace) << resumed.error;
  EXPECT_NE(resumed.fileId, first.fileId);
  EXPECT_EQ(resumed.startPosition, kHeld);
  EXPECT_EQ(resumed.bytesSent, spec.size - kHeld);
  ExpectSameFile(spec, saved);
  EXPECT_EQ(FileSize(saved + ".pdl"), -1);
}

TEST_F(UploadE2eTest, CutConnectionEndsTheFileAndAReconnectedPhoneResumesIt) {
  StartHost(DefaultKind());
  const UploadFileSpec acked = MakeSourceFile("cut/acked.jpg", 4 * 1048576 + 77, 71, kBaseTimeMs);
  const UploadFileSpec inFlight =
      MakeSourceFile("cut/in-flight.jpg", 2 * 1048576 + 9, 72, kBaseTimeMs + 9);

  // Closed once 1,500,007 bytes are acknowledged.
  size_t mark = m_pHost->Process().LineCount();
  auto pPhone = ConnectPhone(kPhoneA);
  UploadOptions stopAt = Options(8);
  stopAt.stopAtBytes = 1500007;
  FileResult stopped = pPhone->UploadFile(acked, stopAt);
  ASSERT_EQ(stopped.outcome, FileOutcome::kStopped) << stopped.error;
  ASSERT_EQ(stopped.bytesAcked, 1500007);
  ASSERT_TRUE(m_pHost->WaitForUploadEnd(kEndedOffline, mark, kEndWaitMs));
  pPhone = ConnectPhone(kPhoneA);
  FileResult resumed = pPhone->UploadFile(acked, Options(8));
  EXPECT_EQ(resumed.outcome, FileOutcome::kInPlace) << resumed.error;
  EXPECT_NE(resumed.fileId, stopped.fileId);
  EXPECT_EQ(resumed.startPosition, 1500007);
  ExpectSameFile(acked, SavedPath(kPhoneA, kAlbum, "cut/acked.jpg"));

  // Closed with eight chunks unanswered: the PC holds at least what it acknowledged and at
  // most what was sent, and the phone goes on from what the PC says.
  mark = m_pHost->Process().LineCount();
  stopAt.stopAtBytes = 900000;
  stopAt.stopWhenSent = true;
  stopped = pPhone->UploadFile(inFlight, stopAt);
  ASSERT_EQ(stopped.outcome, FileOutcome::kStopped) << stopped.error;
  ASSERT_TRUE(m_pHost->WaitForUploadEnd(kEndedOffline, mark, kEndWaitMs));
  pPhone = ConnectPhone(kPhoneA);
  resumed = pPhone->UploadFile(inFlight, Options(8));
  EXPECT_EQ(resumed.outcome, FileOutcome::kInPlace) << resumed.error;
  EXPECT_GE(resumed.startPosition, stopped.bytesAcked);
  EXPECT_LE(resumed.startPosition, stopped.bytesSent);
  ExpectSameFile(inFlight, SavedPath(kPhoneA, kAlbum, "cut/in-flight.jpg"));
  EXPECT_EQ(ListFiles(m_backup + "/" + PhoneName(kPhoneA) + "/" + kAlbum + "/cut"),
            (std::vector<std::string>{"acked.jpg", "in-flight.jpg"}));
}

TEST_F(UploadE2eTest, FileOfAPhoneStillReachableWaitsAndEndsWhenItGoesOfflineBothWays) {
  if (DefaultKind() != HostKind::kOrbalynHost) {
    GTEST_SKIP() << "a phone is reachable through the server only with orbalyn-host";
  }
  StartHost(HostKind::kOrbalynHost);
  const UploadFileSpec spec = MakeSourceFile("away/VID_1.mp4", 5 * 1048576 + 3, 81, kBaseTimeMs);
  const std::string saved = SavedPath(kPhoneA, kAlbum, "away/VID_1.mp4");
  const std::string phoneId = std::to_string(kPhoneA);
  CChildProcess& host = m_pHost->Process();

  // Reachable through the server: losing the local connection does not end the file.
  size_t mark = host.LineCount();
  m_pHost->Server()->SetPhoneOnline(kPhoneA, true, true);
  ASSERT_TRUE(host.WaitForLine("logic device_remote_state value=2 id=" + phoneId, kEndWaitMs,
                               nullptr, mark));
  mark = host.LineCount();
  auto pPhone = ConnectPhone(kPhoneA);
  UploadOptions stopAt = Options(8);
  stopAt.stopAtBytes = 1000001;
  const FileResult stopped = pPhone->UploadFile(spec, stopAt);
  ASSERT_EQ(stopped.outcome, FileOutcome::kStopped) << stopped.error;
  ASSERT_TRUE(host.WaitForLine("logic device_local_state value=1 id=" + phoneId, kEndWaitMs,
                               nullptr, mark));

  // Back within the idle period: the same live file, at the same place.
  pPhone = ConnectPhone(kPhoneA);
  Announced live;
  ASSERT_TRUE(Announce(pPhone.get(), spec, &live)) << pPhone->LastError();
  EXPECT_EQ(live.fileId, stopped.fileId);
  EXPECT_EQ(live.startPosition, 1000001);
  uint16_t result = 0;
  ASSERT_TRUE(SendChunks(pPhone.get(), spec, live, live.startPosition, 2500000, &result));
  ASSERT_EQ(result, 0);
  mark = host.LineCount();
  pPhone->Disconnect();
  ASSERT_TRUE(host.WaitForLine("logic device_local_state value=1 id=" + phoneId, kEndWaitMs,
                               nullptr, mark));

  // The server says it is gone too: offline both ways, the file ends and keeps its bytes.
  m_pHost->Server()->SetPhoneOnline(kPhoneA, false, true);
  ASSERT_TRUE(m_pHost->WaitForUploadEnd(kEndedOffline, mark, kEndWaitMs));
  EXPECT_EQ(FileSize(saved + ".pdl"), 2500000 + 36);
  pPhone = ConnectPhone(kPhoneA);
  const FileResult resumed = pPhone->UploadFile(spec, Options(8));
  EXPECT_EQ(resumed.outcome, FileOutcome::kInPlace) << resumed.error;
  EXPECT_NE(resumed.fileId, live.fileId);
  EXPECT_EQ(resumed.startPosition, 2500000);
  ExpectSameFile(spec, saved);
}

TEST_F(UploadE2eTest, IdleFileEndsAndTheNextAnnouncementResumesIt) {
  // Only the test host lets the idle period shrink (100 ms wake, 1 s idle).
  StartHost(HostKind::kTestHost, {"UPLOADS_E2E_UPLOAD_PERIODS=100:1000"});
  const UploadFileSpec spec = MakeSourceFile("idle/IMG_258.jpg", 2 * 1048576 + 1, 258, kBaseTimeMs);
  const std::string saved = SavedPath(kPhoneA, kAlbum, "idle/IMG_258.jpg");
  constexpr int64_t kHeld = 700000;
  auto pPhone = ConnectPhone(kPhoneA);
  Announced first;
  ASSERT_TRUE(Announce(pPhone.get(), spec, &first)) << pPhone->LastError();
  uint16_t result = 0;
  const size_t mark = m_pHost->Process().LineCount();
  ASSERT_TRUE(SendChunks(pPhone.get(), spec, first, 0, kHeld, &result));
  ASSERT_EQ(result, 0);

  // The connection stays open and quiet: the file ends on its own.
  ASSERT_TRUE(m_pHost->WaitForUploadEnd(kEndedIdle, mark, kEndWaitMs));
  EXPECT_EQ(FileSize(saved + ".pdl"), kHeld + 36);
  ASSERT_TRUE(SendChunks(pPhone.get(), spec, first, kHeld, kHeld + 100, &result));
  EXPECT_EQ(result, kResultGeneral);
  Announced again;
  ASSERT_TRUE(Announce(pPhone.get(), spec, &again)) << pPhone->LastError();
  EXPECT_NE(again.fileId, first.fileId);
  EXPECT_EQ(again.startPosition, kHeld);
  ASSERT_TRUE(SendChunks(pPhone.get(), spec, again, kHeld, spec.size, &result));
  EXPECT_EQ(result, 0);
  ExpectSameFile(spec, saved);
  EXPECT_EQ(FileSize(saved + ".pdl"), -1);
}

TEST_F(UploadE2eTest, CutPartialFileResumesAndAFileWithoutTrailerKeepsItsNameUnlessEmpty) {
  // What a kill in the middle of a chunk's write leaves: the bytes held and their trailer, then
  // part of the next chunk. The file resumes at the trailer's count, under its own name.
  StartHost(DefaultKind());
  const int64_t held = 4096 * 77;
  const UploadFileSpec cut = MakeSourceFile("cut/IMG_7.jpg", 1048576 + 11, 7, kBaseTimeMs);
  const std::string saved = SavedPath(kPhoneA, kAlbum, "cut/IMG_7.jpg");
  std::string source(static_cast<size_t>(cut.size), '\0');
  {
    std::ifstream in(cut.localPath, std::ios::binary);
    in.read(source.data(), static_cast<std::streamsize>(source.size()));
  }
  std::string trailer(36, '\0');
  const uint64_t fields[4] = {static_cast<uint64_t>(cut.size),
                              static_cast<uint64_t>(cut.timestampMs), static_cast<uint64_t>(held),
                              0};
  for (int field = 0; field < 4; ++field) {
    for (int i = 0; i < 8; ++i)
      trailer[field * 8 + i] = static_cast<char>(fields[field] >> (8 * i));
  }
  trailer.replace(32, 4, "truf");
  fs::create_directories(fs::path(saved).parent_path());
  {
    std::ofstream out(saved + ".pdl", std::ios::binary);
    out << source.substr(0, held) << trailer << source.substr(held + 36, 5000);
  }
  auto pPhone = ConnectPhone(kPhoneA);
  const FileResult resumed = pPhone->UploadFile(cut, Options(8));
  EXPECT_EQ(resumed.outcome, FileOutcome::kInPlace) << resumed.error;
  EXPECT_EQ(resumed.startPosition, held);
  EXPECT_EQ(ListFiles(fs::path(saved).parent_path().string()),
            std::vector<std::string>{"IMG_7.jpg"});
  if (FileSize(saved) >= 0) ExpectSameFile(cut, saved);

  // Bytes with no trailer at all are no partial file of ours: left alone, the name is taken.
  const UploadFileSpec other = MakeSourceFile("other/IMG_8.jpg", 70000, 8, kBaseTimeMs);
  const std::string otherSaved = SavedPath(kPhoneA, kAlbum, "other/IMG_8.jpg");
  ASSERT_TRUE(WritePseudoRandomFile(otherSaved + ".pdl", 4096 * 3, 8, kBaseTimeMs));
  const std::string before = Sha256OfFile(otherSaved + ".pdl");
  const FileResult numbered = pPhone->UploadFile(other, Options(8));
  EXPECT_EQ(numbered.outcome, FileOutcome::kInPlace) << numbered.error;
  EXPECT_EQ(Sha256OfFile(otherSaved + ".pdl"), before);
  const std::string folder = fs::path(otherSaved).parent_path().string();
  EXPECT_EQ(ListFiles(folder), (std::vector<std::string>{"IMG_8(1).jpg", "IMG_8.jpg.pdl"}));
  ExpectSameFile(other, folder + "/IMG_8(1).jpg");

  // An empty one (a kill between its opening and its first trailer) holds nothing to keep: the
  // file is sent again from 0 under its own name.
  const UploadFileSpec empty = MakeSourceFile("empty/IMG_9.jpg", 70000, 9, kBaseTimeMs);
  const std::string emptySaved = SavedPath(kPhoneA, kAlbum, "empty/IMG_9.jpg");
  ASSERT_TRUE(WritePseudoRandomFile(emptySaved + ".pdl", 0, 9, kBaseTimeMs));
  const FileResult again = pPhone->UploadFile(empty, Options(8));
  EXPECT_EQ(again.outcome, FileOutcome::kInPlace) << again.error;
  EXPECT_EQ(again.startPosition, 0);
  EXPECT_EQ(ListFiles(fs::path(emptySaved).parent_path().string()),
            std::vector<std::string>{"IMG_9.jpg"});
  ExpectSameFile(empty, emptySaved);
}

TEST_F(UploadE2eTest, FullDiskAnswersDiskFullAndLeavesNoFileUnderTheFinalName) {
  const std::string small = m_root + "/small";
  fs::create_directories(small);
  if (mount("tmpfs", small.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=1m") != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs here: " << std::strerror(errno);
  }
  StartHost(DefaultKind(), {}, small + "/backup");
  const UploadFileSpec spec = MakeSourceFile("full/VID_big.mp4", 3 * 1048576, 112, kBaseTimeMs);
  auto pPhone = ConnectPhone(kPhoneA);
  const FileResult failed = pPhone->UploadFile(spec, Options(8));
  EXPECT_EQ(failed.outcome, FileOutcome::kFailed);
  EXPECT_FALSE(failed.fatal) << failed.error;
  EXPECT_EQ(failed.result, kResultDiskFull) << failed.error;
  EXPECT_EQ(FileSize(SavedPath(kPhoneA, kAlbum, "full/VID_big.mp4")), -1);
  // The connection is still good for the next command.
  EXPECT_TRUE(pPhone->Heartbeat()) << pPhone->LastError();
  pPhone.reset();
  EXPECT_TRUE(m_pHost->Stop());
  umount2(small.c_str(), MNT_DETACH);
}

}  // namespace
}  // namespace uploads_e2e
