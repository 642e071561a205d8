// Ferrylink as a program on a private X server with openbox: the real WebKit back end showing
// server-sim's pages (or hostile ones put in their place), x11-peer as the parent that started it.
// Each case waits for paint before it looks, spaces its clicks more than 800 ms apart, and keeps a
// screenshot in artifacts/ui.

#include <gtest/gtest.h>
// After gtest: X11 defines None.
#include <X11/Xatom.h>
#include <gdk/gdkx.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../common/ChildWait.h"
#include "../common/TestFiles.h"
#include "../x11/X11TestSupport.h"
#include "CServerSim.h"

using namespace win32;
using namespace x11_test;
using test_common::ProcessEnded;

namespace {

constexpr int kLoginWidth = 625;
constexpr int kLoginHeight = 370;

struct Rgb {
  int r, g, b;
};
constexpr Rgb kLoginBlue{0x2d, 0x8c, 0xf0};
constexpr Rgb kDownloadGreen{0x2b, 0xb6, 0x73};

// The screen's pixel at (x, y).
Rgb ScreenPixel(int x, int y) {
  GdkPixbuf* pPixel = gdk_pixbuf_get_from_window(gdk_get_default_root_window(), x, y, 1, 1);
  if (!pPixel) return Rgb{-1, -1, -1};
  const guchar* p = gdk_pixbuf_get_pixels(pPixel);
  Rgb rgb{p[0], p[1], p[2]};
  g_object_unref(pPixel);
  return rgb;
}

bool Near(Rgb a, Rgb b) {
  return std::abs(a.r - b.r) <= 3 && std::abs(a.g - b.g) <= 3 && std::abs(a.b - b.b) <= 3;
}

RECT RectOf(HWND hwnd) {
  RECT rect{};
  GetWindowRect(hwnd, &rect);
  return rect;
}

bool SkipsTaskbar(HWND hwnd) {
  GdkDisplay* pDisplay = gdk_display_get_default();
  Display* pX = GDK_DISPLAY_XDISPLAY(pDisplay);
  const Atom state = XInternAtom(pX, "_NET_WM_STATE", False);
  const Atom skip = XInternAtom(pX, "_NET_WM_STATE_SKIP_TASKBAR", False);
  Atom type = 0;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* pData = nullptr;
  bool found = false;
  gdk_x11_display_error_trap_push(pDisplay);
  if (XGetWindowProperty(pX, static_cast<::Window>(reinterpret_cast<uintptr_t>(hwnd)), state, 0, 32,
                         False, XA_ATOM, &type, &format, &count, &after, &pData) == Success &&
      pData) {
    for (unsigned long i = 0; i < count; ++i) found |= reinterpret_cast<Atom*>(pData)[i] == skip;
    XFree(pData);
  }
  gdk_x11_display_error_trap_pop_ignored(pDisplay);
  return found;
}

// An HTTPS site on loopback with a certificate made here that nobody vouches for. It counts the
// connections that reached it and the requests it read after a finished handshake.
class UntrustedTlsSite {
 public:
  UntrustedTlsSite() {
    EVP_PKEY* pKey = EVP_EC_gen("P-256");
    X509* pCert = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(pCert), 1);
    X509_gmtime_adj(X509_getm_notBefore(pCert), 0);
    X509_gmtime_adj(X509_getm_notAfter(pCert), 3600);
    X509_set_pubkey(pCert, pKey);
    X509_NAME* pName = X509_get_subject_name(pCert);
    X509_NAME_add_entry_by_txt(pName, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
    X509_set_issuer_name(pCert, pName);
    m_pContext = SSL_CTX_new(TLS_server_method());
    const bool ready = pKey && X509_sign(pCert, pKey, EVP_sha256()) > 0 &&
                       SSL_CTX_use_certificate(m_pContext, pCert) == 1 &&
                       SSL_CTX_use_PrivateKey(m_pContext, pKey) == 1;
    X509_free(pCert);
    EVP_PKEY_free(pKey);
    m_listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (!ready || bind(m_listenFd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        listen(m_listenFd, 8) != 0 ||
        getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      return;
    }
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { Serve(); });
  }
  UntrustedTlsSite(const UntrustedTlsSite&) = delete;
  UntrustedTlsSite& operator=(const UntrustedTlsSite&) = delete;
  ~UntrustedTlsSite() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    close(m_listenFd);
    SSL_CTX_free(m_pContext);
  }

