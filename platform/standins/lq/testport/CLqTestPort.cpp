#include "CLqTestPort.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "Basalt/KwDiag.h"
#include "CCheckElement.h"
#include "CEditElement.h"
#include "CLqPainter.h"
#include "CMenuElement.h"
#include "CScrollElement.h"
#include "CTabStripElement.h"
#include "JsonLine.h"
#include "LqThread.h"
#include "win32/strings.h"

// After the layer's headers.
#include <glib-unix.h>

using namespace win32;

namespace lq {

namespace {

constexpr size_t kMaxLineBytes = 1 << 20;

CLqTestPort::Hooks g_hooks;
size_t (*g_decodeCounter)() = nullptr;

struct Connection {
  int fd = -1;
  GSource* pSource = nullptr;
  std::string pending;
};

struct Server {
  int listenFd = -1;
  std::string path;
  GSource* pListen = nullptr;
  GMainContext* pContext = nullptr;
  std::vector<Connection*> connections;
};

Server& TheServer() {
  static Server server;
  return server;
}

std::string Narrow(const std::u16string& text) { return Utf16ToUtf8(text); }

// The whole text as a decimal number; false for anything else, an empty text included.
template <typename T>
bool WholeNumber(const std::string& text, T* pValue) {
  const char* pEnd = text.data() + text.size();
  auto [at, error] = std::from_chars(text.data(), pEnd, *pValue);
  return error == std::errc() && at == pEnd && !text.empty();
}

void WriteRect(CJsonWriter& json, const char* pKey, const RECT& rect) {
  json.Key(pKey).BeginArray();
  for (LONG value : {rect.left, rect.top, rect.right, rect.bottom}) json.Item().Number(value);
  json.EndArray();
}

std::string PictureName(const PictureRef& picture) {
  if (!picture.Path().empty()) return Narrow(picture.Path());
  return picture.Object() ? "(object)" : "";
}

void WriteElement(CJsonWriter& json, CElement* pElement) {
  pElement->ArrangeChildren();
  const RECT& rect = pElement->Rect();
  POINT offset = pElement->OffsetInTopLevel();
  json.BeginObject();
  json.Key("id").String(Narrow(pElement->IdText()));
  json.Key("name").String(Narrow(pElement->NameText()));
  json.Key("kind").String(Narrow(pElement->KindNameText()));
  json.Key("text").String(Narrow(pElement->TextValue()));
  WriteRect(json, "rect", rect);
  WriteRect(json, "abs",
            RECT{offset.x, offset.y, offset.x + rect.right - rect.left,
                 offset.y + rect.bottom - rect.top});
  json.Key("hidden").Bool(pElement->HiddenFlag());
  json.Key("shown").Bool(pElement->IsShownInTree());
  json.Key("enabled").Bool(pElement->EnabledFlag());
  json.Key("hover").Bool(pElement->IsHovered());
  json.Key("picture").String(PictureName(pElement->Picture()));
  json.Key("opacity").Number(pElement->OpacityValue());
  switch (pElement->Kind()) {
    case ElementKind::kCheck:
      json.Key("checked").Bool(static_cast<CCheckElement*>(pElement)->Checked());
      break;
    case ElementKind::kTabItem:
      json.Key("selected").Bool(pElement->StateValue() == LqSetting::kStateSelected);
      break;
    case ElementKind::kScroll:
    case ElementKind::kTabStrip: {
      auto* pScroll = static_cast<CScrollElement*>(pElement);
      json.Key("scroll").BeginArray().Item().Number(pScroll->ScrollPosition().x);
      json.Item().Number(pScroll->ScrollPosition().y).EndArray();
      json.Key("scrollable").BeginArray().Item().Bool(pScroll->ScrollEnabled(false));
      json.Item().Bool(pScroll->ScrollEnabled(true)).EndArray();
      break;
    }
    default:
      break;
  }
  json.Key("children").BeginArray();
  for (CElement* pChild : pElement->Children()) {
    json.Item();
    WriteElement(json, pChild);
  }
  json.EndArray().EndObject();
}

void WriteWindow(CJsonWriter& json, CWindowElement* pWindow) {
  json.BeginObject();
  json.Key("window").String(Narrow(pWindow->FrameName()));
  json.Key("native").String(Narrow(pWindow->NativeName()));
  json.Key("hwnd").Number(static_cast<long long>(reinterpret_cast<uintptr_t>(pWindow->Handle())));
  json.Key("title").String(Narrow(pWindow->Title()));
  WriteRect(json, "rect", pWindow->Rect());
  json.Key("shown").Bool(pWindow->IsShownInTree());
  json.Key("blocked").Bool(pWindow->IsInputBlocked());
  bool modal = std::any_of(CWindowElement::ModalStack().begin(), CWindowElement::ModalStack().end(),
                           [pWindow](ModalFrame* pFrame) { return pFrame->pWindow == pWindow; });
  json.Key("modal").Bool(modal);
  json.Key("timers").Raw(g_hooks.windowTimers ? g_hooks.windowTimers(pWindow->Handle()) : "null");
  json.Key("root");
  WriteElement(json, pWindow);
  json.EndObject();
}

// The element a command names; null with the reason in *pError.
CElement* Target(const std::u16string& window, const std::u16string& path, std::string* pError) {
  CWindowElement* pWindow = CLqTestPort::FindWindow(window);
  if (!pWindow) {
    *pError = "no window " + Narrow(window);
    return nullptr;
  }
  CElement* pElement = CLqTestPort::FindPath(pWindow, path);
  if (!pElement) *pError = "no element " + Narrow(path) + " in " + Narrow(window);
  return pElement;
}

bool Refuse(std::string* pError, const std::u16string& path, const char* pWhy) {
  *pError = Narrow(path) + " " + pWhy;
  return false;
}

std::string Reply(bool ok, const std::string& error) {
  CJsonWriter json;
  json.BeginObject().Key("ok").Bool(ok);
  if (!ok) json.Key("error").String(error);
  json.EndObject();
  return json.Text();
}

std::u16string Member(const std::map<std::string, std::string>& members, const char* pName) {
  auto it = members.find(pName);
  return it == members.end() ? std::u16string() : Utf8ToUtf16(it->second);
}

// --- The socket ---

void CloseConnection(Connection* pConnection) {
  Server& server = TheServer();
  server.connections.erase(
      std::find(server.connections.begin(), server.connections.end(), pConnection));
  g_source_destroy(pConnection->pSource);
  g_source_unref(pConnection->pSource);
  close(pConnection->fd);
  delete pConnection;
}

bool SendAll(int fd, const std::string& text) {
  size_t sent = 0;
  while (sent < text.size()) {
    ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

gboolean OnConnectionReadable(gint fd, GIOCondition, gpointer pData) {
  auto* pConnection = static_cast<Connection*>(pData);
  char chunk[65536];
  ssize_t n = recv(fd, chunk, sizeof(chunk), 0);
  if (n < 0 && errno == EINTR) return G_SOURCE_CONTINUE;
  if (n <= 0) {
    CloseConnection(pConnection);
    return G_SOURCE_REMOVE;
  }
  pConnection->pending.append(chunk, static_cast<size_t>(n));
  size_t newline;
  while ((newline = pConnection->pending.find('\n')) != std::string::npos) {
    std::string line = pConnection->pending.substr(0, newline);
    pConnection->pending.erase(0, newline + 1);
    if (!SendAll(fd, CLqTestPort::Handle(line) + "\n")) {
      CloseConnection(pConnection);
      return G_SOURCE_REMOVE;
    }
  }
  if (pConnection->pending.size() > kMaxLineBytes) {
    CloseConnection(pConnection);
    return G_SOURCE_REMOVE;
  }
  return G_SOURCE_CONTINUE;
}

gboolean OnListenReadable(gint fd, GIOCondition, gpointer) {
  int client = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (client < 0) return G_SOURCE_CONTINUE;
  Server& server = TheServer();
  auto* pConnection = new Connection;
  pConnection->fd = client;
  pConnection->pSource = g_unix_fd_source_new(client, G_IO_IN);
  g_source_set_callback(pConnection->pSource, G_SOURCE_FUNC(&OnConnectionReadable),
                        pConnection, nullptr);
  g_source_attach(pConnection->pSource, server.pContext);
  server.connections.push_back(pConnection);
  return G_SOURCE_CONTINUE;
}

// The socket's folder belongs to this user and is closed to everyone else.
bool FolderIsPrivate(const std::string& socketPath, std::string* pWhy) {
  size_t slash = socketPath.find_last_of('/');
  std::string folder = slash == std::string::npos ? "." : socketPath.substr(0, slash);
  if (folder.empty()) folder = "/";
  struct stat info;
  if (lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    *pWhy = "is no folder";
    return false;
  }
  if (info.st_uid != geteuid() || (info.st_mode & 077) != 0) {
    *pWhy = "is open to others (it must be 0700 and the user's own)";
    return false;
  }
  return true;
}

}  // namespace

void CLqTestPort::SetHooks(const Hooks& hooks) { g_hooks = hooks; }

void CLqTestPort::SetDecodeCounter(size_t (*counter)()) { g_decodeCounter = counter; }

CWindowElement* CLqTestPort::FindWindow(const std::u16string& name) {
  CWindowElement* pFound = nullptr;
  for (CWindowElement* pWindow : CWindowElement::AllWindows()) {
    if (pWindow->FrameName() == name || pWindow->NativeName() == name) pFound = pWindow;
  }
  return pFound;
}

CElement* CLqTestPort::FindPath(CElement* pRoot, const std::u16string& idPath) {
  CElement* pElement = pRoot;
  size_t start = 0;
  while (pElement && start < idPath.size()) {
    size_t slash = idPath.find(u'/', start);
    size_t end = slash == std::u16string::npos ? idPath.size() : slash;
    pElement = pElement->FindById(std::u16string_view(idPath).substr(start, end - start));
    start = end + 1;
  }
  return pElement;
}

std::string CLqTestPort::TreeJson(const std::u16string& windowName) {
  CJsonWriter json;
  json.BeginArray();
  for (CWindowElement* pWindow : CWindowElement::AllWindows()) {
    if (!windowName.empty() && pWindow->FrameName() != windowName &&
        pWindow->NativeName() != windowName) {
      continue;
    }
    json.Item();
    WriteWindow(json, pWindow);
  }
  json.EndArray();
  return json.Text();
}

bool CLqTestPort::Click(const std::u16string& window, const std::u16string& path,
                        std::string* pError) {
  CElement* pElement = Target(window, path, pError);
  if (!pElement) return false;
  return pElement->UserClick() || Refuse(pError, path, "takes no click now");
}

bool CLqTestPort::SetText(const std::u16string& window, const std::u16string& path,
                          const std::u16string& text, std::string* pError) {
  CElement* pElement = Target(window, path, pError);
  if (!pElement) return false;
  if (pElement->Kind() != ElementKind::kEdit) return Refuse(pError, path, "is no edit");
  return static_cast<CEditElement*>(pElement)->UserSetText(text) ||
         Refuse(pError, path, "takes no typing now");
}

bool CLqTestPort::Check(const std::u16string& window, const std::u16string& path, bool checked,
                        std::string* pError) {
  CElement* pElement = Target(window, path, pError);
  if (!pElement) return false;
  if (pElement->Kind() != ElementKind::kCheck) return Refuse(pError, path, "is no check box");
  if (static_cast<CCheckElement*>(pElement)->Checked() == checked) {
    return pElement->IsShownInTree() && pElement->TakesInput()
               ? true
               : Refuse(pError, path, "takes no click now");
  }
  return pElement->UserClick() || Refuse(pError, path, "takes no click now");
}

bool CLqTestPort::SelectTab(const std::u16string& window, const std::u16string& path,
                            std::string* pError) {
  CElement* pElement = Target(window, path, pError);
  if (!pElement) return false;
  if (pElement->Kind() != ElementKind::kTabItem) return Refuse(pError, path, "is no tab item");
  return pElement->UserClick() || Refuse(pError, path, "takes no click now");
}

bool CLqTestPort::ClickMenuItem(const std::u16string& name, std::string* pError) {
  CMenuElement* pMenu = CMenuElement::Opened();
  if (!pMenu) {
    *pError = "no menu is open";
    return false;
  }
  CElement* pItem = pMenu->FindItem(name);
  if (!pItem) return Refuse(pError, name, "is no item of the open menu");
  return pItem->UserClick() || Refuse(pError, name, "takes no click now");
}

bool CLqTestPort::SavePng(const std::u16string& window, const std::string& posixPath,
                          std::string* pError, const std::u16string& without) {
  CWindowElement* pWindow = FindWindow(window);
  if (!pWindow) {
    *pError = "no window " + Narrow(window);
    return false;
  }
  CElement* pLeftOut = nullptr;
  if (!without.empty() && !(pLeftOut = Target(window, without, pError))) return false;
  if (!CLqPainter::WritePng(pWindow, posixPath, pLeftOut)) {
    *pError = "cannot write " + posixPath;
    return false;
  }
  return true;
}

bool CLqTestPort::Post(const std::u16string& window, UINT message, WPARAM wParam, LPARAM lParam,
                       std::string* pError) {
  CWindowElement* pWindow = FindWindow(window);
  if (!pWindow || !pWindow->Handle()) {
    *pError = "no window " + Narrow(window);
    return false;
  }
  if (!PostMessageW(pWindow->Handle(), message, wParam, lParam)) {
    *pError = "cannot post to " + Narrow(window);
    return false;
  }
  return true;
}

std::string CLqTestPort::Handle(const std::string& line) {
  if (!OnUiThread(__func__)) return Reply(false, "not on the UI thread");
  std::map<std::string, std::string> request;
  if (!ParseJsonLine(line, &request)) return Reply(false, "not a flat JSON object");
  std::string command = request["cmd"];
  std::u16string window = Member(request, "window");
  std::u16string path = Member(request, "path");
  std::string error;
  if (command == "tree") {
    CJsonWriter json;
    json.BeginObject().Key("ok").Bool(true).Key("windows").Raw(TreeJson(window)).EndObject();
    return json.Text();
  }
  if (command == "find") {
    CElement* pElement = Target(window, path, &error);
    if (!pElement) return Reply(false, error);
    CJsonWriter json;
    json.BeginObject().Key("ok").Bool(true).Key("element");
    WriteElement(json, pElement);
    WriteRect(json, "window", pElement->TopLevel() ? pElement->TopLevel()->Rect() : RECT{});
    json.EndObject();
    return json.Text();
  }
  if (command == "click") return Reply(Click(window, path, &error), error);
  if (command == "settext") {
    return Reply(SetText(window, path, Member(request, "text"), &error), error);
  }
  if (command == "check") {
    return Reply(Check(window, path, request["checked"] != "false", &error), error);
  }
  if (command == "select-tab") return Reply(SelectTab(window, path, &error), error);
  if (command == "menu-click") {
    return Reply(ClickMenuItem(Member(request, "name"), &error), error);
  }
  if (command == "snapshot") {
    return Reply(SavePng(window, request["file"], &error, Member(request, "without")), error);
  }
  if (command == "post") {
    unsigned long long message = 0, wParam = 0;
    long long lParam = 0;
    if (!WholeNumber(request["msg"], &message) || message > 0xFFFFFFFFull ||
        !WholeNumber(request["wParam"], &wParam) || !WholeNumber(request["lParam"], &lParam)) {
      return Reply(false, "post takes whole numbers msg, wParam and lParam");
    }
    return Reply(Post(window, static_cast<UINT>(message), static_cast<WPARAM>(wParam),
                      static_cast<LPARAM>(lParam), &error),
                 error);
  }
  if (command == "tray") {
    RECT area{};
    if (!g_hooks.trayGeometry || !g_hooks.trayGeometry(&area)) {
      return Reply(false, "the tray icon's place is not known");
    }
    CJsonWriter json;
    json.BeginObject().Key("ok").Bool(true);
    WriteRect(json, "area", area);
    json.EndObject();
    return json.Text();
  }
  if (command == "decodes") {
    if (!g_decodeCounter) return Reply(false, "decodes are not reported here");
    CJsonWriter json;
    json.BeginObject().Key("ok").Bool(true).Key("inFlight");
    json.Number(static_cast<long long>(g_decodeCounter())).EndObject();
    return json.Text();
  }
  if (command == "timers") {
    CWindowElement* pWindow = FindWindow(window);
    if (!pWindow) return Reply(false, "no window " + Narrow(window));
    if (!g_hooks.windowTimers) return Reply(false, "timers are not reported here");
    CJsonWriter json;
    json.BeginObject().Key("ok").Bool(true).Key("timers");
    json.Raw(g_hooks.windowTimers(pWindow->Handle())).EndObject();
    return json.Text();
  }
  return Reply(false, "unknown command " + command);
}

bool CLqTestPort::StartFromEnvironment(GMainContext* pContext) {
  const char* pPath = getenv("HARBORLIGHT_TESTPORT");
  return pPath && *pPath && Start(pPath, pContext);
}

bool CLqTestPort::Start(const std::string& socketPath, GMainContext* pContext) {
  Stop();
  std::string why;
  sockaddr_un address{};
  if (socketPath.size() >= sizeof(address.sun_path)) {
    why = "is too long";
  } else {
    FolderIsPrivate(socketPath, &why);
  }
  if (!why.empty()) {
    KwLogW(u"Lq", u"test port %hs refused: its folder %hs", socketPath.c_str(), why.c_str());
    return false;
  }
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
  unlink(socketPath.c_str());
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(fd, 8) != 0) {
    KwLogW(u"Lq", u"test port %hs: cannot listen (errno %d)", socketPath.c_str(), errno);
    close(fd);
    return false;
  }
  Server& server = TheServer();
  server.listenFd = fd;
  server.path = socketPath;
  server.pContext = pContext ? g_main_context_ref(pContext) : g_main_context_ref(g_main_context_default());
  server.pListen = g_unix_fd_source_new(fd, G_IO_IN);
  g_source_set_callback(server.pListen, G_SOURCE_FUNC(&OnListenReadable), nullptr,
                        nullptr);
  g_source_attach(server.pListen, server.pContext);
  return true;
}

void CLqTestPort::Stop() {
  Server& server = TheServer();
  while (!server.connections.empty()) CloseConnection(server.connections.back());
  if (server.pListen) {
    g_source_destroy(server.pListen);
    g_source_unref(server.pListen);
    server.pListen = nullptr;
  }
  if (server.listenFd >= 0) {
    close(server.listenFd);
    unlink(server.path.c_str());
    server.listenFd = -1;
  }
  if (server.pContext) g_main_context_unref(server.pContext);
  server.pContext = nullptr;
}

}  // namespace lq
