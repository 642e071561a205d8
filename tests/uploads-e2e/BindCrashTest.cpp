// Phones bind while the host process is killed (SIGKILL) at random points: the moment a phone
// hears its 6005 reply, a random time into the binds, or once they are all done. After each
// restart every phone that heard its 6005 reply is bound with its key, in the settings file and
// to the restarted PC, and no phone bound before is ever lost.

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <thread>

#include "E2eTestSupport.h"

namespace uploads_e2e {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kRounds = 9;
constexpr int kPhonesPerRound = 4;
constexpr int kKillWaitMs = 10000;

enum class KillAt { kFirstFinishReply, kRandomTime, kAllDone };

// Phone id -> key of the bound devices the settings file lists (sections below DeviceCount).
std::map<int64_t, std::string> StoredBindings(const std::string& settingsPath) {
  std::map<std::string, std::map<std::string, std::string>> sections;
  std::string section;
  std::string text;
  if (FILE* pFile = fopen(settingsPath.c_str(), "rb")) {
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pFile)) > 0) text.append(buffer, n);
    fclose(pFile);
  }
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    pos = end + 1;
    if (line.size() > 1 && line.front() == '[') {
      section = line.substr(1, line.find(']') - 1);
    } else if (const size_t equals = line.find('='); equals != std::string::npos) {
      sections[section].emplace(line.substr(0, equals), line.substr(equals + 1));
    }
  }
  std::map<int64_t, std::string> bindings;
  const int count = std::atoi(sections["Basic"]["DeviceCount"].c_str());
  for (int i = 0; i < count; ++i) {
    auto& device = sections["PhotoDevice" + std::to_string(i)];
    bindings[std::strtoll(device["Id"].c_str(), nullptr, 10)] = device["Key"];
  }
  return bindings;
}

TEST_F(UploadE2eTest, HostKilledWhilePhonesBindForgetsNoPhoneThatHeardItIsBound) {
  if (DefaultKind() != HostKind::kOrbalynHost) GTEST_SKIP() << "binding needs orbalyn-host";
  StartHost(HostKind::kOrbalynHost);
  uint64_t seed = 20240612;
  if (const char* pSeed = getenv("UPLOADS_E2E_SEED")) seed = std::strtoull(pSeed, nullptr, 10);
  std::printf("bind rounds: seed %llu\n", static_cast<unsigned long long>(seed));
  std::mt19937_64 random(seed);
  const std::string settings = m_root + "/appdata/Corvane/Orbalyn/Orbalyn.dat";

  // Every phone known bound so far, with the key it was given.
  std::map<int64_t, std::string> bound;
  for (const PhoneSeed& phone : m_seed.phones) bound[phone.id] = phone.key;
  int finishedBeforeKill = 0;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const KillAt killAt = static_cast<KillAt>(round % 3);
    const auto delay = std::chrono::microseconds(random() % 15000);
    const std::string bindKey = m_pHost->BindKey();
    ASSERT_EQ(bindKey.size(), 16u);

    std::atomic<int> finished{0};
    std::atomic<int> ended{0};
    std::vector<std::string> keys(kPhonesPerRound);
    std::vector<char> heard(kPhonesPerRound, 0);
    std::vector<std::thread> phones;
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < kPhonesPerRound; ++i) {
      phones.emplace_back([&, i] {
        phonesim::PhoneSimConfig config = PhoneConfig(0);
        config.phoneId = 0x0B000000 + round * 16 + i;
        config.bindKey = bindKey;
        config.phoneName = "binder " + std::to_string(config.phoneId);
        config.replyTimeoutMs = 5000;
        phonesim::CPhoneSim phone(config);
        if (phone.Connect("127.0.0.1", m_pHost->Port()) &&
            phone.Bind(phonesim::BindPath::kFinishUnderDeviceKey)) {
          keys[i] = phone.DeviceKey();
          heard[i] = 1;
          ++finished;
        }
        ++ended;
      });
    }
    const Clock::time_point deadline = start + std::chrono::milliseconds(kKillWaitMs);
    while (Clock::now() < deadline) {
      const bool hit = (killAt == KillAt::kFirstFinishReply && finished.load() > 0) ||
                       (killAt == KillAt::kRandomTime && Clock::now() - start >= delay) ||
                       ended.load() == kPhonesPerRound;
      if (hit) break;
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    m_pHost->Kill();
    for (std::thread& phone : phones) phone.join();
    finishedBeforeKill += finished.load();
    for (int i = 0; i < kPhonesPerRound; ++i) {
      if (heard[i]) bound[0x0B000000 + round * 16 + i] = keys[i];
    }

    std::string error;
    ASSERT_TRUE(m_pHost->Start(&error)) << error;
    const std::map<int64_t, std::string> stored = StoredBindings(settings);
    for (const auto& [id, key] : bound) {
      auto found = stored.find(id);
      ASSERT_NE(found, stored.end()) << "phone " << id << " lost";
      EXPECT_EQ(found->second, key) << id;
      phonesim::PhoneSimConfig config = PhoneConfig(id);
      config.deviceKey = key;
      phonesim::CPhoneSim phone(config);
      EXPECT_TRUE(phone.Connect("127.0.0.1", m_pHost->Port()) && phone.Heartbeat())
          << "phone " << id << ": " << phone.LastError();
    }
    // The killed host's half-made saves went when the new one loaded.
    for (const auto& entry : fs::directory_iterator(fs::path(settings).parent_path())) {
      const std::string name = entry.path().filename().string();
      EXPECT_TRUE(name == "Orbalyn.dat" ||
                  name.rfind(".Orbalyn.dat.tmp-" + std::to_string(m_pHost->Pid()) + "-", 0) == 0)
          << name;
    }
  }
  std::printf("bind rounds: %d kills, %d phones heard their bind finish before the kill\n", kRounds,
              finishedBeforeKill);
}

}  // namespace
}  // namespace uploads_e2e