  uint16_t Port() const { return m_port; }
  int Connections() const { return m_connections; }
  int Requests() const { return m_requests; }

 private:
  void Serve() {
    while (!m_stop) {
      pollfd ready{m_listenFd, POLLIN, 0};
      if (poll(&ready, 1, 100) != 1) continue;
      const int fd = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      ++m_connections;
      const timeval bound{5, 0};
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
      SSL* pSsl = SSL_new(m_pContext);
      SSL_set_fd(pSsl, fd);
      char buffer[512];
      if (SSL_accept(pSsl) == 1 && SSL_read(pSsl, buffer, sizeof buffer) > 0) ++m_requests;
      SSL_free(pSsl);
      close(fd);
    }
  }

  SSL_CTX* m_pContext = nullptr;
  int m_listenFd = -1;
  uint16_t m_port = 0;
  std::thread m_thread;
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_connections{0};
  std::atomic<int> m_requests{0};
};

class FerrylinkX11Test : public ::testing::Test {
 protected:
  void SetUp() override {
    CServerSim::Options options;
    options.webPort = 0;
    options.webPages = m_webPages;
    options.onEvent = [this](const std::string& line) {
      std::lock_guard<std::mutex> guard(m_eventLock);
      m_events.push_back(line);
    };
    m_pSim = std::make_unique<CServerSim>(options);
    ASSERT_TRUE(m_pSim->Start());
    const std::string site = "http://127.0.0.1:" + std::to_string(m_pSim->WebPort());
    setenv("LUMIDOCK_WEB_SITE", site.c_str(), 1);
    setenv("LUMIDOCK_LOGIN_SITE", site.c_str(), 1);
  }
  void TearDown() override {
    if (m_popupPid > 0 && !ProcessEnded(m_popupPid)) kill(m_popupPid, SIGKILL);
    m_pParent.reset();
    if (m_pSim) m_pSim->Stop();
  }

