// The library's host process is killed (SIGKILL) at random points of an upload, then started
// again; the phone resumes from what the PC says it holds. Every file must end bit-exact, and
// no file may ever stand under its final name with less than its whole content.

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>

#include "E2eTestSupport.h"

namespace uploads_e2e {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using phonesim::FileOutcome;
using phonesim::FileResult;
using phonesim::UploadFileSpec;

constexpr int kRounds = 20;
constexpr int64_t kMinSize = 8 * 1048576;
constexpr int kKillWaitMs = 20000;

enum class KillAt { kPartialBytes, kRandomTime, kFinalName };

// What was seen under the final name while a round ran.
struct FinalNameWatch {
  std::atomic<bool> stop{false};
  int createdInPlace = 0;  // a file made under the final name, not renamed there
  int renamedInPlace = 0;
  int shortSightings = 0;  // stat found it with fewer bytes than the whole file
  int64_t shortestSeen = -1;
};

// inotify tells how names appear; stat tells what a name shows at a moment. Paced by poll on
// the inotify descriptor with a 1 ms bound, until told to stop.
void WatchFinalName(const std::string& folder, const std::string& name, int64_t size,
                    FinalNameWatch* pWatch) {
  const int hNotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  const int watch =
      hNotify >= 0 ? inotify_add_watch(hNotify, folder.c_str(), IN_CREATE | IN_MOVED_TO) : -1;
  const std::string path = folder + "/" + name;
  alignas(inotify_event) char buffer[8192];
  while (!pWatch->stop.load()) {
    if (watch >= 0) {
      pollfd entry = {hNotify, POLLIN, 0};
      if (poll(&entry, 1, 1) > 0) {
        const ssize_t n = read(hNotify, buffer, sizeof(buffer));
        for (ssize_t offset = 0; offset < n;) {
          const auto* pEvent = reinterpret_cast<const inotify_event*>(buffer + offset);
          if (pEvent->len > 0 && name == pEvent->name) {
            if (pEvent->mask & IN_CREATE) ++pWatch->createdInPlace;
            if (pEvent->mask & IN_MOVED_TO) ++pWatch->renamedInPlace;
          }
          offset += static_cast<ssize_t>(sizeof(inotify_event) + pEvent->len);
        }
      }
    }
    const int64_t seen = FileSize(path);
    if (seen >= 0 && seen != size) {
      ++pWatch->shortSightings;
      pWatch->shortestSeen = seen;
    }
  }
  if (hNotify >= 0) close(hNotify);
}

TEST_F(UploadE2eTest, HostKilledAtRandomPointsResumesToBitExactFilesNeverShownPartial) {
  StartHost(DefaultKind());
  uint64_t seed = 20240611;
  if (const char* pSeed = getenv("UPLOADS_E2E_SEED")) seed = std::strtoull(pSeed, nullptr, 10);
  std::printf("crash rounds: seed %llu, host %s\n", static_cast<unsigned long long>(seed),
              CUploadHostRunner::KindName(DefaultKind()));
  std::mt19937_64 random(seed);
  const std::string folder = SavedPath(kPhoneA, kAlbum, "crash");
  fs::create_directories(folder);

  int kills = 0;
  int restartsFromZero = 0;
  int resumes = 0;
  int64_t resentTotal = 0;
  int64_t resentMax = 0;
  for (int round = 0; round < kRounds; ++round) {
    const std::string name = "round-" + std::to_string(round) + ".bin";
    const int64_t size =
        kMinSize + static_cast<int64_t>(random() % (8 * 1048576)) + static_cast<int64_t>(round);
    const UploadFileSpec spec =
        MakeSourceFile("crash/" + name, size, seed + round, 1600000000000 + round * 60007);
    const std::string saved = folder + "/" + name;
    const KillAt killAt = round % 5 < 3    ? KillAt::kPartialBytes
                          : round % 5 == 3 ? KillAt::kRandomTime
                                           : KillAt::kFinalName;
    const int64_t threshold = static_cast<int64_t>(random() % static_cast<uint64_t>(size));
    const auto delay = std::chrono::microseconds(1000 + random() % 60000);

    FinalNameWatch watch;
    std::thread watcher(WatchFinalName, folder, name, size, &watch);
    std::atomic<bool> phoneDone{false};
    const Clock::time_point start = Clock::now();
    std::thread killer([&] {
      const Clock::time_point deadline = start + std::chrono::milliseconds(kKillWaitMs);
      while (Clock::now() < deadline) {
        const bool hit =
            phoneDone.load() || FileSize(saved) >= 0 ||
            (killAt == KillAt::kPartialBytes && FileSize(saved + ".pdl") >= threshold) ||
            (killAt == KillAt::kRandomTime && Clock::now() - start >= delay);
        if (hit) break;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
      m_pHost->Kill();
    });
    phonesim::UploadOptions options;
    options.window = 8;
    options.albumName = kAlbum;
    auto pPhone = ConnectPhone(kPhoneA);
    const FileResult first = pPhone->UploadFile(spec, options);
    phoneDone.store(true);
    killer.join();
    ++kills;
    pPhone.reset();

    const int64_t confirmed = first.startPosition + first.bytesAcked;
    const int64_t sent = first.startPosition + first.bytesSent;
    const bool inPlaceBefore = FileSize(saved) == size;
    const int64_t partialBefore = FileSize(saved + ".pdl");
    std::string error;
    const bool restarted = m_pHost->Start(&error);
    FileResult resumed;
    if (restarted) {
      pPhone = ConnectPhone(kPhoneA);
      resumed = pPhone->UploadFile(spec, options);
    }
    watch.stop.store(true);
    watcher.join();
    ASSERT_TRUE(restarted) << "round " << round << ": " << error;

    SCOPED_TRACE("round " + std::to_string(round) + ", size " + std::to_string(size) +
                 ", confirmed " + std::to_string(confirmed) + ", sent " + std::to_string(sent) +
                 ", partial file " + std::to_string(partialBefore));
    if (inPlaceBefore) {
      EXPECT_EQ(resumed.outcome, FileOutcome::kSkipped) << resumed.error;
    } else {
      ASSERT_EQ(resumed.outcome, FileOutcome::kInPlace) << resumed.error;
      // From the PC's own count: never behind what it acknowledged, unless the partial file's
      // trailer was torn by the kill and it starts over; never ahead of what was sent.
      EXPECT_LE(resumed.startPosition, sent);
      if (resumed.startPosition == 0 && confirmed > 0) {
        ++restartsFromZero;
      } else {
        EXPECT_GE(resumed.startPosition, confirmed);
        ++resumes;
        resentTotal += sent - resumed.startPosition;
        resentMax = std::max(resentMax, sent - resumed.startPosition);
      }
    }
    EXPECT_EQ(watch.createdInPlace, 0);
    EXPECT_LE(watch.renamedInPlace, 1);
    EXPECT_EQ(watch.shortSightings, 0) << "seen with " << watch.shortestSeen << " bytes";
    // One whole copy of the file under its own name and nothing else: a kill in the middle of
    // a chunk's write still leaves a trailer that counts, so the file is never set aside.
    std::vector<std::string> ofRound;
    for (const std::string& file : ListFiles(folder)) {
      if (file.rfind("round-" + std::to_string(round) + ".", 0) == 0 ||
          file.rfind("round-" + std::to_string(round) + "(", 0) == 0) {
        ofRound.push_back(file);
      }
    }
    if (ofRound.size() == 1 && ofRound[0] == name) {
      ExpectSameFile(spec, saved);
    } else {
      ADD_FAILURE() << "files of the round: " << testing::PrintToString(ofRound);
    }
  }
  std::printf(
      "crash rounds: %d kills; %d resumed from the bytes held, re-sending %lld bytes on "
      "average and %lld at most; %d started over\n",
      kills, resumes, static_cast<long long>(resumes > 0 ? resentTotal / resumes : 0),
      static_cast<long long>(resentMax), restartsFromZero);
}

}  // namespace
}  // namespace uploads_e2e
