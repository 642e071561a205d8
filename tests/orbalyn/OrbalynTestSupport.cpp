#include "OrbalynTestSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "../common/ChildWait.h"
#include "win32/registry.h"
#include "win32/strings.h"
#include "win32/window.h"

extern char** environ;

namespace orbalyn_test {

namespace {

std::string g_root;
CChildProcess* g_pServerSim = nullptr;  // owned; ended with the sandbox

class SandboxEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "orbalyn-test-XXXXXX").string();
    if (mkdtemp(pattern.data())) g_root = pattern;
    setenv("LUMIDOCK_ROOT", g_root.c_str(), 1);
    // Reports stay in the sandbox's spool.
    unsetenv("ORBALYN_REPORT_SERVER");
    // The library is loaded from a runtime folder inside the sandbox (links to the built
    // modules), so the log it writes beside itself stays in the sandbox.
    std::error_code error;
    std::filesystem::create_directories(RuntimeFolder(), error);
    for (const auto& entry : std::filesystem::directory_iterator(LUMIDOCK_BIN_DIR, error)) {
      std::string extension = entry.path().extension().string();
      if (!entry.is_regular_file() || (extension != ".so" && extension != ".ico")) continue;
      std::filesystem::path target =
          std::filesystem::path(RuntimeFolder()) / entry.path().filename();
      std::error_code linkError;
      std::filesystem::create_hard_link(entry.path(), target, linkError);
      if (linkError) std::filesystem::copy_file(entry.path(), target, linkError);
    }
  }
  void TearDown() override {
    delete g_pServerSim;
    g_pServerSim = nullptr;
    std::error_code ignored;
    if (!g_root.empty()) std::filesystem::remove_all(g_root, ignored);
  }
};

[[maybe_unused]] ::testing::Environment* const g_pSandbox =
    ::testing::AddGlobalTestEnvironment(new SandboxEnvironment);

uint32_t GetLe32(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<uint8_t>(bytes[at + i]);
  return value;
}

}  // namespace

const std::string& SandboxRoot() { return g_root; }

std::string SettingsPath() { return g_root + "/appdata/Corvane/Orbalyn/Orbalyn.dat"; }

std::string SpoolPath() { return g_root + "/statistics/spool.bin"; }

std::string RuntimeFolder() { return g_root + "/bin"; }

// --- CLoadedOrbalyn ---

bool CLoadedOrbalyn::Load() {
  m_hModule = win32::LoadLibraryW(WindowsFromPosix(RuntimeFolder() + "/Orbalyn.dll").c_str());
  if (!m_hModule) return false;
  auto pGetRoot = Export<GetIOrbalynFn>(kGetIOrbalynName);
  m_pRoot = pGetRoot ? pGetRoot() : nullptr;
  return m_pRoot != nullptr;
}

void CLoadedOrbalyn::Unload() {
  if (m_hModule) win32::FreeLibrary(m_hModule);
  m_hModule = nullptr;
  m_pRoot = nullptr;
}

// --- CChildProcess ---

CChildProcess::~CChildProcess() {
  if (m_pid > 0) {
    kill(m_pid, SIGTERM);
    Wait(std::chrono::seconds(10));
  }
  if (m_reader.joinable()) m_reader.join();
}

bool CChildProcess::Start(const std::string& program, const std::vector<std::string>& args,
                          const std::vector<std::string>& environment) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, out[1], 2);
  std::string path = std::string(LUMIDOCK_BIN_DIR) + "/" + program;
  std::vector<std::string> argStrings = {path};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argStrings) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> envStrings;
  for (char** e = environ; *e; ++e) envStrings.push_back(*e);
  envStrings.insert(envStrings.end(), environment.begin(), environment.end());
  std::vector<char*> envp;
  for (std::string& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);
  int error = posix_spawn(&m_pid, path.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (error != 0) {
    m_pid = -1;
    close(out[0]);
    return false;
  }
  m_reader = std::thread(&CChildProcess::ReadOutput, this, out[0]);
  return true;
}

void CChildProcess::ReadOutput(int fd) {
  std::string buffer;
  char chunk[4096];
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof(chunk));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    buffer.append(chunk, static_cast<size_t>(n));
    size_t newline;
    std::lock_guard<std::mutex> lock(m_lock);
    while ((newline = buffer.find('\n')) != std::string::npos) {
      m_lines.push_back(buffer.substr(0, newline));
      buffer.erase(0, newline + 1);
    }
    m_changed.notify_all();
  }
  close(fd);
}

