#pragma once
// What the page tests share: the main window built on the null view (its pages found by id), a
// host that records its commands, the statistics reports as they reach the report library's
// spool, and pumping the UI thread's messages.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "../common/ReportSpool.h"
#include "../ui/UiTestSupport.h"
#include "IPageHost.h"
#include "MainHwnd.h"
#include "machine-identity/ReportClientMgr.h"
#include "win32/strings.h"
#include "win32/time.h"
#include "win32/window.h"

namespace pages_test {

class CHostRecorder final : public IPageHost {
 public:
  win32::HRESULT Command(int code, void*) override {
    m_commands.push_back(code);
    return win32::S_OK;
  }
  std::vector<int> m_commands;
};

class CPagesTest : public ui_test::CMainWindowTest {
 protected:
  void SetUp() override {
    CMainWindowTest::SetUp();
    ASSERT_NE(m_pMain, nullptr);
    SetMainHwnd(m_mainHwnd);
    const std::u16string library =
        win32::Utf8ToUtf16(std::string(LUMIDOCK_BIN_DIR) + "/dadovo.dll");
    ASSERT_EQ(GetReportClientMgr()->Init(library.c_str(), win32::TRUE), 1);
    ASSERT_TRUE(GetReportClientMgr()->EnsureRecord());
  }
  void TearDown() override {
    while (GetReportClientMgr()->UserCountForTesting() > 0) GetReportClientMgr()->UnInit(0);
    SetMainHwnd(nullptr);
    CMainWindowTest::TearDown();
  }

  // The page frame `id` of the main window (a model element, not held).
  ILqElement* PageRoot(const char16_t* pId) { return ui_test::Find(m_pMain, pId); }
  lq::CElement* Element(const char16_t* pId) { return ui_test::Find(m_pMain, pId); }

  // The user-interface records of the reports with `id` spooled so far, in order.
  std::vector<std::string> Reports(uint16_t id) const {
    return test_common::UiRecordsOf(Root() + "/statistics/spool.bin", id);
  }

  // Dispatches the UI thread's messages (and so its tasks) until `done` holds or the time is up.
  [[nodiscard]] static bool PumpUntil(const std::function<bool()>& done,
                                      win32::DWORD timeoutMs = 10000) {
    const win32::DWORD start = win32::GetTickCount();
    while (!done()) {
      if (win32::GetTickCount() - start > timeoutMs) return false;
      win32::MSG msg;
      if (win32::PeekMessageW(&msg, nullptr, 0, 0, win32::PM_REMOVE)) {
        win32::DispatchMessageW(&msg);
      } else {
        win32::MsgWaitForMultipleObjects(0, nullptr, win32::FALSE, 10, win32::QS_ALLINPUT);
      }
    }
    return true;
  }
};

// Big-endian record bytes, for comparing with spooled records.
inline std::string Int32(int32_t value) {
  const auto u = static_cast<uint32_t>(value);
  return {static_cast<char>(u >> 24), static_cast<char>(u >> 16), static_cast<char>(u >> 8),
          static_cast<char>(u)};
}
inline std::string CountedString(const std::string& text) {
  const auto length = static_cast<uint16_t>(text.size() + 1);
  return std::string{static_cast<char>(length >> 8), static_cast<char>(length & 0xFF)} + text +
         std::string(1, '\0');
}

}  // namespace pages_test
