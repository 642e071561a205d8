// harbor-drive: drives a running Harborlight through its test port (HARBORLIGHT_TESTPORT).
// Exit status: 0 done (or --help), 1 refused or timed out (the reason on stderr), 2 bad usage or
// no port.

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "JsonLine.h"

namespace {

constexpr int kReplyTimeoutMs = 30000;

void Usage(std::FILE* pTo = stderr) {
  std::fputs(
      "usage: harbor-drive [--socket PATH] COMMAND ARGS\n"
      "       harbor-drive -h|--help\n"
      "  tree [WINDOW]                 the windows' element trees, as JSON\n"
      "  rect WINDOW PATH              the element's rectangle on screen: left top right bottom\n"
      "  click WINDOW PATH             PATH: ids joined by '/', each found below the one before\n"
      "  settext WINDOW PATH TEXT      type into an edit\n"
      "  check WINDOW PATH 0|1         set a check box\n"
      "  select-tab WINDOW PATH        pick a tab item\n"
      "  menu-click NAME               choose an item of the open menu\n"
      "  snapshot WINDOW FILE          save the window as a PNG file, drawn off screen\n"
      "  post WINDOW MSG WPARAM LPARAM post a message to the window (decimal numbers)\n"
      "  wait WINDOW [PATH] [--hidden] [--timeout MS]\n"
      "                                until the element is there and shown (or hidden)\n"
      "  raw LINE                      send one JSON line, print the reply\n"
      "The socket comes from --socket or HARBORLIGHT_TESTPORT.\n",
      pTo);
}

long long NowMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

class CPort {
 public:
  ~CPort() {
    if (m_fd >= 0) close(m_fd);
  }
  bool Connect(const std::string& path) {
    sockaddr_un address{};
    if (path.empty() || path.size() >= sizeof(address.sun_path)) return false;
    m_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return m_fd >= 0 && connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  }
  // One request, one reply line; false when the port went away.
  bool Ask(const std::string& request, std::string* pReply) {
    std::string line = request + "\n";
    for (size_t sent = 0; sent < line.size();) {
      ssize_t n = send(m_fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    long long deadline = NowMs() + kReplyTimeoutMs;
    for (;;) {
      size_t newline = m_buffer.find('\n');
      if (newline != std::string::npos) {
        *pReply = m_buffer.substr(0, newline);
        m_buffer.erase(0, newline + 1);
        return true;
      }
      pollfd wait{m_fd, POLLIN, 0};
      long long left = deadline - NowMs();
      if (left <= 0 || poll(&wait, 1, static_cast<int>(left)) <= 0) return false;
      char chunk[65536];
      ssize_t n = recv(m_fd, chunk, sizeof(chunk), 0);
      if (n <= 0) return false;
      m_buffer.append(chunk, static_cast<size_t>(n));
    }
  }

 private:
  int m_fd = -1;
  std::string m_buffer;
};

bool IsOk(const std::string& reply) { return reply.rfind("{\"ok\":true", 0) == 0; }

// The reason of a refusal.
std::string ErrorOf(const std::string& reply) {
  size_t at = reply.find("\"error\":\"");
  if (at == std::string::npos) return reply;
  std::string rest = reply.substr(at + 9);
  return rest.substr(0, rest.rfind('"'));
}

// The four numbers after "key":[ in the reply.
bool ReadRect(const std::string& reply, const char* pKey, long values[4]) {
  size_t at = reply.find(std::string("\"") + pKey + "\":[");
  if (at == std::string::npos) return false;
  return std::sscanf(reply.c_str() + at + std::strlen(pKey) + 4, "%ld,%ld,%ld,%ld", &values[0],
                     &values[1], &values[2], &values[3]) == 4;
}

std::string Request(const char* pCommand, const std::vector<std::pair<const char*, std::string>>& members) {
  lq::CJsonWriter json;
  json.BeginObject().Key("cmd").String(pCommand);
  for (const auto& [key, value] : members) json.Key(key).String(value);
  json.EndObject();
  return json.Text();
}

int Finish(CPort& port, const std::string& request, bool printReply) {
  std::string reply;
  if (!port.Ask(request, &reply)) {
    std::fputs("harbor-drive: the test port did not answer\n", stderr);
    return 2;
  }
  if (printReply) std::printf("%s\n", reply.c_str());
  if (IsOk(reply)) return 0;
  std::fprintf(stderr, "harbor-drive: %s\n", ErrorOf(reply).c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
    Usage(stdout);
    return 0;
  }
  std::string socketPath = getenv("HARBORLIGHT_TESTPORT") ? getenv("HARBORLIGHT_TESTPORT") : "";
  if (args.size() >= 2 && args[0] == "--socket") {
    socketPath = args[1];
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.empty()) {
    Usage();
    return 2;
  }
  CPort port;
  if (!port.Connect(socketPath)) {
    std::fprintf(stderr, "harbor-drive: cannot reach the test port at \"%s\"\n", socketPath.c_str());
    return 2;
  }
  const std::string& command = args[0];
  auto arg = [&args](size_t i) { return i < args.size() ? args[i] : std::string(); };
  if (command == "tree" && args.size() <= 2) {
    return Finish(port, Request("tree", {{"window", arg(1)}}), true);
  }
  if (command == "raw" && args.size() == 2) return Finish(port, args[1], true);
  if ((command == "click" || command == "select-tab") && args.size() == 3) {
    return Finish(port, Request(command.c_str(), {{"window", args[1]}, {"path", args[2]}}), false);
  }
  if (command == "settext" && args.size() == 4) {
    return Finish(port,
                  Request("settext", {{"window", args[1]}, {"path", args[2]}, {"text", args[3]}}),
                  false);
  }
  if (command == "check" && args.size() == 4) {
    lq::CJsonWriter json;
    json.BeginObject().Key("cmd").String("check").Key("window").String(args[1]);
    json.Key("path").String(args[2]).Key("checked").Bool(args[3] != "0").EndObject();
    return Finish(port, json.Text(), false);
  }
  if (command == "menu-click" && args.size() == 2) {
    return Finish(port, Request("menu-click", {{"name", args[1]}}), false);
  }
  if (command == "snapshot" && args.size() == 3) {
    return Finish(port, Request("snapshot", {{"window", args[1]}, {"file", args[2]}}), false);
  }
  if (command == "post" && args.size() == 5) {
    return Finish(port,
                  Request("post", {{"window", args[1]}, {"msg", args[2]}, {"wParam", args[3]},
                                   {"lParam", args[4]}}),
                  false);
  }
  if (command == "rect" && args.size() == 3) {
    std::string reply;
    if (!port.Ask(Request("find", {{"window", args[1]}, {"path", args[2]}}), &reply)) return 2;
    long element[4];
    long window[4];
    if (!IsOk(reply) || !ReadRect(reply, "abs", element) || !ReadRect(reply, "window", window)) {
      std::fprintf(stderr, "harbor-drive: %s\n", ErrorOf(reply).c_str());
      return 1;
    }
    std::printf("%ld %ld %ld %ld\n", window[0] + element[0], window[1] + element[1],
                window[0] + element[2], window[1] + element[3]);
    return 0;
  }
  if (command == "wait" && args.size() >= 2) {
    std::string path;
    bool hidden = false;
    long timeoutMs = 10000;
    for (size_t i = 2; i < args.size(); ++i) {
      if (args[i] == "--hidden") {
        hidden = true;
      } else if (args[i] == "--timeout" && i + 1 < args.size()) {
        timeoutMs = std::atol(args[++i].c_str());
      } else {
        path = args[i];
      }
    }
    long long deadline = NowMs() + timeoutMs;
    std::string request = Request("find", {{"window", args[1]}, {"path", path}});
    for (;;) {
      std::string reply;
      if (!port.Ask(request, &reply)) return 2;
      bool shown = reply.find("\"shown\":true") != std::string::npos &&
                   reply.find("\"shown\":true") < reply.find("\"children\"");
      if (IsOk(reply) && shown != hidden) return 0;
      if (NowMs() >= deadline) {
        std::fprintf(stderr, "harbor-drive: %s %s did not become %s\n", args[1].c_str(),
                     path.c_str(), hidden ? "hidden" : "shown");
        return 1;
      }
      usleep(50 * 1000);
    }
  }
  Usage();
  return 2;
}
