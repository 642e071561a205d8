#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "E2eChildProcess.h"
#include "E2eFiles.h"

class CServerSim;

namespace uploads_e2e {

// Which program holds the library in the upload runs.
enum class HostKind {
  // orbalyn-host loading Orbalyn.so, online through a server simulator on loopback; it prints
  // "bind-info <hex>", whose local_port is where phones connect.
  kOrbalynHost,
  // upload-e2e-host: the library's parts linked in, no server session; prints "local-port N".
  // It alone lets a run shorten the upload periods (UPLOADS_E2E_UPLOAD_PERIODS=wake:idle ms).
  kTestHost,
};

struct HostOptions {
  HostKind kind = HostKind::kOrbalynHost;
  std::string binDir;  // where the programs and modules were built
  std::string root;    // the sandbox root (LUMIDOCK_ROOT), made by the caller
  std::string backup;  // the backup folder (the host names it D:\<its name>)
  std::vector<std::string> extraEnv;
  int startTimeoutMs = 20000;
  size_t lineLimit = 0;  // see CChildProcess::SetLineLimit
};

// Runs the library's host process against a sandbox root: writes the seeded settings, gives
// orbalyn-host a private copy of the runtime folder under the root (the library writes its log
// beside itself, and the log belongs to the sandbox), runs the server simulator it needs, and
// starts, kills and restarts the host, learning the local server's port from each start.
// Lifetime: the destructor kills the host and stops the simulator.
// Threading: one test thread drives it.
class CUploadHostRunner {
 public:
  static constexpr char kTestHostProgram[] = "upload-e2e-host";
  static constexpr char kOrbalynHostProgram[] = "orbalyn-host";

  // orbalyn-host when it and Orbalyn.so are built and UPLOADS_E2E_HOST is not "test".
  static HostKind DefaultKind(const std::string& binDir);
  static const char* KindName(HostKind kind);

  CUploadHostRunner(HostOptions options, HostSeed seed);
  CUploadHostRunner(const CUploadHostRunner&) = delete;
  CUploadHostRunner& operator=(const CUploadHostRunner&) = delete;
  ~CUploadHostRunner();

  // Settings, runtime folder, server simulator. Once, before the first Start.
  [[nodiscard]] bool Prepare(std::string* pError);
  // Starts the host and waits until phones can connect.
  [[nodiscard]] bool Start(std::string* pError);
  // SIGKILL: no clean-up of any kind runs in the host.
  void Kill();
  // SIGTERM and a clean stop; false when the host did not end in time or ended badly.
  bool Stop(int timeoutMs = 30000);
  // Waits for the host's line saying that an upload ended with `error`, from line `from` on.
  [[nodiscard]] bool WaitForUploadEnd(int error, size_t from, int timeoutMs);

  uint16_t Port() const { return m_port; }
  // The QR's bind key of the running orbalyn-host (a new one each start); empty for the test
  // host.
  const std::string& BindKey() const { return m_bindKey; }
  pid_t Pid() const { return m_process.Pid(); }
  CChildProcess& Process() { return m_process; }
  // The server simulator of orbalyn-host; null for the test host.
  CServerSim* Server() { return m_pServer.get(); }
  const HostOptions& Options() const { return m_options; }
  const HostSeed& Seed() const { return m_seed; }

 private:
  bool PrepareRuntime(std::string* pError);
  void RemoveSharedSection();

  const HostOptions m_options;
  const HostSeed m_seed;
  std::unique_ptr<CServerSim> m_pServer;
  CChildProcess m_process;
  std::string m_program;
  std::string m_suppressions;
  // Kill may come from a watchdog thread while the test reads the port.
  std::atomic<uint16_t> m_port{0};
  std::string m_bindKey;
};

}  // namespace uploads_e2e
