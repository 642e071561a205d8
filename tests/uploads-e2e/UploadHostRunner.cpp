#include "UploadHostRunner.h"

#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <openssl/evp.h>

#include "uimsg.pb.h"

#include "CServerSim.h"
#include "PeerHex.h"

namespace uploads_e2e {

namespace fs = std::filesystem;

namespace {

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

HostKind CUploadHostRunner::DefaultKind(const std::string& binDir) {
  const char* pChoice = getenv("UPLOADS_E2E_HOST");
  if (pChoice && std::string(pChoice) == "test") return HostKind::kTestHost;
  std::error_code error;
  const bool built = fs::exists(fs::path(binDir) / kOrbalynHostProgram, error) &&
                     fs::exists(fs::path(binDir) / "Orbalyn.so", error);
  return built ? HostKind::kOrbalynHost : HostKind::kTestHost;
}

const char* CUploadHostRunner::KindName(HostKind kind) {
  return kind == HostKind::kOrbalynHost ? kOrbalynHostProgram : kTestHostProgram;
}

CUploadHostRunner::CUploadHostRunner(HostOptions options, HostSeed seed)
    : m_options(std::move(options)), m_seed(std::move(seed)) {}

CUploadHostRunner::~CUploadHostRunner() {
  m_process.KillAndReap();
  if (m_pServer) m_pServer->Stop();
  RemoveSharedSection();
}

void CUploadHostRunner::RemoveSharedSection() {
  // The library's machine identity keeps a shared memory section named after the module that
  // holds it and the sandbox root; its last user removes it on a clean exit, which a killed
  // host never reaches. No host of this root is left now.
  const fs::path module = m_options.kind == HostKind::kOrbalynHost
                              ? fs::path(m_options.root) / "bin" / "Orbalyn.so"
                              : fs::path(m_options.binDir) / kTestHostProgram;
  char resolved[PATH_MAX];
  if (!realpath(module.c_str(), resolved)) return;
  const std::string key = std::string(resolved) + "\n" + m_options.root;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(key.data(), key.size(), digest, &length, EVP_md5(), nullptr) != 1) return;
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < 8 && i < length; ++i) {
    hex += kDigits[digest[i] >> 4];
    hex += kDigits[digest[i] & 0xF];
  }
  shm_unlink(("/zyguid-" + std::to_string(getuid()) + "-" + hex).c_str());
}

bool CUploadHostRunner::Prepare(std::string* pError) {
  if (!WriteSettings(m_options.root, m_seed)) {
    *pError = "cannot write the settings under " + m_options.root;
    return false;
  }
  // For a sanitizer build of the host, the two things it leaves to the process's end on
  // purpose: phone channels still open (or whose end was not handled yet) when it stopped, and
  // OpenSSL's per-thread error state, freed by a thread-exit destructor that runs after the
  // thread already counts as ended, so it can lose the race with the exit.
  m_suppressions = m_options.root + "/lsan-suppressions.txt";
  {
    std::ofstream out(m_suppressions, std::ios::trunc);
    out << "leak:CClientCommMgr::AddNewChannel\nleak:CCommandChannel::Close\nleak:CRYPTO_zalloc\n";
  }
  std::error_code error;
  fs::create_directories(m_options.backup, error);
  fs::create_directories(fs::path(m_options.root) / "drives" / "C", error);
  if (m_options.kind == HostKind::kTestHost) {
    m_program = (fs::path(m_options.binDir) / kTestHostProgram).string();
    return true;
  }
  if (!PrepareRuntime(pError)) return false;
  CServerSim::Options serverOptions;
  serverOptions.reportPort = 0;  // statistics reports stay on loopback too
  m_pServer = std::make_unique<CServerSim>(serverOptions);
  if (!m_pServer->Start()) {
    *pError = "the server simulator cannot listen";
    return false;
  }
  m_pServer->AddPc(m_seed.pcId, m_seed.idKey);
  for (const PhoneSeed& phone : m_seed.phones) m_pServer->SetPhoneKey(phone.id, phone.key);
  return true;
}

