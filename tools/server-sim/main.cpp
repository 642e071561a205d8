// server-sim: the maker's servers on 127.0.0.1 for tests and for trying the PC by hand.
// Prints the ports it listens on ("entry-port N", ...), then one line per event. Lines on
// standard input steer it while it runs (see kUsage).

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "CFaultPlan.h"
#include "CServerSim.h"

namespace {

constexpr char kUsage[] =
    "usage: server-sim [--entry-port N] [--comm-port N] [--relay-port N] [--report-port N]\n"
    "                  [--web-port N] [--heartbeat SECONDS] [--fault NAME[:CMD]]...\n"
    "                  [--pc ID:IDKEY]... [--phone ID:KEY]... [--run-seconds N]\n"
    "Port 0 picks a free port; relay, report and web ports are off unless given.\n"
    "Standard input: online ID | offline ID | unbind PHONE | queue-unbind PHONE |\n"
    "                fault NAME[:CMD] | clear-faults | phone ID:KEY | quit\n";

bool ParseInt(const std::string& text, long long low, long long high, long long* pValue) {
  if (text.empty()) return false;
  char* pEnd = nullptr;
  errno = 0;
  long long value = std::strtoll(text.c_str(), &pEnd, 10);
  if (errno != 0 || *pEnd != '\0' || value < low || value > high) return false;
  *pValue = value;
  return true;
}

// "ID:KEY" with a non-zero id.
bool ParseIdKey(const std::string& text, int64_t* pId, std::string* pKey) {
  size_t colon = text.find(':');
  long long id = 0;
  if (colon == std::string::npos || !ParseInt(text.substr(0, colon), INT64_MIN, INT64_MAX, &id) ||
      id == 0) {
    return false;
  }
  *pId = id;
  *pKey = text.substr(colon + 1);
  return !pKey->empty();
}

void PrintLine(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

// One command line from standard input; false on "quit".
bool RunCommand(CServerSim& sim, const std::string& line) {
  std::string verb = line.substr(0, line.find(' '));
  std::string argument = line.size() > verb.size() ? line.substr(verb.size() + 1) : "";
  long long id = 0;
  bool known = true;
  if (verb == "quit") return false;
  if (verb == "online" && ParseInt(argument, INT64_MIN, INT64_MAX, &id)) {
    sim.SetPhoneOnline(id, true, true);
  } else if (verb == "offline" && ParseInt(argument, INT64_MIN, INT64_MAX, &id)) {
    sim.SetPhoneOnline(id, false, true);
  } else if (verb == "unbind" && ParseInt(argument, INT64_MIN, INT64_MAX, &id)) {
    sim.NoticePhoneUnbind(0, id);
  } else if (verb == "queue-unbind" && ParseInt(argument, INT64_MIN, INT64_MAX, &id)) {
    known = sim.QueueUnbindInfo(0, id);
  } else if (verb == "fault") {
    CFaultPlan::Fault fault;
    known = CFaultPlan::Parse(argument, &fault);
    if (known) sim.Faults().Add(fault);
  } else if (verb == "clear-faults") {
    sim.Faults().Clear();
  } else if (verb == "phone") {
    int64_t idPhone = 0;
    std::string key;
    known = ParseIdKey(argument, &idPhone, &key);
    if (known) sim.SetPhoneKey(idPhone, key);
  } else {
    known = false;
  }
  if (!known) PrintLine("command-failed " + line);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  CServerSim::Options options;
  std::vector<CFaultPlan::Fault> faults;
  std::vector<std::pair<int64_t, std::string>> pcs;
  std::vector<std::pair<int64_t, std::string>> phones;
  long long runSeconds = 0;
  for (int i = 1; i < argc; ++i) {
    std::string flag = argv[i];
    if (flag == "--help" || flag == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "server-sim: %s needs a value\n%s", flag.c_str(), kUsage);
      return 2;
    }
    std::string value = argv[++i];
    long long number = 0;
    bool good = true;
    if (flag == "--entry-port" || flag == "--comm-port" || flag == "--relay-port" ||
        flag == "--report-port" || flag == "--web-port") {
      good = ParseInt(value, 0, 65535, &number);
      int port = static_cast<int>(number);
      if (flag == "--entry-port") options.entryPort = port;
      if (flag == "--comm-port") options.commPort = port;
      if (flag == "--relay-port") options.relayPort = port;
      if (flag == "--report-port") options.reportPort = port;
      if (flag == "--web-port") options.webPort = port;
    } else if (flag == "--heartbeat") {
      good = ParseInt(value, INT32_MIN, INT32_MAX, &number);
      options.heartbeatCycle = static_cast<int32_t>(number);
    } else if (flag == "--run-seconds") {
      good = ParseInt(value, 1, 86400 * 365, &runSeconds);
    } else if (flag == "--fault") {
      CFaultPlan::Fault fault;
      good = CFaultPlan::Parse(value, &fault);
      faults.push_back(fault);
    } else if (flag == "--pc" || flag == "--phone") {
      int64_t id = 0;
      std::string key;
      good = ParseIdKey(value, &id, &key);
      (flag == "--pc" ? pcs : phones).emplace_back(id, key);
    } else {
      good = false;
    }
    if (!good) {
      std::fprintf(stderr, "server-sim: bad %s %s\n%s(faults: %s)\n", flag.c_str(), value.c_str(),
                   kUsage, CFaultPlan::Names().c_str());
      return 2;
    }
  }

  // Blocked before any thread starts, so every thread inherits the mask and only the
  // signalfd below sees the signals.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);
  if (signalFd < 0) {
    std::perror("server-sim: signalfd");
    return 1;
  }

  options.onEvent = PrintLine;
  CServerSim sim(options);
  for (const auto& [id, key] : pcs) sim.AddPc(id, key);
  for (const auto& [id, key] : phones) sim.SetPhoneKey(id, key);
  for (const CFaultPlan::Fault& fault : faults) sim.Faults().Add(fault);
  if (!sim.Start()) {
    std::fprintf(stderr, "server-sim: cannot listen on the ports asked for\n");
    return 1;
  }
  PrintLine("entry-port " + std::to_string(sim.EntryPort()));
  PrintLine("comm-port " + std::to_string(sim.CommPort()));
  if (options.relayPort >= 0) PrintLine("relay-port " + std::to_string(sim.RelayPort()));
  if (options.reportPort >= 0) PrintLine("report-port " + std::to_string(sim.ReportPort()));
  if (options.webPort >= 0) PrintLine("web-port " + std::to_string(sim.WebPort()));

  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(runSeconds);
  bool readStdin = true;
  bool running = true;
  std::string input;
  while (running) {
    int timeoutMs = -1;
    if (runSeconds > 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      timeoutMs = static_cast<int>(left.count());
    }
    pollfd entries[2] = {{signalFd, POLLIN, 0}, {readStdin ? STDIN_FILENO : -1, POLLIN, 0}};
    int ready = poll(entries, 2, timeoutMs);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    if (entries[0].revents) break;
    if (entries[1].revents) {
      char buffer[4096];
      ssize_t n = read(STDIN_FILENO, buffer, sizeof(buffer));
      if (n <= 0) {
        readStdin = false;  // no one steering: keep serving until a signal or the deadline
        continue;
      }
      input.append(buffer, static_cast<size_t>(n));
      size_t end;
      while (running && (end = input.find('\n')) != std::string::npos) {
        std::string line = input.substr(0, end);
        input.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) running = RunCommand(sim, line);
      }
    }
  }
  sim.Stop();
  PrintLine("stopped");
  close(signalFd);
  return 0;
}
