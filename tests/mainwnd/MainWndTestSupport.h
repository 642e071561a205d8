#pragma once
// Shared by the main window's tests: the UI test's sandbox and platform core on the null view, a
// fake desktop (screen, tray, folder browser, shell), a timer clock the test moves, the report
// client writing to the sandbox's spool, and a logic library bound before the window is made
// (the window then finds it bound). Plus test-built logic messages and the spool's reports.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "../common/ReportSpool.h"
#include "../ui/UiTestSupport.h"
#include "Basalt/CKwManualTimerHost.h"
#include "Basalt/KwTimer.h"
#include "MainWnd.h"
#include "OrbalynBinding.h"
#include "machine-identity/ReportClientMgr.h"
#include "win32/fakes.h"
#include "win32/message_pump.h"
#include "win32/strings.h"

namespace mainwnd_test {

// A logic message as the library hands them out; lives on the test's stack.
class CTestMessage final : public IOrbalynMessage {
 public:
  CTestMessage(int type, int value, int64_t id = 0, int param1 = 0, int param2 = 0)
      : m_type(type), m_value(value), m_id(id), m_param1(param1), m_param2(param2) {}

  std::string m_payload;
  bool m_hasPayload = false;

  win32::HRESULT STDMETHODCALLTYPE QueryInterface(win32::REFIID, void**) override {
    return win32::E_NOINTERFACE;
  }
  win32::ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  win32::ULONG STDMETHODCALLTYPE Release() override { return 1; }
  win32::HRESULT STDMETHODCALLTYPE GetType(int* p) override { return *p = m_type, win32::S_OK; }
  win32::HRESULT STDMETHODCALLTYPE GetId(int64_t* p) override { return *p = m_id, win32::S_OK; }
  win32::HRESULT STDMETHODCALLTYPE GetValue(int* p) override { return *p = m_value, win32::S_OK; }
  win32::HRESULT STDMETHODCALLTYPE GetParam1(int* p) override { return *p = m_param1, win32::S_OK; }
  win32::HRESULT STDMETHODCALLTYPE GetParam2(int* p) override { return *p = m_param2, win32::S_OK; }
  win32::HRESULT STDMETHODCALLTYPE GetParam3(int* p) override { return *p = 0, win32::S_OK; }
  win32::HRESULT STDMETHODCALLTYPE GetParam4(int* p) override { return *p = 0, win32::S_OK; }
  win32::HRESULT STDMETHODCALLTYPE GetPayload(const win32::BYTE** pp, int* pLength) override {
    *pp = m_hasPayload ? reinterpret_cast<const win32::BYTE*>(m_payload.data()) : nullptr;
    *pLength = m_hasPayload ? static_cast<int>(m_payload.size()) : 0;
    return m_hasPayload ? win32::S_OK : win32::S_FALSE;
  }

 private:
  int m_type;
  int m_value;
  int64_t m_id;
  int m_param1;
  int m_param2;
};

struct Report {
  uint16_t id;
  std::string record;  // after the machine record
};

inline std::string Bytes(std::initializer_list<uint8_t> bytes) {
  return std::string(bytes.begin(), bytes.end());
}

class CMainWndTestBase : public ui_test::CUiTest {
 protected:
  // `libraryFolder`: where the logic library is bound from before the window is made.
  explicit CMainWndTestBase(std::string libraryFolder)
      : m_libraryFolder(std::move(libraryFolder)) {}

  void SetUp() override {
    ui_test::CUiTest::SetUp();
    if (HasFatalFailure()) return;
    m_pDesktop = std::make_unique<win32::fakes::FakeDesktop>();
    KwTimer::SetHost(&m_clock);
    GetMainRunState() = MainRunState{};
    const std::u16string dadovo = win32::Utf8ToUtf16(std::string(LUMIDOCK_BIN_DIR) + "/dadovo.dll");
    ASSERT_EQ(GetReportClientMgr()->Init(dadovo.c_str(), win32::TRUE), 1);
    ASSERT_TRUE(GetReportClientMgr()->EnsureRecord());
    ASSERT_EQ(LoadOrbalyn(ui_test::WindowsFromPosix(m_libraryFolder).c_str()), 1);
  }

  void TearDown() override {
    m_pMain.reset();
    UnloadOrbalyn();
    CMainWnd::SetCommandLineForTesting(nullptr);
    DrainQuit();
    KwTimer::SetHost(nullptr);
    while (GetReportClientMgr()->UserCountForTesting() > 0) GetReportClientMgr()->UnInit(0);
    m_pDesktop.reset();
    ui_test::CUiTest::TearDown();
  }

  // The main window, made and started.
  CMainWnd* Start(const char16_t* pCommandLine = u"Harborlight") {
    CMainWnd::SetCommandLineForTesting(pCommandLine);
    m_pMain = std::make_unique<CMainWnd>();
    m_pMain->Create(CKwStringW());
    return m_pMain.get();
  }

  // Runs what is queued for this thread (posted messages, due timers).
  static void Pump() {
    while (win32::DispatchOneMessage()) {
    }
  }
  // Takes a pending WM_QUIT; whether there was one.
  static bool DrainQuit() {
    Pump();
    win32::MSG msg;
    bool quit = false;
    while (win32::PeekMessageW(&msg, nullptr, 0, 0, win32::PM_REMOVE)) {
      quit = quit || msg.message == win32::WM_QUIT;
    }
    return quit;
  }

  std::vector<Report> Reports() const {
    std::vector<Report> reports;
    for (const test_common::SpoolRecord& record :
         test_common::ReadSpool(Root() + "/statistics/spool.bin")) {
      reports.push_back({test_common::SpoolReportId(record), test_common::UiRecordOf(record)});
    }
    return reports;
  }
  std::vector<uint16_t> ReportIds() const {
    std::vector<uint16_t> ids;
    for (const Report& report : Reports()) ids.push_back(report.id);
    return ids;
  }

  // The main window's element with `id` (a model element, not held), or null.
  lq::CElement* Element(const char16_t* pId) {
    lq::CWindowElement* pWindow = lq::CWindowElement::FromHandle(m_pMain->Hwnd());
    if (!pWindow) return nullptr;
    return pId ? pWindow->FindById(pId) : pWindow;
  }
  bool Shown(const char16_t* pId) {
    lq::CElement* pElement = Element(pId);
    return pElement && !pElement->HiddenFlag();
  }
  std::u16string Title() {
    auto* pWindow = static_cast<lq::CWindowElement*>(Element(nullptr));
    return pWindow ? pWindow->Title() : u"";
  }

  std::unique_ptr<win32::fakes::FakeDesktop> m_pDesktop;
  CKwManualTimerHost m_clock;
  std::unique_ptr<CMainWnd> m_pMain;

 private:
  std::string m_libraryFolder;
};

}  // namespace mainwnd_test
