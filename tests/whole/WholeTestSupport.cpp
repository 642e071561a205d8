#include "WholeTestSupport.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "../common/ChildWait.h"
#include "../common/SpawnChild.h"
#include "../common/SpawnWithPipes.h"
#include "../common/TestFiles.h"

namespace whole_test {

using test_common::ProcessEnded;

namespace {

// A JSON string literal of `text`.
std::string Quote(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

// The object a reply line holds; null when it is not one or says "ok":false. Free with
// json_node_unref.
JsonNode* ParseReply(const std::string& reply) {
  JsonNode* pRoot = json_from_string(reply.c_str(), nullptr);
  if (!pRoot) return nullptr;
  if (!JSON_NODE_HOLDS_OBJECT(pRoot) ||
      !json_object_get_boolean_member_with_default(json_node_get_object(pRoot), "ok", FALSE)) {
    json_node_unref(pRoot);
    return nullptr;
  }
  return pRoot;
}

win32::RECT RectMember(JsonObject* pObject, const char* pName) {
  win32::RECT rect{};
  JsonArray* pArray = json_object_get_array_member(pObject, pName);
  if (pArray && json_array_get_length(pArray) == 4) {
    rect.left = static_cast<win32::LONG>(json_array_get_int_element(pArray, 0));
    rect.top = static_cast<win32::LONG>(json_array_get_int_element(pArray, 1));
    rect.right = static_cast<win32::LONG>(json_array_get_int_element(pArray, 2));
    rect.bottom = static_cast<win32::LONG>(json_array_get_int_element(pArray, 3));
  }
  return rect;
}

std::string StringMember(JsonObject* pObject, const char* pName) {
  const char* pText = json_object_get_string_member_with_default(pObject, pName, "");
  return pText ? pText : "";
}

Element ReadElement(JsonObject* pObject, const win32::POINT& origin) {
  Element element;
  element.id = StringMember(pObject, "id");
  element.name = StringMember(pObject, "name");
  element.kind = StringMember(pObject, "kind");
  element.text = StringMember(pObject, "text");
  element.picture = StringMember(pObject, "picture");
  element.hidden = json_object_get_boolean_member_with_default(pObject, "hidden", FALSE);
  element.shown = json_object_get_boolean_member_with_default(pObject, "shown", FALSE);
  element.enabled = json_object_get_boolean_member_with_default(pObject, "enabled", FALSE);
  element.selected = json_object_get_boolean_member_with_default(pObject, "selected", FALSE);
  const win32::RECT abs = RectMember(pObject, "abs");
  element.screen = {origin.x + abs.left, origin.y + abs.top, origin.x + abs.right,
                    origin.y + abs.bottom};
  if (JsonArray* pChildren = json_object_get_array_member(pObject, "children")) {
    for (guint i = 0; i < json_array_get_length(pChildren); ++i) {
      element.children.push_back(ReadElement(json_array_get_object_element(pChildren, i), origin));
    }
  }
  return element;
}

}  // namespace

std::string Capture(Strings args, int* pStatus) {
  // A bare name is looked up on the PATH, as a shell would.
  if (!args.empty() && args[0].find('/') == std::string::npos) {
    const char* pPath = getenv("PATH");
    std::string path = pPath ? pPath : "/usr/bin:/bin";
    for (size_t at = 0; at <= path.size();) {
      size_t end = path.find(':', at);
      if (end == std::string::npos) end = path.size();
      const std::string candidate = path.substr(at, end - at) + "/" + args[0];
      if (access(candidate.c_str(), X_OK) == 0) {
        args[0] = candidate;
        break;
      }
      at = end + 1;
    }
  }
  int in = -1, out = -1;
  pid_t pid = test_common::SpawnWithPipes(args, &in, &out);
  if (in >= 0) close(in);
  std::string output;
  if (pid > 0) {
    char buffer[65536];
    ssize_t n;
    while ((n = read(out, buffer, sizeof buffer)) > 0)
      output.append(buffer, static_cast<size_t>(n));
  }
  if (out >= 0) close(out);
  int status = -1;
  if (pid > 0) {
    status =
        test_common::WaitForChild(&pid, std::chrono::seconds(60), std::chrono::milliseconds(2));
  }
  if (pStatus) *pStatus = status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return output;
}

namespace {

// utime + stime of /proc/<pid>/stat in clock ticks, read after the name (which may hold spaces
// and parentheses itself); -1 when the process is gone.
long long CpuTicks(pid_t pid) {
  const std::string stat = test_files::ReadWholeFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t nameEnd = stat.rfind(')');
  unsigned long long utime = 0, stime = 0;
  if (nameEnd == std::string::npos ||
      std::sscanf(stat.c_str() + nameEnd + 1,
                  " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2) {
    return -1;
  }
  return static_cast<long long>(utime + stime);
}

long long VoluntarySwitches(pid_t pid, pid_t tid) {
  const std::string status = test_files::ReadWholeFile("/proc/" + std::to_string(pid) + "/task/" +
                                                       std::to_string(tid) + "/status");
  const std::string key = "\nvoluntary_ctxt_switches:";
  const size_t at = status.find(key);
  return at == std::string::npos ? -1 : std::stoll(status.substr(at + key.size()));
}

}  // namespace

Rest MeasureRest(pid_t pid, pid_t tid, int seconds) {
  const auto start = std::chrono::steady_clock::now();
  const long long ticks = CpuTicks(pid);
  const long long switches = VoluntarySwitches(pid, tid);
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const long long ticksAfter = CpuTicks(pid);
  const long long switchesAfter = VoluntarySwitches(pid, tid);
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  Rest rest;
  // A process that ended, or a thread that is gone, reads as fully busy: the check then fails.
  rest.cpuPercent = ticks < 0 || ticksAfter < 0
                        ? 100.0
                        : 100.0 * static_cast<double>(ticksAfter - ticks) /
                              static_cast<double>(sysconf(_SC_CLK_TCK)) / elapsed;
  rest.switchesPerSecond = switches < 0 || switchesAfter < 0
                               ? 1e9
                               : static_cast<double>(switchesAfter - switches) / elapsed;
  return rest;
}

std::vector<pid_t> ProcessesOfSandbox(const std::string& root) {
  std::vector<pid_t> found;
  const std::string entry = "LUMIDOCK_ROOT=" + root;
  std::error_code error;
  for (const auto& process : std::filesystem::directory_iterator("/proc", error)) {
    const std::string name = process.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const pid_t pid = std::stoi(name);
    if (pid == getpid() || ProcessEnded(pid)) continue;
    const std::string environment = test_files::ReadWholeFile(process.path().string() + "/environ");
    for (size_t at = 0; at < environment.size();) {
      size_t end = environment.find('\0', at);
      if (end == std::string::npos) end = environment.size();
      if (environment.compare(at, end - at, entry) == 0) {
        found.push_back(pid);
        break;
      }
      at = end + 1;
    }
  }
  return found;
}

const Element* Element::Find(const std::string& childId) const {
  for (const Element& child : children) {
    if (child.id == childId) return &child;
    if (const Element* pFound = child.Find(childId)) return pFound;
  }
  return nullptr;
}

// --- CEntryGate ---

CEntryGate::CEntryGate(int targetPort) : m_targetPort(targetPort) {
  m_listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (m_listenFd < 0 || bind(m_listenFd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(m_listenFd, 8) != 0 ||
      getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return;
  }
  m_port = ntohs(address.sin_port);
  m_acceptor = std::thread([this] { Accept(); });
}

CEntryGate::~CEntryGate() {
  m_stop = true;
  if (m_listenFd >= 0) shutdown(m_listenFd, SHUT_RDWR);
  if (m_acceptor.joinable()) m_acceptor.join();
  if (m_listenFd >= 0) close(m_listenFd);
  std::lock_guard<std::mutex> guard(m_lock);
  for (std::thread& relay : m_relays) relay.join();
}

void CEntryGate::Accept() {
  while (!m_stop) {
    pollfd wait{m_listenFd, POLLIN, 0};
    if (poll(&wait, 1, 100) <= 0) continue;
    int fd = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard<std::mutex> guard(m_lock);
    m_relays.emplace_back([this, fd] { Relay(fd); });
  }
}

void CEntryGate::Relay(int fd) {
  ++m_held;
  while (!m_open && !m_stop) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  int upstream = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(m_targetPort));
  if (!m_stop && upstream >= 0 &&
      connect(upstream, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    pollfd ends[2] = {{fd, POLLIN, 0}, {upstream, POLLIN, 0}};
    char buffer[65536];
    while (!m_stop) {
      if (poll(ends, 2, 100) <= 0) continue;
      bool closed = false;
      for (int i = 0; i < 2 && !closed; ++i) {
        if (!(ends[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        ssize_t n = read(ends[i].fd, buffer, sizeof buffer);
        closed = n <= 0 || send(ends[1 - i].fd, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) != n;
      }
      if (closed) break;
    }
  }
  if (upstream >= 0) close(upstream);
  close(fd);
}

// --- CWholeProgram ---

CWholeProgram::CWholeProgram(const std::string& root) : m_root(root) {
  namespace fs = std::filesystem;
  const fs::path from = LUMIDOCK_BIN_DIR;
  fs::create_directories(Bin());
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(from)) {
    const std::string name = entry.path().filename().string();
    const std::string extension = entry.path().extension().string();
    if (name == "layout" || name == "res") {
      fs::copy(entry.path(), Bin() + "/" + name, fs::copy_options::recursive);
    } else if (name == "Harborlight" || name == "Ferrylink" || extension == ".so" ||
               extension == ".ico") {
      fs::create_hard_link(entry.path(), Bin() + "/" + name, error);
      if (error) fs::copy_file(entry.path(), Bin() + "/" + name);
    }
  }
  fs::create_directories(m_root + "/port");
  fs::permissions(m_root + "/port", fs::perms::owner_all);
  m_socket = m_root + "/port/harborlight";
}

CWholeProgram::~CWholeProgram() {
  Disconnect();
  if (m_pid > 0) {
    kill(m_pid, SIGTERM);
    test_common::WaitForChild(&m_pid, std::chrono::seconds(10), std::chrono::milliseconds(5));
  }
}

Strings CWholeProgram::Environment() const {
  Strings environment = m_environment;
  environment.push_back("HARBORLIGHT_TESTPORT=" + m_socket);
  return environment;
}

bool CWholeProgram::Start(const Strings& environment) {
  m_environment = environment;
  m_pid = test_common::SpawnChild({Bin() + "/Harborlight"}, Environment(), {}, m_root + "/stderr");
  if (m_pid <= 0) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline && !ProcessEnded(m_pid)) {
    if (Window("MainWnd")) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

int CWholeProgram::StartAnother() {
  pid_t pid = test_common::SpawnChild({Bin() + "/Harborlight"}, m_environment, {},
                                      m_root + "/stderr-another");
  return test_common::WaitForChild(&pid, std::chrono::seconds(30), std::chrono::milliseconds(5));
}

int CWholeProgram::Wait(int seconds) {
  return test_common::WaitForChild(&m_pid, std::chrono::seconds(seconds),
                                   std::chrono::milliseconds(5));
}

std::string CWholeProgram::Errors() const { return test_files::ReadWholeFile(m_root + "/stderr"); }

Strings CWholeProgram::DriveCommand(const Strings& args) const {
  Strings command{HARBOR_DRIVE, "--socket", m_socket};
  command.insert(command.end(), args.begin(), args.end());
  return command;
}

std::string CWholeProgram::Port(const Strings& args) const {
  std::string request;
  if (args.size() == 2 && args[0] == "raw") {
    request = args[1];
  } else if (args.size() <= 2 && !args.empty() && args[0] == "tree") {
    request = "{\"cmd\":\"tree\",\"window\":" + Quote(args.size() == 2 ? args[1] : "") + "}";
  } else if (args.size() == 2 && args[0] == "menu-click") {
    request = "{\"cmd\":\"menu-click\",\"name\":" + Quote(args[1]) + "}";
  } else {
    int status = -1;
    std::string output = Capture(DriveCommand(args), &status);
    return status == 0 ? output : "";
  }
  // As harbor-drive: a refusal is a failure.
  const std::string reply = Ask(request);
  return reply.starts_with("{\"ok\":true") ? reply : "";
}

bool CWholeProgram::Command(const Strings& args) const { return !Port(args).empty(); }

void CWholeProgram::Disconnect() const {
  if (m_portFd >= 0) close(m_portFd);
  m_portFd = -1;
  m_portBuffer.clear();
  m_portAnswered = false;
}

// Sends on the open connection, or on a new one when there is none or the program at its other
// end has ended (a new start listens at the same path).
bool CWholeProgram::SendOrReconnect(const std::string& line) const {
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (m_portFd < 0) {
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      if (m_socket.size() >= sizeof address.sun_path) return false;
      std::memcpy(address.sun_path, m_socket.c_str(), m_socket.size() + 1);
      m_portFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (m_portFd < 0) return false;
      if (connect(m_portFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        Disconnect();
        return false;
      }
    }
    if (send(m_portFd, line.data(), line.size(), MSG_NOSIGNAL) ==
        static_cast<ssize_t>(line.size())) {
      return true;
    }
    Disconnect();
  }
  return false;
}

std::string CWholeProgram::Ask(const std::string& request) const {
  if (!SendOrReconnect(request + "\n")) return "";
  const auto sent = std::chrono::steady_clock::now();
  const int boundMs = m_portAnswered ? kAnswerMs : kStartMs;
  const auto deadline = sent + std::chrono::milliseconds(boundMs);
  for (;;) {
    const size_t newline = m_portBuffer.find('\n');
    if (newline != std::string::npos) {
      std::string reply = m_portBuffer.substr(0, newline);
      m_portBuffer.erase(0, newline + 1);
      const int tookMs = static_cast<int>((std::chrono::steady_clock::now() - sent) /
                                          std::chrono::milliseconds(1));
      if (!m_portAnswered) {
        m_portAnswered = true;
      } else if (tookMs >= m_slowestMs) {
        m_slowestMs = tookMs;
        m_slowestRequest = request;
      }
      return reply;
    }
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd wait{m_portFd, POLLIN, 0};
    if (left.count() <= 0 || poll(&wait, 1, static_cast<int>(left.count())) == 0) {
      // A program that ends while it is asked is no freeze.
      if (m_pid <= 0 || !ProcessEnded(m_pid)) {
        ADD_FAILURE() << "the test port did not answer within " << boundMs
                      << " ms (the GUI thread is stuck): " << request.substr(0, 200);
      }
      Disconnect();
      return "";
    }
    char chunk[65536];
    const ssize_t n = recv(m_portFd, chunk, sizeof chunk, 0);
    if (n <= 0) {  // the program ended
      Disconnect();
      return "";
    }
    m_portBuffer.append(chunk, static_cast<size_t>(n));
  }
}

bool CWholeProgram::Find(const std::string& window, const std::string& path, Element* pElement,
                         win32::RECT* pWindowRect) const {
  JsonNode* pReply = ParseReply(Port(
      {"raw", "{\"cmd\":\"find\",\"window\":" + Quote(window) + ",\"path\":" + Quote(path) + "}"}));
  if (!pReply) return false;
  JsonObject* pObject = json_node_get_object(pReply);
  const win32::RECT frame = RectMember(pObject, "window");
  if (pWindowRect) *pWindowRect = frame;
  *pElement = ReadElement(json_object_get_object_member(pObject, "element"),
                          win32::POINT{frame.left, frame.top});
  json_node_unref(pReply);
  return true;
}

bool CWholeProgram::Shown(const std::string& window, const std::string& path) const {
  Element element;
  return Find(window, path, &element) && element.shown;
}

std::string CWholeProgram::Text(const std::string& window, const std::string& path) const {
  Element element;
  return Find(window, path, &element) ? element.text : "";
}

win32::HWND CWholeProgram::Window(const std::string& window) const {
  JsonNode* pReply = ParseReply(Port({"tree", window}));
  if (!pReply) return nullptr;
  JsonArray* pWindows = json_object_get_array_member(json_node_get_object(pReply), "windows");
  win32::HWND hwnd = nullptr;
  if (pWindows && json_array_get_length(pWindows) > 0) {
    hwnd = reinterpret_cast<win32::HWND>(static_cast<uintptr_t>(
        json_object_get_int_member(json_array_get_object_element(pWindows, 0), "hwnd")));
  }
  json_node_unref(pReply);
  return hwnd;
}

bool CWholeProgram::TrayIcon(win32::POINT* pCentre) const {
  JsonNode* pReply = ParseReply(Port({"raw", "{\"cmd\":\"tray\"}"}));
  if (!pReply) return false;
  const win32::RECT area = RectMember(json_node_get_object(pReply), "area");
  json_node_unref(pReply);
  *pCentre = {(area.left + area.right) / 2, (area.top + area.bottom) / 2};
  return area.right > area.left;
}

int CWholeProgram::DecodesInFlight() const {
  JsonNode* pReply = ParseReply(Port({"raw", "{\"cmd\":\"decodes\"}"}));
  if (!pReply) return -1;
  const gint64 inFlight =
      json_object_get_int_member_with_default(json_node_get_object(pReply), "inFlight", -1);
  json_node_unref(pReply);
  return static_cast<int>(inFlight);
}

bool CWholeProgram::WaitDecodes(int timeoutMs) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const int inFlight = DecodesInFlight();
    if (inFlight == 0) return true;
    if (inFlight < 0 || std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

}  // namespace whole_test