bool CUploadHostRunner::PrepareRuntime(std::string* pError) {
  const fs::path runtime = fs::path(m_options.root) / "bin";
  std::error_code error;
  fs::create_directories(runtime, error);
  for (const fs::directory_entry& entry : fs::directory_iterator(m_options.binDir, error)) {
    const std::string name = entry.path().filename().string();
    if (!entry.is_regular_file() ||
        !(name == kOrbalynHostProgram || EndsWith(name, ".so") || EndsWith(name, ".ico"))) {
      continue;
    }
    if (!LinkOrCopy(entry.path().string(), (runtime / name).string())) {
      *pError = "cannot place " + name + " under " + runtime.string();
      return false;
    }
  }
  m_program = (runtime / kOrbalynHostProgram).string();
  return true;
}

bool CUploadHostRunner::Start(std::string* pError) {
  m_port = 0;
  std::vector<std::string> env = {"LUMIDOCK_ROOT=" + m_options.root,
                                  "LSAN_OPTIONS=suppressions=" + m_suppressions};
  // The backup folder goes by a drive letter, as the program's does: D: is the folder it lies in.
  const fs::path backup = fs::absolute(m_options.backup).lexically_normal();
  env.push_back("LUMIDOCK_DRIVES=C=" + m_options.root +
                "/drives/C;D=" + backup.parent_path().string());
  std::vector<std::string> argv = {m_program, "--backup", "D:\\" + backup.filename().string()};
  if (m_options.kind == HostKind::kOrbalynHost) {
    env.push_back("ORBALYN_ENTRY_SERVER=127.0.0.1:" + std::to_string(m_pServer->EntryPort()));
    env.push_back("ORBALYN_REPORT_SERVER=127.0.0.1:" + std::to_string(m_pServer->ReportPort()));
    argv.push_back("--no-qr");
  }
  env.insert(env.end(), m_options.extraEnv.begin(), m_options.extraEnv.end());
  m_process.SetLineLimit(m_options.lineLimit);
  if (!m_process.Start(argv, env, pError)) return false;

  std::string line;
  if (m_options.kind == HostKind::kTestHost) {
    if (!m_process.WaitForLine("local-port ", m_options.startTimeoutMs, &line)) {
      *pError = "no local port from the test host:\n" + m_process.Tail();
      return false;
    }
    m_port = static_cast<uint16_t>(std::atoi(line.c_str() + 11));
  } else {
    std::string bytes;
    protocol::UIBindInfo info;
    if (!m_process.WaitForLine("bind-info ", m_options.startTimeoutMs, &line)) {
      *pError = "orbalyn-host did not go online:\n" + m_process.Tail();
      return false;
    }
    if (!peer::FromHex(line.substr(10), &bytes) || !info.ParseFromString(bytes) ||
        info.id_pc() != m_seed.pcId || !info.has_local_port()) {
      *pError = "bad bind information: " + line;
      return false;
    }
    m_port = static_cast<uint16_t>(info.local_port());
    m_bindKey = info.bind_key();
  }
  if (m_port == 0) {
    *pError = "port 0 from the host: " + line;
    return false;
  }
  return true;
}

void CUploadHostRunner::Kill() {
  m_process.KillAndReap();
  m_port = 0;
}

bool CUploadHostRunner::Stop(int timeoutMs) {
  if (!m_process.Running()) return true;
  m_process.Signal(SIGTERM);
  int status = 0;
  if (!m_process.Wait(timeoutMs, &status)) {
    m_process.KillAndReap();
    return false;
  }
  m_port = 0;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool CUploadHostRunner::WaitForUploadEnd(int error, size_t from, int timeoutMs) {
  const std::string prefix = "logic upload_result value=" + std::to_string(error) + " ";
  return m_process.WaitForLine(prefix, timeoutMs, nullptr, from);
}

}  // namespace uploads_e2e
