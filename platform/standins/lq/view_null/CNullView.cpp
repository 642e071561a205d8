#include "CNullView.h"

#include <utility>

#include "Basalt/KwDiag.h"
#include "CMenuElement.h"
#include "CWindowElement.h"
#include "win32/strings.h"
#include "win32/time.h"
#include "win32/thread.h"
#include "win32/window.h"

using namespace win32;

namespace lq {

namespace {

constexpr WCHAR kWindowClass[] = u"LqNullWindow";

bool RegisterWindowClass() {
  static bool registered = false;
  if (registered) return true;
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = &CWindowElement::WindowProcedure;
  windowClass.lpszClassName = kWindowClass;
  // 1410: an earlier registration of this process stands.
  registered = RegisterClassExW(&windowClass) != 0 || GetLastError() == 1410;
  return registered;
}

// The element at "a/b/c" below `pRoot`, each id searched below the previous match.
CElement* FindPath(CElement* pRoot, const std::u16string& path) {
  CElement* pElement = pRoot;
  size_t start = 0;
  while (pElement && start <= path.size()) {
    size_t slash = path.find(u'/', start);
    std::u16string_view id = std::u16string_view(path).substr(
        start, slash == std::u16string::npos ? std::u16string::npos : slash - start);
    pElement = pElement->FindById(id);
    if (slash == std::u16string::npos) break;
    start = slash + 1;
  }
  return pElement;
}

}  // namespace

CNullView& CNullView::Instance() {
  static auto* pView = new CNullView();
  return *pView;
}

void CNullView::PushClick(std::u16string idPath) {
  m_steps.push_back(Step{Step::Kind::kClick, std::move(idPath), {}, {}, 0, 0, false});
}

void CNullView::PushClose() { m_steps.push_back(Step{Step::Kind::kClose, {}, {}, {}, 0, 0, false}); }

void CNullView::PushCall(std::function<void(ILqElement*)> step) {
  m_steps.push_back(Step{Step::Kind::kCall, {}, std::move(step), {}, 0, 0, false});
}

void CNullView::PushWait(std::function<bool()> condition, DWORD timeoutMs) {
  m_steps.push_back(Step{Step::Kind::kWait, {}, {}, std::move(condition), timeoutMs, 0, false});
}

void CNullView::Reset() {
  m_steps.clear();
  m_failures.clear();
  m_pMenuAnchor = nullptr;
  // Let go before the release, which may destroy the menu and call ElementGone.
  if (CMenuElement* pMenu = std::exchange(m_pOpenMenu, nullptr)) pMenu->Release();
}

CMenuElement* CNullView::OpenMenu() {
  return m_pOpenMenu && m_pOpenMenu->IsOpen() ? m_pOpenMenu : nullptr;
}

bool CNullView::ClickMenuItem(const std::u16string& name) {
  CMenuElement* pMenu = OpenMenu();
  CElement* pItem = pMenu ? pMenu->FindItem(name) : nullptr;
  return pItem && pItem->UserClick();
}

bool CNullView::CreateTopLevel(CWindowElement* pWindow, DWORD exStyle,
                               const std::u16string& windowName) {
  if (!RegisterWindowClass()) return false;
  const RECT& rect = pWindow->Rect();
  HWND hwnd = CreateWindowExW(exStyle, kWindowClass, windowName.c_str(), WS_POPUP, rect.left,
                              rect.top, rect.right - rect.left, rect.bottom - rect.top, nullptr,
                              nullptr, nullptr, nullptr);
  if (!hwnd) return false;
  pWindow->AttachHandle(hwnd);
  return true;
}

void CNullView::DestroyTopLevel(CWindowElement* pWindow) {
  if (pWindow->Handle()) DestroyWindow(pWindow->Handle());
}

void CNullView::ShowTopLevel(CWindowElement*, int) {}

bool CNullView::IsTopLevelShown(CWindowElement* pWindow) { return !pWindow->HiddenFlag(); }

void CNullView::TopLevelChanged(CWindowElement*) {}

void CNullView::Invalidate(CElement*) {}

bool CNullView::RunModalLoop(ModalFrame* pFrame) {
  for (;;) {
    if (pFrame->ended) return true;
    MSG msg;
    if (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        // Left set, so the loops outside end too.
        PostQuitMessage(static_cast<int>(msg.wParam));
        return false;
      }
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
      continue;
    }
    if (m_steps.empty()) {
      CloseUnanswered(pFrame);
      continue;
    }
    if (!RunStep(pFrame)) {
      Step& wait = m_steps.front();
      DWORD waited = GetTickCount() - wait.startTick;
      DWORD left = waited >= wait.timeoutMs ? 0 : wait.timeoutMs - waited;
      MsgWaitForMultipleObjects(0, nullptr, FALSE, left < 50 ? left : 50, QS_ALLINPUT);
    }
  }
}

bool CNullView::RunStep(ModalFrame* pFrame) {
  Step& step = m_steps.front();
  CWindowElement* pWindow = pFrame->pWindow;
  switch (step.kind) {
    case Step::Kind::kClick: {
      std::u16string path = step.idPath;
      m_steps.pop_front();
      CElement* pTarget = FindPath(pWindow, path);
      if (!pTarget || !pTarget->UserClick()) {
        m_failures.push_back("click " + Utf16ToUtf8(path) + " in " +
                            Utf16ToUtf8(pWindow->FrameName()) + " did nothing");
      }
      return true;
    }
    case Step::Kind::kClose:
      m_steps.pop_front();
      pWindow->Close();
      return true;
    case Step::Kind::kCall: {
      std::function<void(ILqElement*)> call = std::move(step.call);
      m_steps.pop_front();
      pWindow->AddRef();
      call(pWindow);
      pWindow->Release();
      return true;
    }
    case Step::Kind::kWait:
      if (!step.started) {
        step.started = true;
        step.startTick = GetTickCount();
      }
      if (step.condition()) {
        m_steps.pop_front();
        return true;
      }
      if (GetTickCount() - step.startTick >= step.timeoutMs) {
        m_failures.push_back("a wait in " + Utf16ToUtf8(pWindow->FrameName()) + " timed out");
        m_steps.pop_front();
        return true;
      }
      return false;
  }
  return true;
}

void CNullView::CloseUnanswered(ModalFrame* pFrame) {
  std::string frame = Utf16ToUtf8(pFrame->pWindow->FrameName());
  KwLogW(u"Lq", u"modal run of %hs has no scripted answer: closing it", frame.c_str());
  m_failures.push_back("no answer for " + frame);
  pFrame->pWindow->Close();
  // A closing handler may keep the window; the run ends all the same.
  if (!pFrame->ended) {
    pFrame->ended = true;
    pFrame->result = 0;
  }
}

bool CNullView::PopupMenu(CMenuElement* pMenu, CWindowElement* pAnchorWindow, int x, int y) {
  pMenu->AddRef();
  if (CMenuElement* pOld = std::exchange(m_pOpenMenu, pMenu)) {
    if (pOld != pMenu) pOld->Dismissed();
    pOld->Release();
  }
  m_pMenuAnchor = pAnchorWindow;
  m_menuPoint = POINT{x, y};
  return true;
}

void CNullView::ElementGone(CElement* pElement) {
  if (pElement == m_pMenuAnchor) m_pMenuAnchor = nullptr;
  if (pElement == m_pOpenMenu) {
    m_pOpenMenu = nullptr;
    pElement->Release();
  }
}

}  // namespace lq
