// The QR binding page on the null view: the symbols' BMP bytes and what zbarimg reads back from
// them (and from the page painted off screen), the bind symbol drawn once and only once it is
// really on the page, the loading animation on a manual clock, the page statistics, and the
// tasks on thread 2 against a stand-in Ferrylink: one popup after the other, the main window
// enabled after each, teardown waiting for a blocked task, and a hung popup ended.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <optional>

#include "../common/ChildCase.h"
#include "../harborlight/AsyncFrameTestSupport.h"
#include "AsyncFrame/AsyncFrame.h"
#include "Basalt/CKwManualTimerHost.h"
#include "Basalt/KwTimer.h"
#include "CLqPainter.h"
#include "PagesTestSupport.h"
#include "QrCodePageAdapter.h"
#include "WebAddresses.h"
#include "win32/fakes.h"

using namespace win32;
using namespace ui_test;
using pages_test::Int32;

namespace {

// A bind-information message with a payload.
class CFakeMessage final : public IOrbalynMessage {
 public:
  explicit CFakeMessage(std::string payload) : m_payload(std::move(payload)) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refCount; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG count = --m_refCount;
    if (count == 0) delete this;
    return count;
  }
  HRESULT STDMETHODCALLTYPE GetType(int*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetId(int64_t*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetValue(int*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetParam1(int*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetParam2(int*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetParam3(int*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetParam4(int*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetPayload(const BYTE** ppData, int* pLength) override {
    if (ppData) *ppData = reinterpret_cast<const BYTE*>(m_payload.c_str());
    if (pLength) *pLength = static_cast<int>(m_payload.size());
    return S_OK;
  }

 private:
  ~CFakeMessage() = default;
  std::string m_payload;
  std::atomic<ULONG> m_refCount{1};
};

// The logic library's bind information: each call takes the next scripted answer (none: no
// message, as before the PC is registered).
class CFakeLogic final : public IOrbalynLogic {
 public:
  std::deque<std::optional<std::string>> m_answers;
  int m_calls = 0;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE Advise(IOrbalynLogicSink*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Unadvise(IOrbalynLogicSink*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Login() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Logout() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetLoginState(int*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetBindInfo(IOrbalynMessage** ppMessage) override {
    ++m_calls;
    *ppMessage = nullptr;
    if (m_answers.empty()) return S_OK;
    std::optional<std::string> answer = m_answers.front();
    m_answers.pop_front();
    if (answer) *ppMessage = new CFakeMessage(*answer);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE UnbindDevice(int64_t) override { return E_NOTIMPL; }
};

// A decoded 24-bit bottom-up BMP, read as it is displayed (row 0 at the top).
struct Bitmap {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;  // displayed rows, top first

  bool Dark(int x, int y) const { return rgb[(static_cast<size_t>(y) * width + x) * 3] == 0; }
};

uint32_t Le32(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<uint8_t>(bytes[at + i]);
  return value;
}

Bitmap ReadBmp(const std::string& bytes) {
  Bitmap bitmap;
  bitmap.width = static_cast<int>(Le32(bytes, 18));
  bitmap.height = static_cast<int>(Le32(bytes, 22));
  const size_t rowBytes = (static_cast<size_t>(bitmap.width) * 3 + 3) & ~size_t{3};
  for (int y = 0; y < bitmap.height; ++y) {
    const size_t row = 54 + (bitmap.height - 1 - y) * rowBytes;
    bitmap.rgb.insert(bitmap.rgb.end(), bytes.begin() + row,
                      bytes.begin() + row + bitmap.width * 3);
  }
  return bitmap;
}

// The same picture inside a white border, as a 24-bit BMP file.
void WriteBorderedBmp(const Bitmap& bitmap, int border, const std::string& path) {
  const int width = bitmap.width + 2 * border;
  const int height = bitmap.height + 2 * border;
  const uint32_t rowBytes = (static_cast<uint32_t>(width) * 3 + 3) & ~3u;
  std::string file(54 + rowBytes * height, '\xFF');
  auto put32 = [&](size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) file[at + i] = static_cast<char>(value >> (8 * i));
  };
  file[0] = 'B';
  file[1] = 'M';
  put32(2, static_cast<uint32_t>(file.size()));
  put32(6, 0);
  put32(10, 54);
  put32(14, 40);
  put32(18, width);
  put32(22, height);
  put32(26, 1 | 24 << 16);
  for (size_t at = 30; at < 54; at += 4) put32(at, 0);
  for (int y = 0; y < bitmap.height; ++y) {
    for (int x = 0; x < bitmap.width; ++x) {
      if (!bitmap.Dark(x, y)) continue;
      const size_t at = 54 + static_cast<size_t>(height - 1 - (y + border)) * rowBytes +
                        static_cast<size_t>(x + border) * 3;
      file[at] = file[at + 1] = file[at + 2] = 0;
    }
  }
  test_files::WriteWholeFile(path, file);
}

// What zbarimg reads in a picture file: one line per symbol.
std::vector<std::string> Decode(const std::string& path) {
  std::string command = "zbarimg --raw -q '" + path + "' 2>/dev/null";
  FILE* pPipe = popen(command.c_str(), "r");
  if (!pPipe) return {};
  std::string output;
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof(buffer), pPipe)) > 0) output.append(buffer, got);
  pclose(pPipe);
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = output.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(output.substr(start, end - start));
  }
  return lines;
}

// The 7 x 7 finder pattern with its top-left module at (row, column), 4 pixels a module.
bool FinderAt(const Bitmap& bitmap, int row, int column) {
  for (int r = 0; r < 7; ++r) {
    for (int c = 0; c < 7; ++c) {
      const bool ring = r == 0 || r == 6 || c == 0 || c == 6;
      const bool core = r >= 2 && r <= 4 && c >= 2 && c <= 4;
      if (bitmap.Dark(4 * (column + c) + 1, 4 * (row + r) + 1) != (ring || core)) return false;
    }
  }
  return true;
}

class QrCodePageTest : public pages_test::CPagesTest {
 protected:
  void SetUp() override {
    CPagesTest::SetUp();
    setenv("LUMIDOCK_WEB_SITE", "http://127.0.0.1:8123", 1);
    m_log = Root() + "/ferrylink.log";
    setenv("LUMIDOCK_FAKE_FERRYLINK_LOG", m_log.c_str(), 1);
    KwTimer::SetHost(&m_clock);
    ASSERT_EQ(AsyncFrame::StartThreads(), 1);
  }
  void TearDown() override {
    for (pid_t pid : m_popups) kill(pid, SIGKILL);
    m_pPage.reset();
    AsyncFrame::StopAllThreads();
    KwTimer::SetHost(nullptr);
    CQrCodePageAdapter::SetGuardTickForTesting(nullptr);
    for (const char* pName :
         {"LUMIDOCK_WEB_SITE", "LUMIDOCK_FAKE_FERRYLINK_LOG", "LUMIDOCK_FAKE_FERRYLINK_HANG"}) {
      unsetenv(pName);
    }
    CPagesTest::TearDown();
  }

  void MakePage() {
    m_pPage = std::make_unique<CQrCodePageAdapter>();
    m_pPage->SetLogicForTesting(&m_logic);
    m_pPage->Init(PageRoot(u"QRCodePage"), &m_host);
    m_pPage->ShowPage(false);
  }
  lq::CElement* Element(const char16_t* pId) { return Find(PageRoot(u"QRCodePage"), pId); }
  bool Shown(const char16_t* pId) { return !Element(pId)->HiddenFlag(); }
  // The BMP bytes an image element shows; empty without a picture.
  std::string PictureBytes(const char16_t* pId) {
    IKwBuffer* pBuffer = nullptr;
    IUnknown* pObject = Element(pId)->Picture().Object();
    if (!pObject ||
        FAILED(pObject->QueryInterface(IID_IKwBuffer, reinterpret_cast<void**>(&pBuffer)))) {
      return std::string();
    }
    const BYTE* pData = nullptr;
    DWORD size = 0;
    pBuffer->GetData(&pData);
    pBuffer->GetSize(&size);
    std::string bytes(reinterpret_cast<const char*>(pData), size);
    pBuffer->Release();
    return bytes;
  }
  std::vector<std::string> DecodePicture(const char16_t* pId, const std::string& name) {
    const std::string path = Root() + "/" + name + ".bmp";
    WriteBorderedBmp(ReadBmp(PictureBytes(pId)), 16, path);
    return Decode(path);
  }
  // The stand-in popups started so far: "<pid> <arguments>".
  std::vector<std::string> Popups() {
    std::vector<std::string> lines;
    std::string text = test_files::ReadWholeFile(m_log);
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      lines.push_back(text.substr(start, end - start));
    }
    m_popups.clear();
    for (const std::string& line : lines) m_popups.push_back(atoi(line.c_str()));
    return lines;
  }

  CKwManualTimerHost m_clock;
  CFakeLogic m_logic;
  pages_test::CHostRecorder m_host;
  std::unique_ptr<CQrCodePageAdapter> m_pPage;
  std::string m_log;
  std::vector<pid_t> m_popups;
};

// --- The symbols ---

// 15 lower-case letters (8-bit mode) need version 2 (25 modules): 100 x 100 pixels, 30054 bytes,
// stored bottom-up with the finder patterns at the top-left, top-right and bottom-left corners as
// displayed.
TEST_F(QrCodePageTest, BmpLayoutAndFinderCornersAsDisplayed) {
  ILqElement* pImage = PageRoot(u"qrCode_BindImg");
  pImage->AddRef();
  ASSERT_TRUE(CQrCodePageAdapter::RenderQrCode("abcdefghijklmno", pImage));
  const std::string bytes = PictureBytes(u"qrCode_BindImg");
  ASSERT_EQ(bytes.size(), 30054u);
  EXPECT_EQ(bytes.substr(0, 2), "BM");
  EXPECT_EQ(Le32(bytes, 2), 30054u);
  EXPECT_EQ(Le32(bytes, 10), 54u);
  EXPECT_EQ(Le32(bytes, 14), 40u);
  EXPECT_EQ(Le32(bytes, 18), 100u);
  EXPECT_EQ(Le32(bytes, 22), 100u);  // positive: bottom-up
  EXPECT_EQ(Le32(bytes, 26), 1u | 24u << 16);
  EXPECT_EQ(Le32(bytes, 30), 0u);
  const Bitmap bitmap = ReadBmp(bytes);
  EXPECT_TRUE(FinderAt(bitmap, 0, 0));
  EXPECT_TRUE(FinderAt(bitmap, 0, 25 - 7));
  EXPECT_TRUE(FinderAt(bitmap, 25 - 7, 0));
  EXPECT_FALSE(FinderAt(bitmap, 25 - 7, 25 - 7));
  EXPECT_TRUE(bitmap.Dark(0, 0));  // no margin
  EXPECT_EQ(DecodePicture(u"qrCode_BindImg", "v2"), (std::vector<std::string>{"abcdefghijklmno"}));
  EXPECT_EQ(CQrCodePageAdapter::BytesToHex(reinterpret_cast<const BYTE*>("\x0A\xFF"), 2), "0aff");
}

// The longest bind text (50 bytes, 100 hex digits) and the download address read back; a text
// too long for any version draws nothing.
TEST_F(QrCodePageTest, LongestBindTextAndDownloadAddressReadBack) {
  MakePage();
  EXPECT_EQ(DecodePicture(u"qrCode_DownUrlImg", "download"),
            (std::vector<std::string>{"http://127.0.0.1:8123/tidepool-download.html"}));
  std::string payload;
  for (int i = 0; i < 50; ++i) payload += static_cast<char>(0xF0 ^ (i * 37));
  m_logic.m_answers.push_back(payload);
  m_pPage->RefreshBindQrCode();
  ASSERT_EQ(m_pPage->ShownForTesting(), 1);
  const std::string hex =
      CQrCodePageAdapter::BytesToHex(reinterpret_cast<const BYTE*>(payload.data()), payload.size());
  ASSERT_EQ(hex.size(), 100u);
  EXPECT_EQ(DecodePicture(u"qrCode_BindImg", "bind"), (std::vector<std::string>{hex}));

  // The page as painted: both symbols 1:1 on white, each read from the same picture.
  lq::CElement::FromInterface(PageRoot(u"InitPage"))->SetHidden(TRUE);
  const std::string folder = std::string(LUMIDOCK_BIN_DIR) + "/../artifacts/ui-headless";
  std::filesystem::create_directories(folder);
  const std::string png = folder + "/QRCodePage-bound.png";
  ASSERT_TRUE(lq::CLqPainter::WritePng(lq::CElement::FromInterface(m_pMain), png));
  std::vector<std::string> read = Decode(png);
  std::vector<std::string> expected = {"http://127.0.0.1:8123/tidepool-download.html", hex};
  std::sort(read.begin(), read.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(read, expected);

  ILqElement* pImage = PageRoot(u"qrCode_DownUrlImg");
  pImage->AddRef();
  EXPECT_FALSE(CQrCodePageAdapter::RenderQrCode(std::string(4000, 'a'), pImage));
}

// --- Binding ---

// Without bind information the page asks for a login (host 7) and keeps loading; a symbol that
// cannot be drawn does not count, so the next refresh draws it; after that refreshes do nothing.
TEST_F(QrCodePageTest, BindSymbolOnceAndOnlyWhenDrawn) {
  MakePage();
  EXPECT_TRUE(Shown(u"qrloading"));
  EXPECT_FALSE(Shown(u"qrLinkIcon"));
  EXPECT_FALSE(Shown(u"ScanSuc"));
  EXPECT_FALSE(Shown(u"backToShowPhotoPage"));  // no phone bound

  m_logic.m_answers = {std::nullopt, std::string(1200, '\x5A'), std::string("\x0A\xFF", 2),
                       std::string("later")};
  m_pPage->RefreshBindQrCode();
  m_pPage->RefreshBindQrCode();  // 2400 hex digits: more than any symbol holds
  EXPECT_EQ(m_host.m_commands, (std::vector<int>{7, 7}));
  EXPECT_EQ(m_pPage->ShownForTesting(), 0);
  EXPECT_TRUE(Shown(u"qrloading"));
  EXPECT_TRUE(PictureBytes(u"qrCode_BindImg").empty());

  m_pPage->RefreshBindQrCode();
  EXPECT_EQ(m_pPage->ShownForTesting(), 1);
  EXPECT_EQ(DecodePicture(u"qrCode_BindImg", "0aff"), (std::vector<std::string>{"0aff"}));
  EXPECT_FALSE(Shown(u"qrloading"));
  EXPECT_TRUE(Shown(u"qrLinkIcon"));
  m_pPage->RefreshBindQrCode();
  EXPECT_EQ(m_logic.m_calls, 3);
  EXPECT_EQ(m_host.m_commands, (std::vector<int>{7, 7}));
}

// The animation steps every 30 ms through 1..29 and 0 and stops with the symbol; the scan
// notice and the page statistics carry the entry source.
TEST_F(QrCodePageTest, AnimationNoticeAndStatistics) {
  MakePage();
  auto frame = [&] {
    const std::u16string path = Element(u"qrloading")->Picture().Path();
    return atoi(Utf16ToUtf8(path.substr(path.find(u'\\') + 1)).c_str());
  };
  m_clock.Advance(30);
  const int first = frame();
  std::vector<int> frames;
  for (int i = 0; i < 30; ++i) {
    m_clock.Advance(30);
    frames.push_back(frame());
  }
  for (int i = 0; i < 30; ++i) EXPECT_EQ(frames[i], (first + 1 + i) % 30);
  m_logic.m_answers.push_back(std::string("ok"));
  m_pPage->RefreshBindQrCode();
  const int last = frame();
  m_clock.Advance(300);
  EXPECT_EQ(frame(), last);

  m_pPage->SetEntrySource(2);
  m_pPage->ReportShown();
  m_pPage->OnPhoneScanned();
  EXPECT_TRUE(Shown(u"ScanSuc"));
  ASSERT_TRUE(Element(u"smallclosebtn")->UserClick());
  EXPECT_FALSE(Shown(u"ScanSuc"));
  m_pPage->OnPhoneScanned();
  m_pPage->SetBindResult(false);
  EXPECT_FALSE(Shown(u"ScanSuc"));
  m_pPage->ReportBound();
  EXPECT_EQ(Reports(5890), (std::vector<std::string>{Int32(2) + Int32(3), Int32(2) + Int32(4),
                                                     Int32(2) + Int32(4), Int32(2) + Int32(5)}));
  lq::CElement::FromInterface(PageRoot(u"backToShowPhotoPage"))->SetHidden(FALSE);
  ASSERT_TRUE(Element(u"backToShowPhotoPage")->UserClick());
  EXPECT_EQ(m_host.m_commands.back(), 5);
}

// The frame counter lives for the process: a fresh one starts the animation at frame 1.
using QrCodePageChildProcess = QrCodePageTest;
TEST_F(QrCodePageChildProcess, DISABLED_FirstFrameOfTheProcess) {
  MakePage();
  m_clock.Advance(30);
  EXPECT_EQ(Element(u"qrloading")->Picture().Path(), u"platformres:qrloading\\1.png");
}

TEST_F(QrCodePageTest, AnimationStartsAtFrameOneInAFreshProcess) {
  test_common::ProgramResult child =
      test_common::RunChildCase("QrCodePageChildProcess.DISABLED_FirstFrameOfTheProcess", {});
  EXPECT_TRUE(child.Passed()) << child.output;
}

// --- The tasks on thread 2 ---

// Two clicks start two popups one after the other, each with the main window's handle; the
// main window is enabled after each; the download button opens the page in the browser.
TEST_F(QrCodePageTest, PopupsRunOneAfterTheOtherAndTheBrowserOpensTheDownloadPage) {
  fakes::FakeDesktop desktop;
  MakePage();
  char parent[32];
  snprintf(parent, sizeof(parent), "Parent=%08x",
           static_cast<unsigned>(reinterpret_cast<uintptr_t>(m_mainHwnd)));
  EnableWindow(m_mainHwnd, FALSE);
  ASSERT_TRUE(Element(u"DownloadToMobile")->UserClick());
  ASSERT_TRUE(Element(u"DownloadToMobile")->UserClick());
  ASSERT_TRUE(Element(u"DownloadLocal")->UserClick());
  ASSERT_TRUE(PumpUntil([&] { return Popups().size() == 1; }));
  EXPECT_EQ(Popups()[0].substr(Popups()[0].find(' ') + 1), parent);
  EXPECT_FALSE(PumpUntil([&] { return Popups().size() > 1; }, 300));
  EXPECT_TRUE(desktop.ShellOpens().empty());  // waits on thread 2 behind the popup
  EXPECT_FALSE(IsWindowEnabled(m_mainHwnd));

  kill(m_popups[0], SIGTERM);
  ASSERT_TRUE(PumpUntil([&] { return Popups().size() == 2; }));
  ASSERT_TRUE(PumpUntil([&] { return IsWindowEnabled(m_mainHwnd) != FALSE; }));
  EnableWindow(m_mainHwnd, FALSE);
  kill(m_popups[1], SIGTERM);
  ASSERT_TRUE(PumpUntil([&] { return IsWindowEnabled(m_mainHwnd) != FALSE; }));
  ASSERT_TRUE(PumpUntil([&] { return !desktop.ShellOpens().empty(); }));
  EXPECT_EQ(desktop.ShellOpens()[0].uri, "http://127.0.0.1:8123/tidepool-download.html");
  EXPECT_EQ(Reports(5929), (std::vector<std::string>{Int32(2), Int32(2), Int32(1)}));
}

// Teardown while a popup blocks thread 2: it keeps dispatching messages until the task ends,
// and the page's follow-up task never runs.
TEST_F(QrCodePageTest, TeardownWaitsForABlockedTaskWhilePumping) {
  MakePage();
  ASSERT_TRUE(Element(u"DownloadToMobile")->UserClick());
  ASSERT_TRUE(PumpUntil([&] { return Popups().size() == 1; }));
  static pid_t s_popup;
  static bool s_dispatched;
  s_popup = m_popups[0];
  s_dispatched = false;
  HWND helper = asyncframe_test::CreatePlainWindow(
      u"QrTeardownHelper", [](HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_APP) {
          s_dispatched = true;
          kill(s_popup, SIGTERM);
          return LRESULT{0};
        }
        return DefWindowProcW(hwnd, message, wParam, lParam);
      });
  ASSERT_NE(helper, nullptr);
  EnableWindow(m_mainHwnd, FALSE);
  ASSERT_TRUE(PostMessageW(helper, WM_APP, 0, 0));
  m_pPage.reset();  // returns only once the popup, ended from inside the wait, is gone
  EXPECT_TRUE(s_dispatched);
  EXPECT_FALSE(PumpUntil([&] { return IsWindowEnabled(m_mainHwnd) != FALSE; }, 200));
  DestroyWindow(helper);
}

// A WM_QUIT taken while waiting bounds the wait (here on a clock that jumps); the task that is
// still blocked then finishes without touching the deleted page.
TEST_F(QrCodePageTest, QuitBoundsTheTeardownWait) {
  static std::atomic<DWORD> s_tick{0};
  CQrCodePageAdapter::SetGuardTickForTesting([] { return s_tick.fetch_add(4000); });
  setenv("LUMIDOCK_FAKE_FERRYLINK_HANG", "1", 1);
  MakePage();
  ASSERT_TRUE(Element(u"DownloadToMobile")->UserClick());
  ASSERT_TRUE(PumpUntil([&] { return Popups().size() == 1; }));
  PostQuitMessage(0);
  m_pPage.reset();
  EXPECT_EQ(kill(m_popups[0], 0), 0);  // still there: the wait gave up
  kill(m_popups[0], SIGKILL);
  std::string proc = "/proc/" + std::to_string(m_popups[0]);
  ASSERT_TRUE(PumpUntil([&] { return !std::filesystem::exists(proc); }));
}

// A popup that ignores everything is ended after the bounded wait, and the page's task then
// enables the main window; with no popup running, nothing is waited for.
TEST_F(QrCodePageTest, HungPopupIsEndedAfterTheBoundedWait) {
  setenv("LUMIDOCK_FAKE_FERRYLINK_HANG", "1", 1);
  MakePage();
  DWORD start = GetTickCount();
  m_pPage->CloseInstallPopup(nullptr);
  EXPECT_LT(GetTickCount() - start, 500u);
  ASSERT_TRUE(Element(u"DownloadToMobile")->UserClick());
  ASSERT_TRUE(PumpUntil([&] { return Popups().size() == 1; }));
  EnableWindow(m_mainHwnd, FALSE);
  start = GetTickCount();
  m_pPage->CloseInstallPopup(nullptr);
  const DWORD waited = GetTickCount() - start;
  EXPECT_GE(waited, CQrCodePageAdapter::kPopupCloseWaitMs - 50);
  EXPECT_LT(waited, 10 * CQrCodePageAdapter::kPopupCloseWaitMs);  // bounded, even when busy
  ASSERT_TRUE(PumpUntil([&] { return IsWindowEnabled(m_mainHwnd) != FALSE; }));
  EXPECT_NE(kill(m_popups[0], 0), 0);
}

}  // namespace