  // x11-peer as the parent, and Ferrylink started by it; true once the parent has been told
  // the popup's window and the login page is painted in it.
  [[nodiscard]] bool StartUnderParent() {
    m_pParent = std::make_unique<Peer>(Peer::Start::kChild);
    if (!WaitUntil([&] { return Viewable(m_pParent->Hwnd()); })) return false;
    char parent[32];
    snprintf(parent, sizeof parent, "Parent=%08lx",
             static_cast<unsigned long>(reinterpret_cast<uintptr_t>(m_pParent->Hwnd())));
    const std::string spawned =
        m_pParent->Ask("spawn " FERRYLINK " " + std::string(parent), "spawn");
    if (sscanf(spawned.c_str(), "spawned %d", &m_popupPid) != 1) return false;
    const std::string created = m_pParent->WaitLine("msg 8000 ", 20000);
    unsigned long popup = 0;
    if (sscanf(created.c_str(), "msg 8000 %lx", &popup) != 1) return false;
    m_popup = reinterpret_cast<HWND>(static_cast<uintptr_t>(popup));
    return WaitPainted(kLoginBlue);
  }
  // The page's colour at the popup's top-left corner (off its link), where it is now.
  [[nodiscard]] bool WaitPainted(Rgb color, int timeoutMs = 20000) {
    return WaitUntil(
        [&] {
          const RECT rect = RectOf(m_popup);
          return rect.right > rect.left && Near(ScreenPixel(rect.left + 8, rect.bottom - 8), color);
        },
        timeoutMs);
  }
  // The popup looks at its parent every 300 ms and then ends; what is waited for is the process's
  // end, which takes the web engine's teardown and, under ASan, the leak scan of its whole heap:
  // seconds on a loaded machine. The bound is one of liveness.
  static constexpr int kEndsWithinMs = 30000;
  // The thread sanitizer slows the web engine several times over: the bound stretches there only.
  bool ExitedWithin(int ms) {
#ifdef __SANITIZE_THREAD__
    ms *= 3;
#endif
    return WaitUntil([&] { return ProcessEnded(m_popupPid); }, ms);
  }
  POINT Centre(HWND hwnd) {
    const RECT rect = RectOf(hwnd);
    return POINT{(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
  }
  static bool Click(POINT at) {
    Pause(850);
    return RunTool(
        {"xdotool", "mousemove", std::to_string(at.x), std::to_string(at.y), "click", "1"});
  }
  // The parent's own window: enabled and the active one.
  bool ParentEnabledAndActive() {
    return WaitUntil([&] { return m_pParent->Ask("state", "state ") == "state 1 1"; }, 5000);
  }

  // Whether the web server was asked for that path.
  bool Requested(const std::string& path) {
    std::lock_guard<std::mutex> guard(m_eventLock);
    for (const std::string& line : m_events) {
      if (line.ends_with(" path=" + path)) return true;
    }
    return false;
  }

  std::map<std::string, std::string> m_webPages;  // set before SetUp
  std::unique_ptr<CServerSim> m_pSim;
  std::unique_ptr<Peer> m_pParent;
  int m_popupPid = -1;
  HWND m_popup = nullptr;
  std::mutex m_eventLock;
  std::vector<std::string> m_events;  // m_eventLock
};

// Started by its parent: the parent gets WM_APP with the popup's own window, which lies centred
// over it, off the taskbar; the login page got the application id and the download page.
TEST_F(FerrylinkX11Test, TellsItsParentAndShowsTheLoginPage) {
  ASSERT_TRUE(StartUnderParent());
  DWORD pid = 0;
  GetWindowThreadProcessId(m_popup, &pid);
  EXPECT_EQ(static_cast<int>(pid), m_popupPid);
  const RECT parent = RectOf(m_pParent->Hwnd());
  const RECT popup = RectOf(m_popup);
  EXPECT_EQ(popup.right - popup.left, kLoginWidth);
  EXPECT_EQ(popup.bottom - popup.top, kLoginHeight);
  EXPECT_EQ(popup.left, parent.left + (parent.right - parent.left - kLoginWidth) / 2);
  EXPECT_EQ(popup.top, parent.top + (parent.bottom - parent.top - kLoginHeight) / 2);
  EXPECT_TRUE(SkipsTaskbar(m_popup));
  EXPECT_EQ(m_pSim->EventCount("web-login"), 1u);
  EXPECT_TRUE(SaveScreenshot("ferrylink-login"));
}

// The login page's link leads to the download page: the popup shrinks to 410 x 312 over the
// parent; that page's window.close() link ends the program, and the parent, disabled meanwhile,
// is enabled and active again.
TEST_F(FerrylinkX11Test, LoginLinkShrinksAndTheDownloadPageClosesIt) {
  ASSERT_TRUE(StartUnderParent());
  m_pParent->Ask("enable " + m_pParent->Hex() + " 0", "enabled");
  ASSERT_TRUE(Click(Centre(m_popup)));
  ASSERT_TRUE(m_pSim->WaitForEvent("web-page", 1, 10000));
  ASSERT_TRUE(WaitUntil([&] { return RectOf(m_popup).right - RectOf(m_popup).left == 410; }));
  ASSERT_TRUE(WaitPainted(kDownloadGreen));
  const RECT parent = RectOf(m_pParent->Hwnd());
  const RECT popup = RectOf(m_popup);
  EXPECT_EQ(popup.bottom - popup.top, 312);
  EXPECT_EQ(popup.left, parent.left + (parent.right - parent.left - 410) / 2);
  EXPECT_EQ(popup.top, parent.top + (parent.bottom - parent.top - 312) / 2);
  EXPECT_TRUE(SaveScreenshot("ferrylink-download"));
  ASSERT_TRUE(Click(Centre(m_popup)));
  EXPECT_FALSE(
      m_pParent->WaitLine("exited " + std::to_string(m_popupPid) + " 0", kEndsWithinMs).empty());
  EXPECT_TRUE(ParentEnabledAndActive());
}

// The parent hidden, or killed: the popup ends at its next look at the parent.
TEST_F(FerrylinkX11Test, ParentHiddenOrKilledEndsIt) {
  ASSERT_TRUE(StartUnderParent());
  m_pParent->Send("hide");
  EXPECT_TRUE(ExitedWithin(kEndsWithinMs));
  m_pParent.reset();
  ASSERT_TRUE(StartUnderParent());
  m_pParent->Kill();
  EXPECT_TRUE(ExitedWithin(kEndsWithinMs));
}

// Clicked active, a click on the parent keeps the popup (its parent closes it itself); the
// parent's WM_CLOSE ends it and gives the parent its focus back. Clicked active again, any other
// window taking the focus ends it.
TEST_F(FerrylinkX11Test, FocusToTheParentKeepsItFocusElsewhereEndsIt) {
  ASSERT_TRUE(StartUnderParent());
  const RECT popup = RectOf(m_popup);
  ASSERT_TRUE(Click(POINT{popup.left + 20, popup.top + 20}));
  const RECT parent = RectOf(m_pParent->Hwnd());
  ASSERT_TRUE(Click(POINT{parent.left + 10, parent.bottom - 10}));
  EXPECT_FALSE(ExitedWithin(1000));
  m_pParent->Ask("post " + std::to_string(reinterpret_cast<uintptr_t>(m_popup)) + " 0x10 0 0",
                 "posted");
  EXPECT_TRUE(ExitedWithin(kEndsWithinMs));
  EXPECT_TRUE(ParentEnabledAndActive());

  m_pParent.reset();
  ASSERT_TRUE(StartUnderParent());
  TestWindow other("another window");
  ASSERT_TRUE(other.WaitViewable());
  const RECT now = RectOf(m_popup);
  ASSERT_TRUE(Click(POINT{now.left + 20, now.top + 20}));
  SetActiveWindow(other.Hwnd());
  EXPECT_TRUE(ExitedWithin(kEndsWithinMs));
}

// A press and drag on the page moves the popup; on the link it does not.
TEST_F(FerrylinkX11Test, DragOnThePageMovesItNotOnTheLink) {
  ASSERT_TRUE(StartUnderParent());
  auto drag = [&](POINT from) {
    Pause(850);
    // The page tells what lies under the pointer a moment after it arrives, as a person's
    // hovering would: the press comes a second later.
    return RunTool({"xdotool",
                    "mousemove",
                    std::to_string(from.x),
                    std::to_string(from.y),
                    "sleep",
                    "1",
                    "mousedown",
                    "1",
                    "sleep",
                    "0.2",
                    "mousemove",
                    std::to_string(from.x + 30),
                    std::to_string(from.y + 20),
                    "sleep",
                    "0.1",
                    "mousemove",
                    std::to_string(from.x + 60),
                    std::to_string(from.y + 40),
                    "sleep",
                    "0.2",
                    "mouseup",
                    "1"});
  };
  const RECT before = RectOf(m_popup);
  ASSERT_TRUE(drag(POINT{before.left + 40, before.bottom - 40}));
  ASSERT_TRUE(WaitUntil([&] { return RectOf(m_popup).left != before.left; }, 3000));
  const RECT moved = RectOf(m_popup);
  EXPECT_NEAR(moved.left - before.left, 60, 4);
  EXPECT_NEAR(moved.top - before.top, 40, 4);
  ASSERT_TRUE(drag(Centre(m_popup)));
  Pause(500);
  EXPECT_EQ(RectOf(m_popup).left, moved.left);
  EXPECT_EQ(RectOf(m_popup).top, moved.top);
  EXPECT_FALSE(ProcessEnded(m_popupPid));
}

// Without a parent: centred on the screen, on the taskbar, nobody told; WM_CLOSE ends it with 0.
TEST_F(FerrylinkX11Test, WithoutAParentCentredOnTheScreen) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  std::u16string line = u"\"" + Utf8ToUtf16(FERRYLINK) + u"\"";
  ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &startup, &process));
  CloseHandle(process.hThread);
  m_popupPid = static_cast<int>(process.dwProcessId);
  // Its window: the one whose _NET_WM_PID is the child's.
  ASSERT_TRUE(WaitUntil(
      [&] {
        HWND found = nullptr;
        std::string output;
        FILE* pPipe = popen(("xdotool search --pid " + std::to_string(m_popupPid)).c_str(), "r");
        char buffer[64];
        while (pPipe && fgets(buffer, sizeof buffer, pPipe)) {
          HWND candidate =
              reinterpret_cast<HWND>(static_cast<uintptr_t>(strtoul(buffer, nullptr, 10)));
          if (Viewable(candidate)) found = candidate;
        }
        if (pPipe) pclose(pPipe);
        m_popup = found;
        return found != nullptr;
      },
      20000));
  ASSERT_TRUE(WaitPainted(kLoginBlue));
  const RECT rect = RectOf(m_popup);
  EXPECT_EQ(rect.left, (GetSystemMetrics(SM_CXSCREEN) - kLoginWidth) / 2);
  EXPECT_EQ(rect.top, (GetSystemMetrics(SM_CYSCREEN) - kLoginHeight) / 2);
  EXPECT_FALSE(SkipsTaskbar(m_popup));
  EXPECT_TRUE(SaveScreenshot("ferrylink-alone"));
  ASSERT_TRUE(PostMessageW(m_popup, WM_CLOSE, 0, 0));
  ASSERT_EQ(WaitForSingleObject(process.hProcess, 5000), WAIT_OBJECT_0);
  DWORD code = 99;
  GetExitCodeProcess(process.hProcess, &code);
  EXPECT_EQ(code, 0u);
  CloseHandle(process.hProcess);
}

