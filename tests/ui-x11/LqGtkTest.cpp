// The UI framework's GTK view on a private X server with a window manager: windows built from
// the real layout file, driven by real pointer input (xdotool) and read back from the screen.

#include <gtest/gtest.h>

#include "../ui/UiTestSupport.h"
// After the framework's headers: Xlib's macros would break them.
#include "../x11/X11TestSupport.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "Basalt/KwTimer.h"
#include "CEditElement.h"
#include "CGtkView.h"
#include "CLqPainter.h"
#include "CLqTestPort.h"
#include "CMenuElement.h"
#include "CScrollElement.h"
#include "win32/gui.h"
#include "win32/shellui.h"
#include "win32/toplevel.h"
#include "win32/window.h"

using namespace win32;
using ui_test::CRecordingListener;
using ui_test::EventSource;
using ui_test::Find;
using x11_test::Pause;
using x11_test::RunTool;
using x11_test::WaitUntil;
using namespace std::chrono_literals;

namespace {

constexpr UINT kPosted = 0x8123;

// Runs `step` from the main loop after `ms`, wherever the loop is then (a modal run, a menu).
void Later(int ms, std::function<void()> step) {
  g_timeout_add_full(
      G_PRIORITY_DEFAULT, static_cast<guint>(ms),
      [](gpointer data) -> gboolean {
        (*static_cast<std::function<void()>*>(data))();
        return G_SOURCE_REMOVE;
      },
      new std::function<void()>(std::move(step)),
      [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
}

HWND HandleOf(ILqElement* pElement) {
  HWND hwnd = nullptr;
  pElement->GetWindowHandle(&hwnd);
  return hwnd;
}

GdkWindow* GdkOf(ILqElement* pWindow) {
  GtkWindow* pGtk = ToplevelWindow(HandleOf(pWindow));
  return pGtk ? gtk_widget_get_window(GTK_WIDGET(pGtk)) : nullptr;
}

// The window's top-left corner on the screen, as the X server has it.
POINT Origin(ILqElement* pWindow) {
  gdk_display_sync(gdk_display_get_default());
  int x = 0;
  int y = 0;
  if (GdkWindow* pGdk = GdkOf(pWindow)) gdk_window_get_origin(pGdk, &x, &y);
  return POINT{x, y};
}

// Where an element's centre is on the screen.
POINT ScreenCentre(ILqElement* pWindow, lq::CElement* pElement) {
  POINT origin = Origin(pWindow);
  POINT offset = pElement->OffsetInTopLevel();
  const RECT& rect = pElement->Rect();
  return POINT{origin.x + offset.x + (rect.right - rect.left) / 2,
               origin.y + offset.y + (rect.bottom - rect.top) / 2};
}

bool MoveTo(POINT point) {
  // xdotool's --sync waits for a motion that never comes when the pointer is there already.
  int x = 0;
  int y = 0;
  GdkDisplay* pDisplay = gdk_display_get_default();
  gdk_device_get_position(gdk_seat_get_pointer(gdk_display_get_default_seat(pDisplay)), nullptr, &x,
                          &y);
  if (x == point.x && y == point.y) return true;
  return RunTool(
      {"xdotool", "mousemove", "--sync", std::to_string(point.x), std::to_string(point.y)});
}

bool ClickAt(POINT point) { return MoveTo(point) && RunTool({"xdotool", "click", "1"}); }

// Shows the window at (x, y) and waits until it is on screen and has drawn.
bool ShowAt(ILqElement* pWindow, LONG x, LONG y) {
  RECT rect{};
  pWindow->GetRect(&rect);
  RECT placed{x, y, x + rect.right - rect.left, y + rect.bottom - rect.top};
  pWindow->SetRect(&placed);
  int draws = 0;
  GtkWindow* pGtk = ToplevelWindow(HandleOf(pWindow));
  if (!pGtk) return false;
  gulong handler = g_signal_connect_after(
      pGtk, "draw", G_CALLBACK(+[](GtkWidget*, cairo_t*, gpointer data) -> gboolean {
        ++*static_cast<int*>(data);
        return FALSE;
      }),
      &draws);
  pWindow->Show(5);
  bool shown = WaitUntil([&] { return draws > 0 && x11_test::Viewable(HandleOf(pWindow)); });
  g_signal_handler_disconnect(pGtk, handler);
  Pause(100);
  return shown;
}

// The window as it is on the screen now, saved under the artifacts folder.
GdkPixbuf* Capture(ILqElement* pWindow, const std::string& name) {
  POINT origin = Origin(pWindow);
  RECT rect{};
  pWindow->GetRect(&rect);
  GdkPixbuf* pShot = gdk_pixbuf_get_from_window(gdk_get_default_root_window(), origin.x, origin.y,
                                                rect.right - rect.left, rect.bottom - rect.top);
  const char* folder = getenv("LUMIDOCK_ARTIFACTS");
  if (pShot && folder) {
    gdk_pixbuf_save(pShot, (std::string(folder) + "/gtk-" + name + ".png").c_str(), "png", nullptr,
                    nullptr);
  }
  return pShot;
}

// Pixels of `rect` close to `rgb` (each channel within 40).
int CountNear(GdkPixbuf* pShot, const RECT& rect, uint32_t rgb) {
  int count = 0;
  int stride = gdk_pixbuf_get_rowstride(pShot);
  int channels = gdk_pixbuf_get_n_channels(pShot);
  const guchar* pPixels = gdk_pixbuf_get_pixels(pShot);
  for (LONG y = rect.top; y < rect.bottom; ++y) {
    for (LONG x = rect.left; x < rect.right; ++x) {
      const guchar* p = pPixels + y * stride + x * channels;
      if (std::abs(p[0] - static_cast<int>((rgb >> 16) & 0xFF)) < 40 &&
          std::abs(p[1] - static_cast<int>((rgb >> 8) & 0xFF)) < 40 &&
          std::abs(p[2] - static_cast<int>(rgb & 0xFF)) < 40) {
        ++count;
      }
    }
  }
  return count;
}

RECT AreaOf(lq::CElement* pElement) {
  POINT offset = pElement->OffsetInTopLevel();
  const RECT& rect = pElement->Rect();
  return RECT{offset.x, offset.y, offset.x + rect.right - rect.left,
              offset.y + rect.bottom - rect.top};
}

// A message listener counting the framework's mouse messages.
class CHoverCounter final : public CNoDispatch<ILqMessageListener> {
 public:
  int m_enters = 0;
  int m_leaves = 0;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE PreMessage(ILqElement*, UINT* pMessage, WPARAM, LPARAM, BOOL* pHandled,
                                       LRESULT*) override {
    if (*pMessage == LqMessage::kMouseEnter) ++m_enters;
    if (*pMessage == LqMessage::kMouseLeave) ++m_leaves;
    *pHandled = FALSE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnMessage(ILqElement*, UINT*, WPARAM, LPARAM, BOOL* pHandled,
                                      LRESULT*) override {
    *pHandled = FALSE;
    return S_OK;
  }
};

// A message-only window of the layer whose procedure hands each message to `m_onMessage`.
class CMessageWindow {
 public:
  CMessageWindow() {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = &Proc;
    windowClass.lpszClassName = u"LqGtkTestMessages";
    RegisterClassExW(&windowClass);
    m_hwnd = CreateWindowExW(0, u"LqGtkTestMessages", u"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                             nullptr, nullptr);
    SetWindowLongPtrW(m_hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  }
  CMessageWindow(const CMessageWindow&) = delete;
  CMessageWindow& operator=(const CMessageWindow&) = delete;
  ~CMessageWindow() { DestroyWindow(m_hwnd); }

  HWND Hwnd() const { return m_hwnd; }
  std::function<void(UINT, WPARAM, LPARAM)> m_onMessage;

 private:
  static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* pThis = reinterpret_cast<CMessageWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (pThis && pThis->m_onMessage && message >= WM_USER)
      pThis->m_onMessage(message, wParam, lParam);
    return DefWindowProcW(hwnd, message, wParam, lParam);
  }

  HWND m_hwnd = nullptr;
};

// A menu of two items like the program's, the second disabled; `names` hears each choice.
ILqMenu* MakeMenu(CRecordingListener* pListener, std::vector<std::u16string>* pNames) {
  ILqMenu* pMenu = nullptr;
  Util::Lq::CreateObject(CLSID_LqMenu, CLSID_LqMenu, reinterpret_cast<void**>(&pMenu));
  if (!pMenu) return nullptr;
  pMenu->SetMenuStyle(u"mainmenu");
  pMenu->AddItem(33, 150, u"mainmenuItem", 0xFF000000, u"绑定新设备",
                 u"platformres:menu\\adddeviceicon.png", u"1");
  pMenu->AddItem(33, 150, u"mainmenuItem", 0xFF000000, u"更改备份目录",
                 u"platformres:menu\\changedir.png", u"2");
  pMenu->EnableItem(u"2", FALSE);
  pListener->m_onEvent = [pNames](UINT, ILqElement*, ILqEvent* pEvent) {
    BSTR name = nullptr;
    pEvent->GetString(u"name", &name);
    pNames->push_back(name ? name : u"");
    SysFreeString(name);
  };
  ILqEventSource* pSource = EventSource(lq::CElement::FromInterface(pMenu));
  pSource->AddListener(LqEvent::kClick, pListener->Events());
  pSource->Release();
  return pMenu;
}

// Unhooks the listener of MakeMenu and lets the menu go (the view may hold it a little longer).
void ReleaseMenu(ILqMenu* pMenu, CRecordingListener* pListener) {
  ILqEventSource* pSource = EventSource(lq::CElement::FromInterface(pMenu));
  pSource->RemoveListener(pListener->Events());
  pSource->Release();
  pMenu->Release();
}

// The open menu's top-left corner on the screen, once it is mapped; (-1, -1) when none is.
POINT OpenMenuOrigin() {
  GtkWidget* pMenuWidget = nullptr;
  if (!WaitUntil([&] {
        pMenuWidget = lq::CGtkView::Instance().OpenMenuWidget();
        return pMenuWidget && gtk_widget_get_mapped(gtk_widget_get_toplevel(pMenuWidget));
      })) {
    return POINT{-1, -1};
  }
  gdk_display_sync(gdk_display_get_default());
  int x = 0;
  int y = 0;
  gdk_window_get_origin(gtk_widget_get_window(gtk_widget_get_toplevel(pMenuWidget)), &x, &y);
  return POINT{x, y};
}

class LqGtkTest : public ui_test::CUiTest {
 protected:
  void TearDown() override {
    for (ILqElement* pWindow : m_shown) {
      pWindow->Close();
      pWindow->Release();
    }
    MoveTo(POINT{1270, 1010});
    CUiTest::TearDown();
  }

  // A frame built and shown at (x, y), closed and released after the test; null on failure.
  ILqElement* Shown(const char16_t* pFrame, LONG x, LONG y) {
    ILqElement* pWindow = Build(pFrame);
    if (!pWindow) return nullptr;
    m_shown.push_back(pWindow);
    return ShowAt(pWindow, x, y) ? pWindow : nullptr;
  }

  std::vector<ILqElement*> m_shown;
};

// Every top-level frame on the screen: found by its class, titled, drawn (kept as PNG), with
// Chinese text inked in its caption.
TEST_F(LqGtkTest, EveryFrameShowsOnScreen) {
  const char16_t* frames[] = {
      u"MainWnd",      u"NotifyUnInsBriskenWindow", u"ChangeDirWindow",
      u"UnBindMsgBox", u"NotifyUnBindMsgNew",       u"NotifyUnBindMsgRightBottomTip",
      u"ExitReason1"};
  for (const char16_t* pFrame : frames) {
    std::string name = Utf16ToUtf8(pFrame);
    SCOPED_TRACE(name);
    ILqElement* pWindow = Build(pFrame);
    ASSERT_NE(pWindow, nullptr);
    bool main = name == "MainWnd";
    lq::CElement* pCaption = Find(pWindow, main ? u"statusLine" : u"captionText");
    ASSERT_NE(pCaption, nullptr);
    // The main window's title is the program's to set; the others have the layout's caption.
    EXPECT_EQ(gtk_window_get_title(ToplevelWindow(HandleOf(pWindow))) == name, main);
    // The window's text is its title, shown by the caption label.
    pWindow->SetText(u"照片备份 解除绑定");
    ASSERT_TRUE(ShowAt(pWindow, 100, 80));
    EXPECT_EQ(gtk_window_get_title(ToplevelWindow(HandleOf(pWindow))),
              std::string("照片备份 解除绑定"));
    char xid[32];
    std::snprintf(xid, sizeof xid, "%lu",
                  static_cast<unsigned long>(reinterpret_cast<uintptr_t>(HandleOf(pWindow))));
    std::string found;
    ASSERT_TRUE(
        RunTool({"sh", "-c", "xdotool search --classname '^" + name + "$' | grep -qx " + xid}));
    POINT origin = Origin(pWindow);
    EXPECT_EQ(origin.x, 100);
    EXPECT_EQ(origin.y, 80);
    GdkPixbuf* pShot = Capture(pWindow, name);
    ASSERT_NE(pShot, nullptr);
    // White glyphs on the caption; the window's own area is not blank.
    EXPECT_GT(CountNear(pShot, AreaOf(pCaption), 0xFFFFFF), 40);
    RECT whole{0, 0, gdk_pixbuf_get_width(pShot), gdk_pixbuf_get_height(pShot)};
    EXPECT_GT(CountNear(pShot, whole, 0x2D8CF0), 500);
    g_object_unref(pShot);
    pWindow->Close();
    pWindow->Release();
  }
}

// Real clicks reach the element's handler once; hovering raises the mouse messages and shows in
// the test port's tree; the close button closes through the window's procedure.
TEST_F(LqGtkTest, PointerDrivesTheElements) {
  ILqElement* pMain = Shown(u"MainWnd", 200, 150);
  ASSERT_NE(pMain, nullptr);
  lq::CElement* pNext = Find(pMain, u"nextStep");
  CRecordingListener listener;
  ILqEventSource* pSource = EventSource(pNext);
  pSource->AddListener(LqEvent::kClick, listener.Events());
  pSource->AddListener(LqEvent::kClick, listener.Events());
  CHoverCounter hover;
  ILqMessageSource* pMessages = nullptr;
  pNext->QueryInterface(IID_ILqMessageSource, reinterpret_cast<void**>(&pMessages));
  pMessages->AddListener(&hover);

  ASSERT_TRUE(MoveTo(ScreenCentre(pMain, pNext)));
  EXPECT_TRUE(WaitUntil([&] { return pNext->IsHovered(); }));
  EXPECT_EQ(hover.m_enters, 1);
  std::string tree =
      lq::CLqTestPort::Handle(R"({"cmd":"find","window":"MainWnd","path":"nextStep"})");
  EXPECT_NE(tree.find("\"hover\":true"), std::string::npos) << tree;
  ASSERT_TRUE(RunTool({"xdotool", "click", "1"}));
  EXPECT_TRUE(WaitUntil([&] { return !listener.m_heard.empty(); }));
  Pause(200);
  EXPECT_EQ(listener.m_heard, (std::vector<std::string>{"4099:nextStep"}));
  // Leaving the window ends every hover.
  ASSERT_TRUE(MoveTo(POINT{5, 5}));
  EXPECT_TRUE(WaitUntil([&] { return !pNext->IsHovered(); }));
  EXPECT_EQ(hover.m_leaves, 1);
  // A press on one element and a release on another is no click.
  POINT from = ScreenCentre(pMain, pNext);
  ASSERT_TRUE(MoveTo(from) && RunTool({"xdotool", "mousedown", "1"}) &&
              MoveTo(POINT{from.x, from.y + 80}) && RunTool({"xdotool", "mouseup", "1"}));
  Pause(200);
  EXPECT_EQ(listener.m_heard.size(), 1u);

  // Timers the window's call-backs own are reported with it.
  struct CTimer final : IKwTimerCallback {
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE OnTimer(UINT) override { return S_OK; }
  } timer;
  lq::CGtkView::Instance().SetTimerOwner(&timer, HandleOf(pMain));
  KwTimer::SetInterval(60000, &timer, 7);
  std::string timers = lq::CLqTestPort::Handle(R"({"cmd":"timers","window":"MainWnd"})");
  EXPECT_NE(timers.find("\"id\":7,\"interval\":60000"), std::string::npos) << timers;
  KwTimer::EraseTimerCallback(&timer, 0);
  EXPECT_EQ(lq::CLqTestPort::Handle(R"({"cmd":"timers","window":"MainWnd"})"),
            R"({"ok":true,"timers":[]})");

  pSource->RemoveListener(listener.Events());
  pSource->Release();
  pMessages->RemoveListener(&hover);
  pMessages->Release();

  // Dragging the caption moves the window; the model follows.
  POINT caption = ScreenCentre(pMain, Find(pMain, u"statusLine"));
  Pause(900);
  // Each step waits for the window to take it: the window manager runs the move.
  ASSERT_TRUE(MoveTo(caption) && RunTool({"xdotool", "mousedown", "1"}));
  Pause(300);
  ASSERT_TRUE(MoveTo(POINT{caption.x + 30, caption.y + 20}));
  Pause(100);
  ASSERT_TRUE(MoveTo(POINT{caption.x + 60, caption.y + 40}));
  Pause(300);
  ASSERT_TRUE(RunTool({"xdotool", "mouseup", "1"}));
  RECT moved{};
  EXPECT_TRUE(WaitUntil([&] {
    pMain->GetRect(&moved);
    return moved.left == 260 && moved.top == 190;
  }));
  EXPECT_EQ(Origin(pMain).x, 260);
  // What the layer does to the window behind the model's back, the model sees.
  HWND hwnd = HandleOf(pMain);
  BOOL state = FALSE;
  ShowWindow(hwnd, SW_HIDE);
  EXPECT_EQ(pMain->IsHidden(&state), S_OK);
  EXPECT_TRUE(state);
  ShowWindow(hwnd, SW_SHOW);
  pMain->IsHidden(&state);
  EXPECT_FALSE(state);
  EnableWindow(hwnd, FALSE);
  pMain->IsEnabled(&state);
  EXPECT_FALSE(state);
  EnableWindow(hwnd, TRUE);
  ASSERT_TRUE(WaitUntil([&] { return x11_test::Viewable(hwnd); }));
  ASSERT_TRUE(ClickAt(ScreenCentre(pMain, Find(pMain, u"closebtn"))));
  EXPECT_TRUE(WaitUntil([&] { return !IsWindow(hwnd); }));
  lq::CGtkView::Instance().SetTimerOwner(&timer, nullptr);
}

LRESULT CALLBACK RecordingSubclass(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
std::vector<std::string>* g_pOrder = nullptr;
WNDPROC g_previous = nullptr;

LRESULT CALLBACK RecordingSubclass(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_CLOSE && g_pOrder) g_pOrder->push_back("WM_CLOSE");
  return CallWindowProcW(g_previous, hwnd, message, wParam, lParam);
}

// A subclass sees WM_CLOSE before the framework's closing event; a cancelled close keeps the
// window on screen, the next one ends it.
TEST_F(LqGtkTest, CloseGoesThroughTheSubclassAndCanBeCancelled) {
  ILqElement* pWindow = Shown(u"ChangeDirWindow", 300, 200);
  ASSERT_NE(pWindow, nullptr);
  HWND hwnd = HandleOf(pWindow);
  std::vector<std::string> order;
  g_pOrder = &order;
  g_previous = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&RecordingSubclass)));
  bool cancel = true;
  CRecordingListener listener;
  listener.m_onEvent = [&](UINT eventId, ILqElement*, ILqEvent* pEvent) {
    if (eventId != LqEvent::kClosing) return;
    order.push_back("256");
    if (cancel) pEvent->SetInt(u"bCancelClose", 1);
  };
  ILqEventSource* pSource = EventSource(pWindow);
  pSource->AddListener(LqEvent::kClosing, listener.Events());
  POINT closeButton = ScreenCentre(pWindow, Find(pWindow, u"closebtn"));
  ASSERT_TRUE(ClickAt(closeButton));
  EXPECT_TRUE(WaitUntil([&] { return order.size() == 2; }));
  Pause(300);
  EXPECT_EQ(order, (std::vector<std::string>{"WM_CLOSE", "256"}));
  EXPECT_TRUE(x11_test::Viewable(hwnd));
  BOOL hidden = TRUE;
  pWindow->IsHidden(&hidden);
  EXPECT_FALSE(hidden);

  cancel = false;
  Pause(900);  // apart from the first click, so it is no double click
  ASSERT_TRUE(ClickAt(closeButton));
  EXPECT_TRUE(WaitUntil([&] { return !IsWindow(hwnd); }));
  EXPECT_EQ(order.size(), 4u);
  EXPECT_EQ(pWindow->Show(5), E_FAIL);
  g_pOrder = nullptr;
  pSource->Release();
}

// A modal run: its owner takes no clicks, posted messages flow inside it, and a real click on
// OK ends it with 1.
TEST_F(LqGtkTest, ModalRunBlocksItsOwner) {
  ILqElement* pMain = Shown(u"MainWnd", 100, 100);
  ASSERT_NE(pMain, nullptr);
  CRecordingListener mainClicks;
  ILqEventSource* pMainSource = EventSource(Find(pMain, u"nextStep"));
  pMainSource->AddListener(LqEvent::kClick, mainClicks.Events());
  x11_test::TestWindow poster("poster", false);

  ILqElement* pBox = Build(u"UnBindMsgBox");
  ASSERT_NE(pBox, nullptr);
  RECT boxRect{500, 400, 860, 600};
  pBox->SetRect(&boxRect);
  CRecordingListener okClicks;
  okClicks.m_onEvent = [&](UINT, ILqElement*, ILqEvent*) { pBox->EndModal(1); };
  ILqEventSource* pOkSource = EventSource(Find(pBox, u"okbtn"));
  pOkSource->AddListener(LqEvent::kClick, okClicks.Events());
  bool transient = false;
  bool ownerBlocked = false;
  Later(300, [&] {
    transient = gtk_window_get_transient_for(ToplevelWindow(HandleOf(pBox))) ==
                ToplevelWindow(HandleOf(pMain));
    PostMessageW(poster.Hwnd(), kPosted, 1, 2);
    EXPECT_TRUE(WaitUntil([&] { return !poster.Of(kPosted).empty(); }));
    EXPECT_TRUE(ClickAt(ScreenCentre(pMain, Find(pMain, u"nextStep"))));
    Pause(400);
    ownerBlocked =
        mainClicks.m_heard.empty() &&
        lq::CLqTestPort::Handle(R"({"cmd":"click","window":"MainWnd","path":"nextStep"})")
                .find("\"ok\":false") != std::string::npos;
    Pause(900);
    EXPECT_TRUE(ClickAt(ScreenCentre(pBox, Find(pBox, u"okbtn"))));
  });
  INT result = -1;
  EXPECT_EQ(pBox->RunModal(HandleOf(pMain), 1, &result), S_OK);
  EXPECT_EQ(result, 1);
  EXPECT_TRUE(transient);
  EXPECT_TRUE(ownerBlocked);
  EXPECT_EQ(okClicks.m_heard.size(), 1u);
  EXPECT_FALSE(IsWindow(HandleOf(pBox)));
  // Once the run is over the owner takes clicks again.
  Pause(900);
  ASSERT_TRUE(ClickAt(ScreenCentre(pMain, Find(pMain, u"nextStep"))));
  EXPECT_TRUE(WaitUntil([&] { return mainClicks.m_heard.size() == 1; }));

  // Closed another way, the run ends with 0; a quit ends it with 0 and stays for the outer loop.
  ILqElement* pNotice = Build(u"NotifyUnBindMsgNew");
  Later(200, [&] { pNotice->Close(); });
  EXPECT_EQ(pNotice->RunModal(HandleOf(pMain), 1, &result), S_OK);
  EXPECT_EQ(result, 0);
  pNotice->Release();
  pNotice = Build(u"NotifyUnBindMsgNew");
  Later(200, [] { PostQuitMessage(3); });
  EXPECT_EQ(pNotice->RunModal(HandleOf(pMain), 1, &result), S_OK);
  EXPECT_EQ(result, 0);
  MSG msg{};
  EXPECT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, WM_QUIT);
  pNotice->Release();

  pOkSource->Release();
  pBox->Release();
  pMainSource->RemoveListener(mainClicks.Events());
  pMainSource->Release();
}

// The main menu opens at its anchor's point and takes the pointer; posted messages still flow;
// a disabled item does nothing, an enabled one raises its name. A menu opened from a posted
// message (no event of its own) opens at its screen point.
TEST_F(LqGtkTest, MenusOpenWhereAskedAndReportTheirItems) {
  ILqElement* pMain = Shown(u"MainWnd", 150, 120);
  ASSERT_NE(pMain, nullptr);
  std::vector<std::u16string> names;
  CRecordingListener listener;
  ILqMenu* pMenu = MakeMenu(&listener, &names);
  ASSERT_NE(pMenu, nullptr);
  auto* pMenuElement = static_cast<lq::CMenuElement*>(lq::CElement::FromInterface(pMenu));
  lq::CElement* pButton = Find(pMain, u"menubtn");
  RECT button = pButton->Rect();
  ASSERT_EQ(pMenu->Popup(pButton, button.left - 55, button.top + 19), S_OK);
  POINT menu = OpenMenuOrigin();
  POINT origin = Origin(pMain);
  EXPECT_EQ(menu.x, origin.x + button.left - 55);
  EXPECT_EQ(menu.y, origin.y + button.top + 19);
  Pause(200);
  x11_test::SaveScreenshot("gtk-main-menu");
  // Messages posted while the menu holds the pointer are dispatched.
  x11_test::TestWindow poster("poster", false);
  PostMessageW(poster.Hwnd(), kPosted, 3, 4);
  EXPECT_TRUE(WaitUntil([&] { return !poster.Of(kPosted).empty(); }));
  // Items stack from the menu's top: the second is disabled.
  POINT first{menu.x + 60, menu.y + 16};
  POINT second{menu.x + 60, menu.y + 33 + 16};
  ASSERT_TRUE(ClickAt(second));
  Pause(400);
  EXPECT_TRUE(names.empty());
  EXPECT_TRUE(pMenuElement->IsOpen());
  Pause(600);
  ASSERT_TRUE(ClickAt(first));
  EXPECT_TRUE(WaitUntil([&] { return !names.empty(); }));
  EXPECT_EQ(names, (std::vector<std::u16string>{u"1"}));
  EXPECT_FALSE(pMenuElement->IsOpen());
  EXPECT_TRUE(WaitUntil([&] { return !lq::CGtkView::Instance().OpenMenuWidget(); }));

  // From a posted message: a window procedure opens it at a screen point; Escape dismisses it.
  CMessageWindow opener;
  opener.m_onMessage = [&](UINT message, WPARAM, LPARAM) {
    if (message == kPosted) pMenu->Popup(nullptr, 400, 500);
  };
  PostMessageW(opener.Hwnd(), kPosted, 0, 0);
  menu = OpenMenuOrigin();
  EXPECT_EQ(menu.x, 400);
  EXPECT_EQ(menu.y, 500);
  EXPECT_EQ(pMenuElement->ScreenPosition().x, 400);
  // Opened again while open, it moves and stays open.
  ASSERT_EQ(pMenu->Popup(nullptr, 420, 520), S_OK);
  menu = OpenMenuOrigin();
  EXPECT_EQ(menu.x, 420);
  EXPECT_TRUE(pMenuElement->IsOpen());
  ASSERT_TRUE(RunTool({"xdotool", "key", "Escape"}));
  EXPECT_TRUE(WaitUntil([&] { return !pMenuElement->IsOpen(); }));
  EXPECT_EQ(names.size(), 1u);

  ReleaseMenu(pMenu, &listener);
}

// The popup host never takes the focus, even when clicked.
TEST_F(LqGtkTest, PopupHostNeverTakesFocus) {
  ILqElement* pMain = Shown(u"MainWnd", 100, 100);
  ASSERT_NE(pMain, nullptr);
  HWND main = HandleOf(pMain);
  EXPECT_TRUE(WaitUntil([&] { return GetForegroundWindow() == main; }));
  ILqElement* pHost = nullptr;
  ASSERT_EQ(Util::Lq::CreateObject(CLSID_LqHostWindow, CLSID_LqHostWindow,
                                   reinterpret_cast<void**>(&pHost)),
            S_OK);
  ASSERT_EQ(pHost->CreateNativeWindow(0x08000080, u"HARBORMAST_TRAYMAINFRAME"), S_OK);
  RECT rect{900, 700, 1000, 760};
  pHost->SetRect(&rect);
  pHost->Show(5);
  HWND host = HandleOf(pHost);
  ASSERT_TRUE(WaitUntil([&] { return x11_test::Viewable(host); }));
  char xid[32];
  std::snprintf(xid, sizeof xid, "%lu",
                static_cast<unsigned long>(reinterpret_cast<uintptr_t>(host)));
  EXPECT_TRUE(RunTool(
      {"sh", "-c",
       "xdotool search --classname '^HARBORMAST_TRAYMAINFRAME$' | grep -qx " + std::string(xid)}));
  ASSERT_TRUE(ClickAt(POINT{950, 730}));
  Pause(500);
  EXPECT_EQ(GetForegroundWindow(), main);
  ::Window focus = 0;
  int revert = 0;
  XGetInputFocus(GDK_DISPLAY_XDISPLAY(gdk_display_get_default()), &focus, &revert);
  EXPECT_NE(focus, static_cast<::Window>(reinterpret_cast<uintptr_t>(host)));
  pHost->Close();
  pHost->Release();
}

// Edits are entries that keep their layout's maximum; scroll views scroll with the wheel when
// allowed, and clicks through them reach the element under the pointer.
TEST_F(LqGtkTest, EditsAndScrollViews) {
  ILqElement* pSurvey = Shown(u"ExitReason1", 100, 100);
  ASSERT_NE(pSurvey, nullptr);
  auto* pReason = static_cast<lq::CEditElement*>(Find(pSurvey, u"reasonEdit"));
  CRecordingListener changes;
  ILqEventSource* pEditSource = EventSource(pReason);
  pEditSource->AddListener(LqEvent::kTextChanged, changes.Events());
  ASSERT_TRUE(ClickAt(ScreenCentre(pSurvey, pReason)));
  ASSERT_TRUE(RunTool({"xdotool", "type", "--delay", "20", "abc"}));
  EXPECT_TRUE(WaitUntil([&] { return pReason->TextValue() == u"abc"; }));
  EXPECT_EQ(changes.m_heard.size(), 3u);
  // Pasted text beyond the maximum is cut, and the entry shows what the edit kept.
  GtkWidget* pEntry = gtk_window_get_focus(ToplevelWindow(HandleOf(pSurvey)));
  ASSERT_TRUE(pEntry && GTK_IS_ENTRY(pEntry));
  std::string longText(300, 'x');
  gtk_entry_set_text(GTK_ENTRY(pEntry), longText.c_str());
  EXPECT_EQ(pReason->TextValue().size(), 256u);
  EXPECT_TRUE(WaitUntil([&] { return strlen(gtk_entry_get_text(GTK_ENTRY(pEntry))) == 256; }));
  // The program's text shows in the entry.
  pReason->SetText(u"<span foreground='red'>x</span>");
  EXPECT_TRUE(WaitUntil([&] {
    return std::string(gtk_entry_get_text(GTK_ENTRY(pEntry))) == "<span foreground='red'>x</span>";
  }));
  Pause(200);
  Capture(pSurvey, "ExitReason1-typed");
  pEditSource->Release();
  pSurvey->Close();

  ILqElement* pMain = Build(u"MainWnd");
  ASSERT_NE(pMain, nullptr);
  Find(pMain, u"InitPage")->Show(0);
  Find(pMain, u"ImageShowFrame")->Show(5);
  auto* pScroll = static_cast<lq::CScrollElement*>(Find(pMain, u"photoScrollView"));
  ILqElement* pGrid = nullptr;
  Util::Lq::CreateObject(CLSID_LqContainer, CLSID_LqContainer, reinterpret_cast<void**>(&pGrid));
  pScroll->AddChild(pGrid);
  const int tiles = 60;
  RECT gridRect{0, 0, 732, 122 * (tiles / 6)};
  pGrid->SetRect(&gridRect);
  CRecordingListener tileClicks;
  std::vector<ILqEventSource*> sources;
  for (int i = 0; i < tiles; ++i) {
    ILqElement* pTile = Build(u"PHOTO", pGrid);
    RECT rect{122 * (i % 6), 122 * (i / 6), 122 * (i % 6) + 120, 122 * (i / 6) + 120};
    pTile->SetRect(&rect);
    lq::CElement* pBorder = Find(pTile, u"imageborder");
    pBorder->SetId((u"tile" + Utf8ToUtf16(std::to_string(i))).c_str());
    sources.push_back(EventSource(pBorder));
    sources.back()->AddListener(LqEvent::kClick, tileClicks.Events());
    pTile->Release();
  }
  ASSERT_TRUE(ShowAt(pMain, 100, 80));
  POINT inView = ScreenCentre(pMain, pScroll);
  // Switched off, the wheel does nothing.
  ASSERT_TRUE(MoveTo(inView) && RunTool({"xdotool", "click", "5", "click", "5"}));
  Pause(400);
  EXPECT_EQ(pScroll->ScrollPosition().y, 0);
  pScroll->EnableScroll(TRUE, TRUE);
  ASSERT_TRUE(RunTool({"xdotool", "click", "5", "click", "5", "click", "5"}));
  EXPECT_TRUE(WaitUntil([&] { return pScroll->ScrollPosition().y > 0; }));
  Pause(500);  // the rest of the wheel's steps
  // The program's scrolling moves the view to a whole row: the click lands on row 3's tile.
  POINT to{0, 3 * 122};
  pScroll->SetScrollPos(&to);
  Pause(300);
  EXPECT_EQ(pScroll->ScrollPosition().y, 3 * 122);
  Capture(pMain, "MainWnd-photos");
  POINT viewOrigin = ScreenCentre(pMain, pScroll);
  const RECT& viewRect = pScroll->Rect();
  viewOrigin.x -= (viewRect.right - viewRect.left) / 2;
  viewOrigin.y -= (viewRect.bottom - viewRect.top) / 2;
  Pause(900);
  ASSERT_TRUE(ClickAt(POINT{viewOrigin.x + 122 + 60, viewOrigin.y + 60}));
  EXPECT_TRUE(WaitUntil([&] { return !tileClicks.m_heard.empty(); }));
  EXPECT_EQ(tileClicks.m_heard, (std::vector<std::string>{"4099:tile19"}));
  for (ILqEventSource* pSource : sources) pSource->Release();
  pGrid->Release();
  pMain->Close();
  pMain->Release();
}

// Scrolled with the wheel to the end of a long grid, the view switches to a shorter one, as the
// photo page does for a phone with fewer photos: the position comes to the new content's end,
// and the window keeps answering: posted messages within 1 s, the wheel after them.
TEST_F(LqGtkTest, ScrolledToTheEndThenAShorterGridTheWindowAnswers) {
  ILqElement* pMain = Build(u"MainWnd");
  ASSERT_NE(pMain, nullptr);
  m_shown.push_back(pMain);
  Find(pMain, u"InitPage")->Show(0);
  Find(pMain, u"ImageShowFrame")->Show(5);
  auto* pScroll = static_cast<lq::CScrollElement*>(Find(pMain, u"photoScrollView"));
  pScroll->EnableScroll(TRUE, TRUE);
  // 36 photos over 4 days, then 30 over 3 (two rows and a title a day).
  ILqElement* pGrids[2] = {};  // held by the view
  const LONG heights[2] = {4 * 278, 3 * 278};
  for (int i = 0; i < 2; ++i) {
    ASSERT_NE(pGrids[i] = Build(u"photogroup_title", pScroll), nullptr);
    RECT rect{0, 0, 732, heights[i]};
    pGrids[i]->SetRect(&rect);
    pGrids[i]->SetHidden(i == 1);
    pGrids[i]->Release();
  }
  ASSERT_TRUE(ShowAt(pMain, 100, 80));
  const LONG viewHeight = pScroll->Rect().bottom - pScroll->Rect().top;
  ASSERT_TRUE(MoveTo(ScreenCentre(pMain, pScroll)));
  ASSERT_TRUE(WaitUntil([&] {
    return pScroll->ScrollPosition().y == heights[0] - viewHeight ||
           !RunTool({"xdotool", "click", "5"});
  }, 20000)) << pScroll->ScrollPosition().y;

  // A GUI thread caught in a loop never comes back to the test: the watchdog ends the run.
  std::atomic<bool> answered{false};
  std::thread watchdog([&answered] {
    for (int i = 0; i < 300 && !answered; ++i) std::this_thread::sleep_for(100ms);
    if (!answered) _exit(fprintf(stderr, "No answer within 30 s of the switch.\n") > 0);
  });
  pGrids[0]->SetHidden(TRUE);
  pGrids[1]->SetHidden(FALSE);
  EXPECT_EQ(pScroll->ScrollPosition().y, heights[1] - viewHeight);
  x11_test::TestWindow poster("poster", false);
  for (int i = 0; i < 3; ++i) {
    Pause(300);  // GTK lays the shorter content out meanwhile
    PostMessageW(poster.Hwnd(), kPosted, i, 0);
    EXPECT_TRUE(WaitUntil([&] { return poster.Of(kPosted).size() == i + 1u; }, 1000)) << i;
  }
  answered = true;
  watchdog.join();
  const LONG before = pScroll->ScrollPosition().y;
  ASSERT_TRUE(RunTool({"xdotool", "click", "4"}));
  EXPECT_TRUE(WaitUntil([&] { return pScroll->ScrollPosition().y < before; }));
}

// A menu opened for the tray icon's posted right press takes the pointer with that press; the
// test port knows where the icon is.
TEST_F(LqGtkTest, TrayMenuOpensFromThePostedPress) {
  constexpr UINT kTrayMessage = 1025;
  std::vector<std::u16string> names;
  CRecordingListener listener;
  ILqMenu* pMenu = MakeMenu(&listener, &names);
  ASSERT_NE(pMenu, nullptr);
  CMessageWindow owner;
  owner.m_onMessage = [&](UINT message, WPARAM, LPARAM lParam) {
    if (message != kTrayMessage || lParam != WM_RBUTTONDOWN) return;
    POINT cursor{};
    GetCursorPos(&cursor);
    pMenu->Popup(nullptr, cursor.x - 60, cursor.y - 80);
  };
  NOTIFYICONDATAW data{};
  data.cbSize = sizeof data;
  data.hWnd = owner.Hwnd();
  data.uFlags = NIF_MESSAGE;
  data.uCallbackMessage = kTrayMessage;
  ASSERT_TRUE(Shell_NotifyIconW(NIM_ADD, &data));
  GdkRectangle area{};
  ASSERT_TRUE(WaitUntil([&] { return GetTrayIconGeometryForTesting(nullptr, 0, &area); }, 20000));
  std::string reply = lq::CLqTestPort::Handle(R"({"cmd":"tray"})");
  EXPECT_NE(reply.find("\"area\":[" + std::to_string(area.x) + ","), std::string::npos) << reply;
  Pause(900);
  ASSERT_TRUE(MoveTo(POINT{area.x + area.width / 2, area.y + area.height / 2}));
  ASSERT_TRUE(RunTool({"xdotool", "click", "3"}));
  POINT menu = OpenMenuOrigin();
  ASSERT_NE(menu.x, -1);
  Pause(200);
  x11_test::SaveScreenshot("gtk-tray-menu");
  Pause(900);
  ASSERT_TRUE(ClickAt(POINT{menu.x + 60, menu.y + 16}));
  EXPECT_TRUE(WaitUntil([&] { return !names.empty(); }));
  EXPECT_EQ(names, (std::vector<std::u16string>{u"1"}));
  EXPECT_TRUE(Shell_NotifyIconW(NIM_DELETE, &data));
  ReleaseMenu(pMenu, &listener);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (!InitializeGui(&argc, &argv)) {
    std::fprintf(stderr, "no X display\n");
    return getenv("LUMIDOCK_REQUIRE_GUI") ? 1 : 77;
  }
  lq::CGtkView::Install();
  int status = RUN_ALL_TESTS();
  lq::CLqPainter::ReleaseCachesAtExit();
  return status;
}
