// Uploads on loopback: phone simulators in this process, the library in its host process, every
// figure set against baselines measured in the same run (raw loopback TCP, the library's AES
// call, raw writes to the same target). One run with the sandbox root and the backup folder on
// tmpfs, and one on the real disk beside it.
//
//   bench-upload [--short] [--host orbalyn|test] [--tmpfs DIR] [--disk DIR] [--no-disk]
//                [--only abcdef]
//
// (a) baselines; (b) one phone, 1 GiB of 8 MiB files, AES, window 8; (c) 5,000 files of
// 200,000 bytes; (d) 32 phones at once, 64 MiB each; (e) the host's peak resident memory per
// case and the memory of idle logged-in phone connections; (f) one phone that keeps 64 chunks
// in flight, the files of (b). --short shrinks every case for CI.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/statfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "E2eFiles.h"
#include "Logic/CommandKey.h"
#include "PhoneSim.h"
#include "UploadHostRunner.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using uploads_e2e::CUploadHostRunner;
using uploads_e2e::HostKind;
using uploads_e2e::HostSeed;

constexpr double kMB = 1e6;
constexpr int64_t kMiB = 1048576;
constexpr int64_t kPcId = 720000000007;
constexpr int64_t kFirstPhone = 0x0B00000000000001;
constexpr size_t kFrameSize = 65528;  // the largest AES frame of a chunk
constexpr int64_t kTimeMs = 1700000000000;

struct Sizes {
  int64_t rawBytes;
  int64_t oneBytes;  // (b)
  int64_t oneFile;
  int smallCount;  // (c)
  int64_t smallSize;
  int phones;  // (d)
  int64_t perPhone;
  int64_t phoneFile;
  int idle;  // (e)
};

constexpr Sizes kFull = {2048 * kMiB, 1024 * kMiB, 8 * kMiB, 5000, 200000,
                         32,          64 * kMiB,   8 * kMiB, 1000};
constexpr Sizes kShort = {256 * kMiB, 64 * kMiB, 8 * kMiB, 300, 200000,
                          4,          16 * kMiB, 8 * kMiB, 100};

struct Config {
  Sizes sizes = kFull;
  bool shortRun = false;
  HostKind host = HostKind::kOrbalynHost;
  std::string tmpfsDir = "/dev/shm";
  std::string diskDir = "/var/tmp";
  bool disk = true;
  std::string only = "abcdef";
};

// Set by any case that could not run or did not end bit-exact: the exit status says so.
bool g_failed = false;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

void Failed(const char* pCase, const std::string& what) {
  std::printf("%s failed: %s\n", pCase, what.c_str());
  g_failed = true;
}

const char* Exactness(bool exact) {
  if (!exact) g_failed = true;
  return exact ? "all bit-exact" : "NOT EXACT";
}

bool Wanted(const Config& config, char section) {
  return config.only.find(section) != std::string::npos;
}

std::string FileSystemOf(const std::string& path) {
  struct statfs info {};
  if (statfs(path.c_str(), &info) != 0) return "?";
  switch (static_cast<unsigned long>(info.f_type)) {
    case 0x01021994:
      return "tmpfs";
    case 0xEF53:
      return "ext4";
    case 0x58465342:
      return "xfs";
    case 0x9123683E:
      return "btrfs";
    case 0x794C7630:
      return "overlayfs";
  }
  char text[32];
  std::snprintf(text, sizeof(text), "fs 0x%lx", static_cast<unsigned long>(info.f_type));
  return text;
}

std::string ProcField(const std::string& file, const std::string& key) {
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key, 0) == 0) {
      std::string value = line.substr(line.find(':') + 1);
      value.erase(0, value.find_first_not_of(" \t"));
      return value;
    }
  }
  return "?";
}

void PrintMachine(const Config& config) {
  utsname name{};
  uname(&name);
  std::printf("machine: %s, %u CPUs, %s memory, Linux %s; build %s; host %s\n",
              ProcField("/proc/cpuinfo", "model name").c_str(), std::thread::hardware_concurrency(),
              ProcField("/proc/meminfo", "MemTotal").c_str(), name.release, BENCH_BUILD_TYPE,
              CUploadHostRunner::KindName(config.host));
}

