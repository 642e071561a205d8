#include "win32/fakes.h"

#include <algorithm>
#include <utility>

#include "win32/shellui.h"
#include "win32/window.h"

namespace win32::fakes {
namespace {

FakeDesktop* g_pDesktop = nullptr;  // the installed one

}  // namespace

FakeDesktop::FakeDesktop() {
  m_table.getSystemMetrics = SystemMetrics;
  m_table.getWorkArea = WorkArea;
  m_table.getCursorPos = CursorPos;
  m_table.notifyIcon = NotifyIcon;
  m_table.loadIconImage = LoadIconImage;
  m_table.freeIconImage = FreeIconImage;
  m_table.messageBox = MessageBox;
  m_table.browseForFolder = BrowseForFolder;
  m_table.recordShellOpen = RecordShellOpen;
  g_pDesktop = this;
  m_pPrevious = SetUiBackend(&m_table);
}

FakeDesktop::~FakeDesktop() {
  SetUiBackend(m_pPrevious);
  g_pDesktop = nullptr;
}

void FakeDesktop::SetScreen(int width, int height) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_width = width;
  m_height = height;
  m_workArea = RECT{0, 0, width, height};
}

void FakeDesktop::SetWorkArea(const RECT& area) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_workArea = area;
}

void FakeDesktop::SetCursorPos(POINT point) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_cursor = point;
}

std::vector<FakeDesktop::TrayIcon> FakeDesktop::TrayIcons() const {
  std::lock_guard<std::mutex> guard(m_lock);
  std::vector<TrayIcon> icons;
  for (const IconState& state : m_icons) icons.push_back(state.icon);
  return icons;
}

std::vector<FakeDesktop::TrayCall> FakeDesktop::TrayCalls() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_trayCalls;
}

UINT FakeDesktop::Click(HWND hwnd, UINT id, int button, bool press, DWORD timeMs, int x, int y) {
  UINT mouseMessage = 0;
  UINT callbackMessage = 0;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = std::find_if(m_icons.begin(), m_icons.end(), [&](const IconState& state) {
      return state.icon.hwnd == hwnd && state.icon.id == id;
    });
    if (it == m_icons.end()) return 0;
    mouseMessage = it->rule.OnButton(button, press, timeMs, x, y);
    callbackMessage = it->icon.callbackMessage;
  }
  if (!mouseMessage || !callbackMessage) return 0;
  return PostMessageW(hwnd, callbackMessage, id, mouseMessage) ? mouseMessage : 0;
}

void FakeDesktop::ScriptMessageBox(int answer, std::function<void()> whileOpen) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_boxScript.push_back(Scripted{answer, {}, std::move(whileOpen)});
}

std::vector<FakeDesktop::MessageBoxCall> FakeDesktop::MessageBoxes() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_boxes;
}

void FakeDesktop::ScriptFolderChoice(const std::string& posixFolder,
                                     std::function<void()> whileOpen) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_folderScript.push_back(Scripted{1, posixFolder, std::move(whileOpen)});
}

void FakeDesktop::ScriptFolderCancel(std::function<void()> whileOpen) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_folderScript.push_back(Scripted{0, {}, std::move(whileOpen)});
}

std::vector<FolderBrowseRequest> FakeDesktop::FolderBrowses() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_browses;
}

void FakeDesktop::SetShellOpenResult(INT_PTR result) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_shellResult = result;
}

std::vector<ShellOpenPlan> FakeDesktop::ShellOpens() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_shellOpens;
}

int FakeDesktop::SystemMetrics(int index) {
  std::lock_guard<std::mutex> guard(g_pDesktop->m_lock);
  switch (index) {
    case SM_CXSCREEN:
      return g_pDesktop->m_width;
    case SM_CYSCREEN:
      return g_pDesktop->m_height;
    default:
      return 0;
  }
}

BOOL FakeDesktop::WorkArea(RECT* pRect) {
  std::lock_guard<std::mutex> guard(g_pDesktop->m_lock);
  *pRect = g_pDesktop->m_workArea;
  return TRUE;
}

BOOL FakeDesktop::CursorPos(POINT* pPoint) {
  std::lock_guard<std::mutex> guard(g_pDesktop->m_lock);
  *pPoint = g_pDesktop->m_cursor;
  return TRUE;
}

BOOL FakeDesktop::NotifyIcon(DWORD message, const TrayIconRequest& request) {
  std::lock_guard<std::mutex> guard(g_pDesktop->m_lock);
  std::vector<IconState>& icons = g_pDesktop->m_icons;
  auto it = std::find_if(icons.begin(), icons.end(), [&](const IconState& state) {
    return state.icon.hwnd == request.hwnd && state.icon.id == request.id;
  });
  BOOL result = TRUE;
  if (message == NIM_ADD) {
    if (it != icons.end()) {
      result = FALSE;
    } else {
      icons.push_back(IconState{TrayIcon{request.hwnd, request.id, 0, {}, false}, {}});
      it = icons.end() - 1;
    }
  } else if (it == icons.end()) {
    result = FALSE;
  } else if (message == NIM_DELETE) {
    icons.erase(it);
    it = icons.end();
  }
  if (result && it != icons.end()) {
    if (request.flags & NIF_MESSAGE) it->icon.callbackMessage = request.callbackMessage;
    if (request.flags & NIF_TIP) it->icon.tip = request.tip;
    if (request.flags & NIF_ICON) it->icon.hasIcon = request.pIconImage != nullptr;
  }
  g_pDesktop->m_trayCalls.push_back(TrayCall{message, request, result});
  if (!result) SetLastError(ERROR_INVALID_PARAMETER);
  return result;
}

void* FakeDesktop::LoadIconImage(const std::string& posixPath, int, int) {
  return new std::string(posixPath);
}

void FakeDesktop::FreeIconImage(void* pImage) { delete static_cast<std::string*>(pImage); }

int FakeDesktop::MessageBox(HWND owner, const std::u16string& text, const std::u16string& caption,
                            UINT type) {
  Scripted scripted{(type & MB_TYPEMASK) == MB_OK ? IDOK : IDCANCEL, {}, {}};
  {
    std::lock_guard<std::mutex> guard(g_pDesktop->m_lock);
    if (!g_pDesktop->m_boxScript.empty()) {
      scripted = std::move(g_pDesktop->m_boxScript.front());
      g_pDesktop->m_boxScript.pop_front();
    }
    g_pDesktop->m_boxes.push_back(MessageBoxCall{owner, text, caption, type, scripted.answer});
  }
  if (scripted.whileOpen) scripted.whileOpen();
  return scripted.answer;
}

bool FakeDesktop::BrowseForFolder(const FolderBrowseRequest& request, std::string* pChosen) {
  Scripted scripted{0, {}, {}};
  {
    std::lock_guard<std::mutex> guard(g_pDesktop->m_lock);
    if (!g_pDesktop->m_folderScript.empty()) {
      scripted = std::move(g_pDesktop->m_folderScript.front());
      g_pDesktop->m_folderScript.pop_front();
    }
    g_pDesktop->m_browses.push_back(request);
  }
  if (scripted.whileOpen) scripted.whileOpen();
  if (!scripted.answer) return false;
  *pChosen = scripted.folder;
  return true;
}

INT_PTR FakeDesktop::RecordShellOpen(const ShellOpenPlan& plan) {
  std::lock_guard<std::mutex> guard(g_pDesktop->m_lock);
  g_pDesktop->m_shellOpens.push_back(plan);
  return g_pDesktop->m_shellResult;
}

}  // namespace win32::fakes