std::string CChildProcess::WaitForLine(const std::string& prefix, size_t from,
                                       std::chrono::milliseconds timeout, size_t* pIndex) {
  std::unique_lock<std::mutex> lock(m_lock);
  std::string found;
  m_changed.wait_for(lock, timeout, [&] {
    for (size_t i = from; i < m_lines.size(); ++i) {
      if (m_lines[i].rfind(prefix, 0) == 0) {
        found = m_lines[i];
        if (pIndex) *pIndex = i;
        return true;
      }
    }
    return false;
  });
  return found;
}

size_t CChildProcess::LineCount() {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_lines.size();
}

std::vector<std::string> CChildProcess::Lines() {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_lines;
}

int CChildProcess::Wait(std::chrono::milliseconds timeout) {
  if (m_pid <= 0) return -1;
  const int status = test_common::WaitForChild(&m_pid, timeout, std::chrono::milliseconds(5));
  return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// --- The process's server simulator ---

namespace {

int g_relayPort = 0;

CChildProcess* StartServerSim() {
  auto* pServer = new CChildProcess();
  // The run time bounds its life should this process die without its tear-down.
  if (!pServer->Start("server-sim", {"--entry-port", "0", "--comm-port", "0", "--relay-port", "0",
                                     "--run-seconds", "900"})) {
    return pServer;
  }
  std::string entry = pServer->WaitForLine("entry-port ", 0, std::chrono::seconds(20));
  std::string relay = pServer->WaitForLine("relay-port ", 0, std::chrono::seconds(20));
  if (!entry.empty()) {
    setenv("ORBALYN_ENTRY_SERVER", ("127.0.0.1:" + entry.substr(11)).c_str(), 1);
  }
  if (!relay.empty()) g_relayPort = std::stoi(relay.substr(11));
  return pServer;
}

}  // namespace

CChildProcess& ServerSim() {
  // One for the whole process: every test talks to the same servers, which know the PC.
  if (!g_pServerSim) g_pServerSim = StartServerSim();
  return *g_pServerSim;
}

int ServerRelayPort() {
  ServerSim();
  return g_relayPort;
}

// --- Pumping ---

bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    win32::MSG msg;
    while (win32::PeekMessageW(&msg, nullptr, 0, 0, win32::PM_REMOVE)) {
      win32::TranslateMessage(&msg);
      win32::DispatchMessageW(&msg);
    }
    if (done()) return true;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    win32::MsgWaitForMultipleObjects(0, nullptr, win32::FALSE,
                                     static_cast<win32::DWORD>(std::min<int64_t>(left.count(), 50)),
                                     win32::QS_ALLINPUT);
  }
}

void PumpFor(std::chrono::milliseconds duration) {
  PumpUntil([] { return false; }, duration);
}

size_t ThreadCount() {
  size_t count = 0;
  DIR* pDir = opendir("/proc/self/task");
  if (!pDir) return 0;
  while (dirent* pEntry = readdir(pDir)) {
    if (pEntry->d_name[0] != '.') ++count;
  }
  closedir(pDir);
  return count;
}

size_t SettledThreadCount() {
  constexpr auto kQuiet = std::chrono::milliseconds(300);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  size_t count = ThreadCount();
  auto since = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() < deadline) {
    PumpFor(std::chrono::milliseconds(20));
    size_t now = ThreadCount();
    if (now != count) {
      count = now;
      since = std::chrono::steady_clock::now();
    } else if (std::chrono::steady_clock::now() - since >= kQuiet) {
      break;
    }
  }
  return count;
}

// --- CRecordingSink ---

win32::HRESULT CRecordingSink::QueryInterface(win32::REFIID riid, void** ppObject) {
  if (!ppObject) return win32::E_INVALIDARG;
  if (riid != win32::IID_IUnknown && riid != IID_IOrbalynLogicSink) return win32::E_NOINTERFACE;
  AddRef();
  *ppObject = static_cast<IOrbalynLogicSink*>(this);
  return win32::S_OK;
}

win32::ULONG CRecordingSink::Release() {
  win32::ULONG count = --m_refCount;
  if (count == 0) delete this;
  return count;
}