// Resident memory of a process in KiB: VmRSS, and the peak VmHWM.
int64_t ProcKiB(pid_t pid, const char* pKey) {
  return std::atoll(ProcField("/proc/" + std::to_string(pid) + "/status", pKey).c_str());
}

// User plus system CPU seconds of a process so far.
double CpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::vector<std::string> fields;
  std::string field;
  for (size_t i = close + 2; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == ' ') {
      fields.push_back(field);
      field.clear();
    } else {
      field += text[i];
    }
  }
  // Fields from the state on: utime is the 12th, stime the 13th.
  if (fields.size() < 13) return 0;
  return (std::atof(fields[11].c_str()) + std::atof(fields[12].c_str())) /
         static_cast<double>(sysconf(_SC_CLK_TCK));
}

// --- (a) baselines ---

int ListenLoopback(uint16_t* pPort) {
  const int hListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (bind(hListen, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(hListen, 1) != 0 ||
      getsockname(hListen, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(hListen);
    return -1;
  }
  *pPort = ntohs(address.sin_port);
  return hListen;
}

int ConnectLoopback(uint16_t port) {
  const int hSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  const int one = 1;
  setsockopt(hSocket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  if (connect(hSocket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    close(hSocket);
    return -1;
  }
  return hSocket;
}

bool WriteAll(int hSocket, const char* pData, size_t size) {
  while (size > 0) {
    const ssize_t n = send(hSocket, pData, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    pData += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool ReadAll(int hSocket, char* pData, size_t size) {
  while (size > 0) {
    const ssize_t n = recv(hSocket, pData, size, 0);
    if (n <= 0) return false;
    pData += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Streams `bytes` through one loopback connection in 64 KiB writes; MB/s at the receiver.
double RawCopyMBps(int64_t bytes) {
  uint16_t port = 0;
  const int hListen = ListenLoopback(&port);
  if (hListen < 0) return 0;
  Clock::time_point end;
  std::thread receiver([&] {
    const int hPeer = accept4(hListen, nullptr, nullptr, SOCK_CLOEXEC);
    std::vector<char> buffer(65536);
    while (recv(hPeer, buffer.data(), buffer.size(), 0) > 0) {
    }
    end = Clock::now();
    close(hPeer);
  });
  const int hSocket = ConnectLoopback(port);
  std::vector<char> block(65536, 'x');
  const Clock::time_point start = Clock::now();
  for (int64_t sent = 0; sent < bytes; sent += static_cast<int64_t>(block.size())) {
    if (!WriteAll(hSocket, block.data(), block.size())) break;
  }
  shutdown(hSocket, SHUT_WR);
  receiver.join();
  close(hSocket);
  close(hListen);
  return static_cast<double>(bytes) / Seconds(end - start) / kMB;
}

// Frames of the largest chunk size, each answered by a 40-byte acknowledgement, `window` in
// flight: the upload's traffic with nothing but the sockets behind it.
double RawFramedMBps(int64_t bytes, int window) {
  uint16_t port = 0;
  const int hListen = ListenLoopback(&port);
  if (hListen < 0) return 0;
  const int64_t frames = bytes / static_cast<int64_t>(kFrameSize);
  std::thread receiver([&] {
    const int hPeer = accept4(hListen, nullptr, nullptr, SOCK_CLOEXEC);
    const int one = 1;
    setsockopt(hPeer, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    std::vector<char> frame(kFrameSize);
    char ack[40] = {};
    for (int64_t i = 0; i < frames; ++i) {
      if (!ReadAll(hPeer, frame.data(), frame.size()) || !WriteAll(hPeer, ack, sizeof(ack))) break;
    }
    close(hPeer);
  });
  const int hSocket = ConnectLoopback(port);
  std::vector<char> frame(kFrameSize, 'y');
  char ack[40];
  const Clock::time_point start = Clock::now();
  int64_t acked = 0;
  for (int64_t sent = 0; sent < frames; ++sent) {
    if (sent - acked >= window) {
      if (!ReadAll(hSocket, ack, sizeof(ack))) break;
      ++acked;
    }
    if (!WriteAll(hSocket, frame.data(), frame.size())) break;
  }
  for (; acked < frames; ++acked) {
    if (!ReadAll(hSocket, ack, sizeof(ack))) break;
  }
  const Clock::time_point end = Clock::now();
  receiver.join();
  close(hSocket);
  close(hListen);
  return static_cast<double>(frames * static_cast<int64_t>(kFrameSize)) / Seconds(end - start) /
         kMB;
}

// The library's own body decipher (CCommandKey::Decrypt, which copies the body and runs one EVP
// context over it), and the bare EVP calls it makes, in place.
void AesMBps(int64_t bytes, double* pDecrypt, double* pEvp) {
  constexpr size_t kBody = 65488;
  std::string body(kBody, 'z');
  CCommandKey key;
  key.SetKey("0123456789abcdef");
  const std::string wire = key.Encrypt(CCommandKey::kTypeAes, body.data(), kBody - 1);
  const int64_t rounds = bytes / static_cast<int64_t>(kBody);
  size_t check = 0;
  Clock::time_point start = Clock::now();
  for (int64_t i = 0; i < rounds; ++i) {
    check += key.Decrypt(CCommandKey::kTypeAes, wire.data(), wire.size()).size();
  }
  *pDecrypt = static_cast<double>(rounds * static_cast<int64_t>(kBody)) /
              Seconds(Clock::now() - start) / kMB;
  const unsigned char keyBytes[16] = {'0', '1', '2', '3', '4', '5', '6', '7',
                                      '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
  start = Clock::now();
  for (int64_t i = 0; i < rounds; ++i) {
    EVP_CIPHER_CTX* pContext = EVP_CIPHER_CTX_new();
    int written = 0;
    EVP_CipherInit_ex(pContext, EVP_aes_128_ecb(), nullptr, keyBytes, nullptr, 0);
    EVP_CIPHER_CTX_set_padding(pContext, 0);
    EVP_CipherUpdate(pContext, reinterpret_cast<unsigned char*>(body.data()), &written,
                     reinterpret_cast<const unsigned char*>(body.data()), static_cast<int>(kBody));
    EVP_CIPHER_CTX_free(pContext);
    check += static_cast<size_t>(written);
  }
  *pEvp = static_cast<double>(rounds * static_cast<int64_t>(kBody)) /
          Seconds(Clock::now() - start) / kMB;
  if (check == 0) std::printf("(no bytes deciphered)\n");
}

// The upload's write pattern straight to a file: 65459 data bytes and a 36-byte trailer per
// write, the trailer overwritten by the next one; with and without a flush every 512 KiB.
double RawDiskMBps(const std::string& folder, int64_t bytes, bool flush) {
  const std::string path = folder + "/raw-write.bin";
  const int hFile = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (hFile < 0) return 0;
  constexpr size_t kChunk = 65459;
  std::vector<char> block(kChunk + 36, 'w');
  uint32_t unflushed = 0;
  const Clock::time_point start = Clock::now();
  for (int64_t position = 0; position < bytes; position += kChunk) {
    if (pwrite(hFile, block.data(), block.size(), position) != static_cast<ssize_t>(block.size())) {
      break;
    }
    unflushed += static_cast<uint32_t>(block.size());
    if (flush && unflushed > 0x80000) {
      fsync(hFile);
      unflushed = 0;
    }
  }
  fsync(hFile);
  const double seconds = Seconds(Clock::now() - start);
  close(hFile);
  unlink(path.c_str());
  return static_cast<double>(bytes) / seconds / kMB;
}

// --- the upload cases ---

HostSeed MakeSeed(int phones) {
  HostSeed seed;
  seed.pcId = kPcId;
  seed.idKey = uploads_e2e::KeyFromSeed(7);
  for (int i = 0; i < phones; ++i) {
    seed.phones.push_back(
        {kFirstPhone + i, uploads_e2e::KeyFromSeed(1000 + i), "phone-" + std::to_string(i)});
  }
  return seed;
}

// A host with its sandbox root and backup folder under `targetDir`.
class Run {
 public:
  Run(const Config& config, const std::string& targetDir, int phones) : m_seed(MakeSeed(phones)) {
    m_root = uploads_e2e::MakeTempFolder(targetDir, "bench-upload-");
    uploads_e2e::HostOptions options;
    options.kind = config.host;
    options.binDir = LUMIDOCK_BIN_DIR;
    options.root = m_root;
    options.backup = m_root + "/backup";
    options.lineLimit = 2000;
    m_pHost = std::make_unique<CUploadHostRunner>(options, m_seed);
    std::string error;
    m_ok = !m_root.empty() && m_pHost->Prepare(&error) && m_pHost->Start(&error);
    if (!m_ok) {
      std::printf("host did not start: %s\n", error.c_str());
      g_failed = true;
    }
  }
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;
  ~Run() {
    m_pHost.reset();
    uploads_e2e::RemoveTree(m_root);
  }

  bool Ok() const { return m_ok; }
  CUploadHostRunner& Host() { return *m_pHost; }
  std::string Saved(int phone, const std::string& album) const {
    return m_root + "/backup/" + m_seed.phones[static_cast<size_t>(phone)].name + "/" + album;
  }
  phonesim::PhoneSimConfig Phone(int phone) const {
    phonesim::PhoneSimConfig config;
    config.pcId = kPcId;
    config.phoneId = m_seed.phones[static_cast<size_t>(phone)].id;
    config.deviceKey = m_seed.phones[static_cast<size_t>(phone)].key;
    config.replyTimeoutMs = 60000;
    return config;
  }

 private:
  HostSeed m_seed;
  std::string m_root;
  std::unique_ptr<CUploadHostRunner> m_pHost;
  bool m_ok = false;
};

bool MakeSource(const std::string& folder, int count, int64_t size, uint64_t seed) {
  for (int i = 0; i < count; ++i) {
    char name[32];
    std::snprintf(name, sizeof(name), "/F%05d.jpg", i);
    if (!uploads_e2e::WritePseudoRandomFile(folder + name, size, seed + static_cast<uint64_t>(i),
                                            kTimeMs + i)) {
      return false;
    }
  }
  return true;
}

// Every source file under the saved folder, same bytes.
bool AllExact(const std::string& source, const std::string& saved) {
  const std::vector<std::string> files = uploads_e2e::ListFiles(source);
  if (uploads_e2e::ListFiles(saved) != files) return false;
  for (const std::string& file : files) {
    if (!uploads_e2e::SameContent(source + "/" + file, saved + "/" + file)) return false;
  }
  return true;
}

phonesim::UploadOptions Options(const std::string& album, int window = 8) {
  phonesim::UploadOptions options;
  options.window = window;
  options.albumName = album;
  return options;
}

struct Baselines {
  double copy = 0;
  double framed = 0;
};

void OnePhone(const Config& config, const std::string& target, const std::string& source,
              const Baselines& base) {
  Run run(config, target, 1);
  if (!run.Ok()) return;
  const pid_t pid = run.Host().Pid();
  phonesim::CPhoneSim phone(run.Phone(0));
  if (!phone.Connect("127.0.0.1", run.Host().Port())) return Failed("(b)", phone.LastError());
  phonesim::UploadSummary summary;
  const double cpuBefore = CpuSeconds(pid);
  const Clock::time_point start = Clock::now();
  const bool ok = phone.UploadFolder(source, Options("one"), &summary);
  if (!ok) Failed("(b)", phone.LastError());
  const double seconds = Seconds(Clock::now() - start);
  const double cpu = CpuSeconds(pid) - cpuBefore;
  const double bytes = static_cast<double>(summary.bytesAcked);
  const double mbps = bytes / seconds / kMB;
  std::printf(
      "(b) one phone, %d files of %lld MiB, AES, window 8: %.0f MB/s = %.2f of raw copy,"
      " %.2f of raw framed; host CPU %.2f s/GB; peak RSS %lld KiB; %s\n",
      summary.counts.filesTotal, static_cast<long long>(config.sizes.oneFile / kMiB), mbps,
      mbps / base.copy, mbps / base.framed, cpu / (bytes / 1e9),
      static_cast<long long>(ProcKiB(pid, "VmHWM")),
      Exactness(ok && AllExact(source, run.Saved(0, "one"))));
}

// The phone sends 64 chunks before it waits for the first reply: what the PC holds meanwhile.
void Pipelined(const Config& config, const std::string& target, const std::string& source,
               const Baselines& base) {
  Run run(config, target, 1);
  if (!run.Ok()) return;
  const pid_t pid = run.Host().Pid();
  const int64_t rssBefore = ProcKiB(pid, "VmRSS");
  phonesim::CPhoneSim phone(run.Phone(0));
  if (!phone.Connect("127.0.0.1", run.Host().Port())) return Failed("(f)", phone.LastError());
  phonesim::UploadSummary summary;
  const Clock::time_point start = Clock::now();
  const bool ok =
      phone.UploadFolder(source, Options("deep", phonesim::CPhoneSim::kMaxWindow), &summary);
  if (!ok) Failed("(f)", phone.LastError());
  const double mbps = static_cast<double>(summary.bytesAcked) / Seconds(Clock::now() - start) / kMB;
  std::printf(
      "(f) one phone, %d files of %lld MiB, AES, window %d: %.0f MB/s = %.2f of raw copy; "
      "host VmRSS %lld KiB before, peak %lld KiB; %s\n",
      summary.counts.filesTotal, static_cast<long long>(config.sizes.oneFile / kMiB),
      phonesim::CPhoneSim::kMaxWindow, mbps, mbps / base.copy, static_cast<long long>(rssBefore),
      static_cast<long long>(ProcKiB(pid, "VmHWM")),
      Exactness(ok && AllExact(source, run.Saved(0, "deep"))));
}

void SmallFiles(const Config& config, const std::string& target, const std::string& source) {
  Run run(config, target, 1);
  if (!run.Ok()) return;
  const pid_t pid = run.Host().Pid();
  phonesim::CPhoneSim phone(run.Phone(0));
  if (!phone.Connect("127.0.0.1", run.Host().Port())) return Failed("(c)", phone.LastError());
  phonesim::UploadSummary summary;
  const double cpuBefore = CpuSeconds(pid);
  const Clock::time_point start = Clock::now();
  const bool ok = phone.UploadFolder(source, Options("small"), &summary);
  if (!ok) Failed("(c)", phone.LastError());
  const double seconds = Seconds(Clock::now() - start);
  std::printf(
      "(c) %d files of %lld bytes: %.0f files/s (%.1f MB/s); host CPU %.0f us/file; "
      "peak RSS %lld KiB; %s\n",
      summary.counts.filesOk, static_cast<long long>(config.sizes.smallSize),
      summary.counts.filesOk / seconds, static_cast<double>(summary.bytesAcked) / seconds / kMB,
      (CpuSeconds(pid) - cpuBefore) * 1e6 / std::max(1, summary.counts.filesOk),
      static_cast<long long>(ProcKiB(pid, "VmHWM")),
      Exactness(ok && AllExact(source, run.Saved(0, "small"))));
}

void ManyPhones(const Config& config, const std::string& target,
                const std::vector<std::string>& sources, const Baselines& base) {
  const int count = config.sizes.phones;
  Run run(config, target, count);
  if (!run.Ok()) return;
  const pid_t pid = run.Host().Pid();
  std::vector<std::unique_ptr<phonesim::CPhoneSim>> phones;
  for (int i = 0; i < count; ++i) {
    phones.push_back(std::make_unique<phonesim::CPhoneSim>(run.Phone(i)));
    if (!phones.back()->Connect("127.0.0.1", run.Host().Port())) {
      return Failed("(d)", phones.back()->LastError());
    }
  }
  std::barrier ready(count + 1);
  std::vector<double> finish(static_cast<size_t>(count));
  std::vector<int64_t> bytes(static_cast<size_t>(count));
  std::atomic<int> failures{0};
  Clock::time_point start;
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) {
    threads.emplace_back([&, i] {
      phonesim::UploadSummary summary;
      ready.arrive_and_wait();
      if (!phones[static_cast<size_t>(i)]->UploadFolder(sources[static_cast<size_t>(i)],
                                                        Options("many"), &summary)) {
        ++failures;
      }
      finish[static_cast<size_t>(i)] = Seconds(Clock::now() - start);
      bytes[static_cast<size_t>(i)] = summary.bytesAcked;
    });
  }
  const double cpuBefore = CpuSeconds(pid);
  start = Clock::now();
  ready.arrive_and_wait();
  for (std::thread& thread : threads) thread.join();
  const double cpu = CpuSeconds(pid) - cpuBefore;
  const auto [fastest, slowest] = std::minmax_element(finish.begin(), finish.end());
  int64_t total = 0;
  for (int64_t b : bytes) total += b;
  bool exact = failures.load() == 0;
  for (int i = 0; exact && i < count; ++i) {
    exact = AllExact(sources[static_cast<size_t>(i)], run.Saved(i, "many"));
  }
  const double mbps = static_cast<double>(total) / *slowest / kMB;
  std::printf(
      "(d) %d phones x %lld MiB at once: %.0f MB/s in all = %.2f of raw copy; "
      "finish %.2f..%.2f s, slowest/fastest %.2f; host CPU %.2f s/GB; peak RSS %lld KiB; "
      "%s\n",
      count, static_cast<long long>(config.sizes.perPhone / kMiB), mbps, mbps / base.copy, *fastest,
      *slowest, *slowest / *fastest, cpu / (static_cast<double>(total) / 1e9),
      static_cast<long long>(ProcKiB(pid, "VmHWM")), Exactness(exact));
}

void IdleConnections(const Config& config, const std::string& target) {
  constexpr int kPhones = 32;
  Run run(config, target, kPhones);
  if (!run.Ok()) return;
  const pid_t pid = run.Host().Pid();
  const int count = config.sizes.idle;
  int64_t rss[3] = {};
  for (int round = 0; round < 2; ++round) {
    // Settle: one connection made and dropped, so first-use allocations are not counted.
    {
      phonesim::CPhoneSim warm(run.Phone(0));
      if (!warm.Connect("127.0.0.1", run.Host().Port()) || !warm.Login()) {
        return Failed("(e)", warm.LastError());
      }
    }
    const int64_t before = ProcKiB(pid, "VmRSS");
    std::vector<std::unique_ptr<phonesim::CPhoneSim>> phones;
    for (int i = 0; i < count; ++i) {
      phones.push_back(std::make_unique<phonesim::CPhoneSim>(run.Phone(i % kPhones)));
      if (!phones.back()->Connect("127.0.0.1", run.Host().Port()) || !phones.back()->Login()) {
        return Failed("(e)", "connection " + std::to_string(i) + ": " + phones.back()->LastError());
      }
    }
    const int64_t with = ProcKiB(pid, "VmRSS");
    phones.clear();
    // The host hears every close before the next round starts.
    phonesim::CPhoneSim probe(run.Phone(0));
    if (!probe.Connect("127.0.0.1", run.Host().Port()) || !probe.Login()) {
      return Failed("(e)", probe.LastError());
    }
    rss[round] = with;
    std::printf(
        "(e) round %d: %d idle logged-in connections: VmRSS %lld -> %lld KiB, "
        "%.1f KB per connection\n",
        round + 1, count, static_cast<long long>(before), static_cast<long long>(with),
        static_cast<double>(with - before) * 1024.0 / count / 1000.0);
  }
  rss[2] = ProcKiB(pid, "VmRSS");
  std::printf(
      "(e) after both rounds closed: VmRSS %lld KiB (second round peak %+lld KiB against "
      "the first); peak %lld KiB\n",
      static_cast<long long>(rss[2]), static_cast<long long>(rss[1] - rss[0]),
      static_cast<long long>(ProcKiB(pid, "VmHWM")));
}

void RunTarget(const Config& config, const std::string& target, const std::string& sourceRoot,
               const Baselines& base) {
  std::printf("--- target %s (%s): sandbox root and backup folder there; phone files on %s\n",
              target.c_str(), FileSystemOf(target).c_str(), FileSystemOf(sourceRoot).c_str());
  const Sizes& s = config.sizes;
  const int64_t diskBytes = config.shortRun ? 64 * kMiB : 512 * kMiB;
  if (Wanted(config, 'a')) {
    std::printf(
        "(a) raw writes there, 65459+36 bytes per write: %.0f MB/s; with a flush every "
        "512 KiB: %.0f MB/s\n",
        RawDiskMBps(target, diskBytes, false), RawDiskMBps(target, diskBytes, true));
  }
  if (Wanted(config, 'b')) {
    OnePhone(config, target, sourceRoot + "/one", base);
  }
  if (Wanted(config, 'c')) {
    SmallFiles(config, target, sourceRoot + "/small");
  }
  if (Wanted(config, 'd')) {
    std::vector<std::string> sources;
    for (int i = 0; i < s.phones; ++i) sources.push_back(sourceRoot + "/many-" + std::to_string(i));
    ManyPhones(config, target, sources, base);
  }
  if (Wanted(config, 'e')) IdleConnections(config, target);
  if (Wanted(config, 'f')) Pipelined(config, target, sourceRoot + "/one", base);
}

int Usage() {
  std::fputs(
      "usage: bench-upload [--short] [--host orbalyn|test] [--tmpfs DIR] [--disk DIR] "
      "[--no-disk] [--only abcdef]\n",
      stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Config config;
  config.host = CUploadHostRunner::DefaultKind(LUMIDOCK_BIN_DIR);
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : std::string(); };
    if (arg == "--short") {
      config.shortRun = true;
      config.sizes = kShort;
      config.disk = false;
    } else if (arg == "--host") {
      const std::string host = value();
      if (host != "orbalyn" && host != "test") return Usage();
      config.host = host == "test" ? HostKind::kTestHost : HostKind::kOrbalynHost;
    } else if (arg == "--tmpfs") {
      config.tmpfsDir = value();
    } else if (arg == "--disk") {
      config.diskDir = value();
      config.disk = true;
    } else if (arg == "--no-disk") {
      config.disk = false;
    } else if (arg == "--only") {
      config.only = value();
    } else {
      return Usage();
    }
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  // A thousand phone connections on each side.
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  PrintMachine(config);
  const Sizes& s = config.sizes;

  Baselines base;
  if (Wanted(config, 'a') || Wanted(config, 'b') || Wanted(config, 'd') || Wanted(config, 'f')) {
    double decrypt = 0;
    double evp = 0;
    base.copy = RawCopyMBps(s.rawBytes);
    base.framed = RawFramedMBps(s.rawBytes, 8);
    AesMBps(s.rawBytes / 4, &decrypt, &evp);
    std::printf(
        "(a) raw loopback TCP copy: %.0f MB/s; framed 65528-byte frames with 40-byte "
        "acks, window 8: %.0f MB/s; AES-128-ECB decipher of 65488-byte bodies: "
        "CCommandKey::Decrypt %.0f MB/s, EVP in place %.0f MB/s\n",
        base.copy, base.framed, decrypt, evp);
  }

  // The phone's files live on tmpfs for both targets, so only the PC's side changes.
  const std::string sourceRoot = uploads_e2e::MakeTempFolder(config.tmpfsDir, "bench-phone-");
  bool made = !sourceRoot.empty();
  if (made && (Wanted(config, 'b') || Wanted(config, 'f'))) {
    made = MakeSource(sourceRoot + "/one", static_cast<int>(s.oneBytes / s.oneFile), s.oneFile, 1);
  }
  if (made && Wanted(config, 'c'))
    made = MakeSource(sourceRoot + "/small", s.smallCount, s.smallSize, 1 << 20);
  for (int i = 0; made && Wanted(config, 'd') && i < s.phones; ++i) {
    made = MakeSource(sourceRoot + "/many-" + std::to_string(i),
                      static_cast<int>(s.perPhone / s.phoneFile), s.phoneFile,
                      (static_cast<uint64_t>(i) + 2) << 24);
  }
  if (!made) {
    std::printf("cannot write the phone's files under %s\n", config.tmpfsDir.c_str());
    uploads_e2e::RemoveTree(sourceRoot);
    return 1;
  }
  RunTarget(config, config.tmpfsDir, sourceRoot, base);
  if (config.disk) RunTarget(config, config.diskDir, sourceRoot, base);
  uploads_e2e::RemoveTree(sourceRoot);
  return g_failed ? 1 : 0;
}