// The login page replaced by a hostile one; the download page on an HTTPS site nobody vouches
// for; HOME, the download folder and the sandbox in one temporary folder.
class FerrylinkHostilePagesTest : public FerrylinkX11Test {
 protected:
  void SetUp() override {
    m_folder = test_files::MakeTempFolder("ferrylink-pages");
    ASSERT_FALSE(m_folder.empty());
    const std::string secret = m_folder + "/secret.html";
    m_webPages["/cgi-bin/login"] = HtmlResponse(R"(<!DOCTYPE html><html><head><style>
html,body{margin:0;height:100%;background:#2d8cf0}
#next{position:absolute;left:40%;top:40%;width:20%;height:20%;background:#fff}
</style></head><body><a id="next" href="#"></a><script>
const secret = 'file://)" + secret + R"(';
const report = (what) => fetch('/report-' + what);
function click(attributes) {
  const link = Object.assign(document.createElement('a'), attributes);
  document.body.append(link);
  link.click();
}
window.open('/opened-by-script');
click({href: '/opened-by-blank', target: '_blank'});
click({href: '/login-file', download: '.bash_login'});
fetch(secret).then(() => report('file-read'), () => report('file-unread'));
const steps = [secret, '/to-attachment', new URLSearchParams(location.search).get('s_url')];
let step = 0;
document.getElementById('next').onclick = (e) => {
  e.preventDefault();
  location.href = steps[step++];
};
</script></body></html>)");
    m_webPages["/to-attachment"] =
        "HTTP/1.1 302 Found\r\nLocation: /bash-profile\r\nContent-Length: 0\r\n"
        "Connection: close\r\n\r\n";
    m_webPages["/bash-profile"] =
        "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n"
        "Content-Disposition: attachment; filename=\".bash_profile\"\r\nContent-Length: 9\r\n"
        "Connection: close\r\n\r\necho hi\n\n";
    m_webPages["/login-file"] = HtmlResponse("<p>login</p>");
    for (const char* pName : {"HOME", "XDG_CONFIG_HOME", "LUMIDOCK_ROOT"}) {
      const char* pValue = getenv(pName);
      m_savedEnvironment.emplace_back(pName, pValue ? pValue : "");
    }
    setenv("HOME", (m_folder + "/home").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (m_folder + "/config").c_str(), 1);
    setenv("LUMIDOCK_ROOT", (m_folder + "/root").c_str(), 1);
    std::filesystem::create_directories(m_folder + "/home");
    std::filesystem::create_directories(m_folder + "/downloads");
    test_files::WriteWholeFile(m_folder + "/config/user-dirs.dirs",
                               "XDG_DOWNLOAD_DIR=\"" + m_folder + "/downloads\"\n");

    FerrylinkX11Test::SetUp();
    test_files::WriteWholeFile(secret,
                               "<!DOCTYPE html><script>new Image().src = "
                               "'http://127.0.0.1:" +
                                   std::to_string(m_pSim->WebPort()) +
                                   "/file-page-shown';</script>");
    m_pTls = std::make_unique<UntrustedTlsSite>();
    ASSERT_NE(m_pTls->Port(), 0);
    setenv("LUMIDOCK_WEB_SITE", ("https://127.0.0.1:" + std::to_string(m_pTls->Port())).c_str(), 1);
  }
  void TearDown() override {
    FerrylinkX11Test::TearDown();
    m_pTls.reset();
    for (const auto& [name, value] : m_savedEnvironment) {
      if (value.empty()) {
        unsetenv(name.c_str());
      } else {
        setenv(name.c_str(), value.c_str(), 1);
      }
    }
    std::error_code ignored;
    std::filesystem::remove_all(m_folder, ignored);
  }

  static std::string HtmlResponse(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
  }
  // Files in HOME or the download folder, or anywhere with a name from the pages.
  std::vector<std::string> SavedFiles() const {
    std::vector<std::string> saved;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(m_folder)) {
      const std::string path = entry.path().string();
      if (entry.is_regular_file() &&
          (path.starts_with(m_folder + "/home/") || path.starts_with(m_folder + "/downloads/") ||
           path.find("bash_") != std::string::npos)) {
        saved.push_back(path);
      }
    }
    return saved;
  }