win32::HRESULT CRecordingSink::OnLogicMessage(IOrbalynMessage* pMessage) {
  Record record{};
  pMessage->GetType(&record.type);
  pMessage->GetValue(&record.value);
  pMessage->GetId(&record.id);
  std::lock_guard<std::mutex> lock(m_lock);
  m_records.push_back(record);
  return win32::S_OK;
}

std::vector<CRecordingSink::Record> CRecordingSink::Records() {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_records;
}

bool CRecordingSink::Saw(int type, int value) {
  std::lock_guard<std::mutex> lock(m_lock);
  for (const Record& record : m_records) {
    if (record.type == type && record.value == value) return true;
  }
  return false;
}

// --- Spool and firewall ---

std::vector<SpoolReport> ReadSpool() {
  std::string bytes = ReadWholeFile(SpoolPath());
  std::vector<SpoolReport> reports;
  size_t at = 0;
  while (at + 4 <= bytes.size()) {
    uint32_t length = GetLe32(bytes, at);
    if (length < 18 || at + 4 + length > bytes.size()) break;
    std::string frame = bytes.substr(at + 4, length);
    // The header lies as the client held it in memory: command at offset 6, host order.
    uint16_t command =
        static_cast<uint16_t>(static_cast<uint8_t>(frame[6]) | static_cast<uint8_t>(frame[7]) << 8);
    reports.push_back({command, frame});
    at += 4 + length;
  }
  return reports;
}

std::vector<uint32_t> TrailingValues(const SpoolReport& report, size_t count) {
  std::vector<uint32_t> values;
  if (report.bytes.size() < count * 4) return values;
  size_t at = report.bytes.size() - count * 4;
  for (size_t i = 0; i < count; ++i, at += 4) {
    uint32_t value = 0;
    for (size_t b = 0; b < 4; ++b)
      value = (value << 8) | static_cast<uint8_t>(report.bytes[at + b]);
    values.push_back(value);
  }
  return values;
}

namespace {

constexpr char16_t kFirewallRoot[] = u"Software\\Lumidock\\FirewallStandIn\\";

bool ReadString(win32::HKEY key, const std::u16string& name, std::u16string* pText) {
  win32::DWORD bytes = 0;
  if (win32::RegQueryValueExW(key, name.c_str(), nullptr, nullptr, nullptr, &bytes) !=
      win32::ERROR_SUCCESS) {
    return false;
  }
  std::u16string text(bytes / 2 + 1, u'\0');
  if (win32::RegQueryValueExW(key, name.c_str(), nullptr, nullptr,
                              reinterpret_cast<win32::BYTE*>(text.data()),
                              &bytes) != win32::ERROR_SUCCESS) {
    return false;
  }
  text.resize(bytes / 2);
  while (!text.empty() && text.back() == u'\0') text.pop_back();
  *pText = text;
  return true;
}

}  // namespace

std::vector<std::u16string> FirewallHistory(const char16_t* pProfile) {
  std::vector<std::u16string> history;
  std::u16string path = std::u16string(kFirewallRoot) + pProfile + u"\\History";
  win32::HKEY key = nullptr;
  if (win32::RegOpenKeyExW(win32::HKEY_LOCAL_MACHINE, path.c_str(), 0, win32::KEY_READ, &key) !=
      win32::ERROR_SUCCESS) {
    return history;
  }
  for (int number = 1;; ++number) {
    std::u16string entry;
    if (!ReadString(key, win32::Utf8ToUtf16(std::to_string(number)), &entry)) break;
    history.push_back(entry);
  }
  win32::RegCloseKey(key);
  return history;
}

bool FirewallLists(const char16_t* pProfile, const std::u16string& programPath) {
  std::u16string path = std::u16string(kFirewallRoot) + pProfile + u"\\AuthorizedApplications";
  win32::HKEY key = nullptr;
  if (win32::RegOpenKeyExW(win32::HKEY_LOCAL_MACHINE, path.c_str(), 0, win32::KEY_READ, &key) !=
      win32::ERROR_SUCCESS) {
    return false;
  }
  std::u16string name;
  bool listed = ReadString(key, programPath, &name);
  win32::RegCloseKey(key);
  return listed;
}

}  // namespace orbalyn_test