  std::string m_folder;
  std::unique_ptr<UntrustedTlsSite> m_pTls;
  std::vector<std::pair<std::string, std::string>> m_savedEnvironment;
};

// The pages' downloads save nothing, their windows do not open, a local file is neither read nor
// shown, a right click opens no menu, and the untrusted download page is neither passed nor
// counted as shown (the popup keeps the login size).
TEST_F(FerrylinkHostilePagesTest, SavesNothingOpensNothingAndCountsNoFailedPage) {
  ASSERT_TRUE(StartUnderParent());
  // The page's own script has run once its fetch of the local file is reported.
  ASSERT_TRUE(WaitUntil(
      [&] { return Requested("/report-file-unread") || Requested("/report-file-read"); }, 20000));
  const RECT login = RectOf(m_popup);
  const POINT at{login.left + 30, login.top + 30};
  Pause(850);
  ASSERT_TRUE(
      RunTool({"xdotool", "mousemove", std::to_string(at.x), std::to_string(at.y), "click", "3"}));
  Pause(1000);
  EXPECT_TRUE(Near(ScreenPixel(at.x + 40, at.y + 20), kLoginBlue)) << "a context menu is shown";
  // The page tells that the pointer is on its link a moment after it arrives; a press before
  // would start a drag instead.
  auto clickLink = [&] {
    const POINT link = Centre(m_popup);
    Pause(850);
    return RunTool({"xdotool", "mousemove", std::to_string(link.x), std::to_string(link.y), "sleep",
                    "1", "click", "1"});
  };
  ASSERT_TRUE(clickLink());  // to the local file
  ASSERT_TRUE(clickLink());  // to the attachment
  ASSERT_TRUE(WaitUntil([&] { return Requested("/bash-profile"); }, 10000))
      << "the attachment was not asked for";
  Pause(1000);               // decided before the next page could cancel it
  ASSERT_TRUE(clickLink());  // to the download page
  ASSERT_TRUE(WaitUntil([&] { return m_pTls->Connections() > 0; }, 20000))
      << "the download page was not asked for (the attachment's page is shown?)";
  ASSERT_TRUE(WaitPainted(Rgb{0xff, 0xff, 0xff})) << "the error page";
  Pause(1000);
  EXPECT_TRUE(SaveScreenshot("ferrylink-untrusted-download-page"));
  EXPECT_EQ(m_pTls->Requests(), 0);
  const RECT now = RectOf(m_popup);
  EXPECT_EQ(now.right - now.left, kLoginWidth);
  EXPECT_EQ(now.bottom - now.top, kLoginHeight);
  EXPECT_TRUE(Requested("/report-file-unread"));
  for (const char* pPath :
       {"/opened-by-script", "/opened-by-blank", "/file-page-shown", "/report-file-read"}) {
    EXPECT_FALSE(Requested(pPath)) << pPath;
  }
  for (const std::string& path : SavedFiles()) ADD_FAILURE() << "saved: " << path;
}

}  // namespace

int main(int argc, char** argv) { return RunGuiTests(argc, argv); }
