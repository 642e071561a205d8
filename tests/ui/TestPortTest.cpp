// The test port: windows driven by state in process, the same commands as JSON lines on a UNIX
// socket in a private folder, and the harbor-drive client against it.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

#include "../common/SpawnChild.h"
#include "CEditElement.h"
#include "CLqEventListenerHelper.h"
#include "CLqTestPort.h"
#include "CUnBindMsgBox.h"
#include "JsonLine.h"
#include "UiTestSupport.h"

// After the layer's headers.
#include <glib.h>
#include <sys/socket.h>
#include <sys/un.h>

using namespace win32;
using namespace ui_test;
using lq::CLqTestPort;

namespace {

class CClicks {
 public:
  CClicks() : m_listener(this) {}
  HRESULT OnClick(ILqEvent*) {
    ++m_clicks;
    return 0;
  }
  HRESULT OnText(ILqEvent*) {
    ++m_texts;
    return 0;
  }
  CLqEventListenerHelper<CClicks> m_listener;
  int m_clicks = 0;
  int m_texts = 0;
};

class TestPortTest : public CMainWindowTest {
 protected:
  void TearDown() override {
    CLqTestPort::Stop();
    CMainWindowTest::TearDown();
  }
};

TEST_F(TestPortTest, InProcessCommandsActAsTheUser) {
  CClicks clicks;
  clicks.m_listener.AddListener(Find(m_pMain, u"nextStep"), LqEvent::kClick, &CClicks::OnClick);
  lq::CElement* pEdit = Find(m_pMain, u"dirEdit");
  clicks.m_listener.AddListener(pEdit, LqEvent::kTextChanged, &CClicks::OnText);
  std::string error;
  EXPECT_TRUE(CLqTestPort::Click(u"MainWnd", u"InitPage/nextStep", &error)) << error;
  EXPECT_EQ(clicks.m_clicks, 1);
  EXPECT_FALSE(CLqTestPort::Click(u"MainWnd", u"chooseDirFrame/nextStep", &error));
  EXPECT_EQ(error, "chooseDirFrame/nextStep takes no click now");
  EXPECT_FALSE(CLqTestPort::Click(u"MainWnd", u"InitPage/nosuch", &error));
  EXPECT_EQ(error, "no element InitPage/nosuch in MainWnd");
  EXPECT_FALSE(CLqTestPort::Click(u"Nowhere", u"x", &error));
  EXPECT_EQ(error, "no window Nowhere");

  Find(m_pMain, u"InitPage")->Show(0);
  Find(m_pMain, u"chooseDirFrame")->Show(5);
  EXPECT_TRUE(CLqTestPort::SetText(u"MainWnd", u"dirEdit", std::u16string(2000, u'x'), &error));
  EXPECT_EQ(pEdit->TextValue().size(), 1024u);
  EXPECT_EQ(clicks.m_texts, 1);
  EXPECT_FALSE(CLqTestPort::SetText(u"MainWnd", u"selectDirBtn", u"x", &error));
  EXPECT_EQ(error, "selectDirBtn is no edit");

  // The tree tells what a test needs to know of each element.
  std::string tree = CLqTestPort::TreeJson(u"MainWnd");
  EXPECT_NE(tree.find("\"window\":\"MainWnd\""), std::string::npos);
  EXPECT_NE(tree.find("\"id\":\"menubtn\",\"name\":\"\",\"kind\":\"button\",\"text\":\"\","
                      "\"rect\":[680,6,704,30],\"abs\":[680,6,704,30],\"hidden\":false,"
                      "\"shown\":true,\"enabled\":true"),
            std::string::npos);
  EXPECT_EQ(CLqTestPort::TreeJson(u"Nowhere"), "[]");

  // A window under a modal run takes no input from the port either.
  bool refused = false;
  Script().PushCall([&](ILqElement*) {
    refused = !CLqTestPort::Click(u"MainWnd", u"menubtn", &error) &&
              error == "menubtn takes no click now";
    EXPECT_NE(CLqTestPort::TreeJson(u"UnBindMsgBox").find("\"modal\":true"), std::string::npos);
  });
  Script().PushCall([&](ILqElement*) {
    EXPECT_TRUE(CLqTestPort::Click(u"UnBindMsgBox", u"okbtn", &error)) << error;
  });
  auto* pBox = new CUnBindMsgBox();
  pBox->DoModal(Frame(u"UnBindMsgBox").c_str(), m_mainHwnd, nullptr);
  EXPECT_TRUE(refused);
  EXPECT_EQ(pBox->Result(), 1);
  pBox->Release();

  std::string png = Root() + "/main.png";
  ASSERT_TRUE(CLqTestPort::SavePng(u"MainWnd", png, &error)) << error;
  EXPECT_EQ(test_files::ReadWholeFile(png).substr(1, 3), "PNG");
}

TEST_F(TestPortTest, ChecksTabsAndMenus) {
  ILqElement* pSurvey = Build(u"ExitReason1");
  pSurvey->Show(5);
  std::string error;
  EXPECT_TRUE(CLqTestPort::Check(u"ExitReason1", u"other", true, &error));
  EXPECT_TRUE(CLqTestPort::Check(u"ExitReason1", u"other", true, &error));  // already
  EXPECT_NE(CLqTestPort::TreeJson(u"ExitReason1").find("\"id\":\"other\""), std::string::npos);
  BOOL checked = FALSE;
  ILqCheck* pCheck = nullptr;
  Find(pSurvey, u"other")->QueryInterface(IID_ILqCheck, reinterpret_cast<void**>(&pCheck));
  pCheck->GetChecked(&checked);
  EXPECT_TRUE(checked);
  pCheck->Release();
  pSurvey->Close();
  pSurvey->Release();

  Find(m_pMain, u"InitPage")->Show(0);
  Find(m_pMain, u"chooseDirFrame")->Show(5);
  for (const char16_t* pId : {u"C:\\", u"D:\\"}) {
    ILqElement* pTab = nullptr;
    Util::Lq::CreateObject(CLSID_LqTabItem, IID_ILqTabItem, reinterpret_cast<void**>(&pTab));
    pTab->SetId(pId);
    Find(m_pMain, u"chooseDirTabCtrl")->AddChild(pTab);
    pTab->SetStyleName(u"dirButtonTab");
    pTab->Release();
  }
  EXPECT_TRUE(CLqTestPort::SelectTab(u"MainWnd", u"chooseDirTabCtrl/D:\\", &error)) << error;
  EXPECT_NE(CLqTestPort::TreeJson(u"MainWnd").find("\"id\":\"D:\\\\\""), std::string::npos);
  EXPECT_FALSE(CLqTestPort::SelectTab(u"MainWnd", u"dirEdit", &error));

  ILqMenu* pMenu = nullptr;
  Util::Lq::CreateObject(CLSID_LqMenu, CLSID_LqMenu, reinterpret_cast<void**>(&pMenu));
  pMenu->AddItem(36, 114, u"traymenuItem", 0xFF000000, u"退出", nullptr, u"2");
  EXPECT_FALSE(CLqTestPort::ClickMenuItem(u"2", &error));
  EXPECT_EQ(error, "no menu is open");
  pMenu->Popup(nullptr, 10, 10);
  EXPECT_TRUE(CLqTestPort::ClickMenuItem(u"2", &error)) << error;
  pMenu->Release();
}

// The socket: refused in a folder others may enter; JSON lines in, one reply line each.
TEST_F(TestPortTest, SocketServesJsonLinesFromAPrivateFolder) {
  std::string open = Root() + "/open";
  mkdir(open.c_str(), 0755);
  EXPECT_FALSE(CLqTestPort::Start(open + "/port", nullptr));
  std::string folder = Root() + "/private";
  mkdir(folder.c_str(), 0700);
  GMainContext* pContext = g_main_context_new();
  ASSERT_TRUE(CLqTestPort::Start(folder + "/port", pContext));
  CClicks clicks;
  clicks.m_listener.AddListener(Find(m_pMain, u"menubtn"), LqEvent::kClick, &CClicks::OnClick);

  std::vector<std::string> replies;
  std::atomic<bool> done{false};
  std::thread client([&] {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, (folder + "/port").c_str());
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
      std::string lines =
          "{\"cmd\":\"click\",\"window\":\"MainWnd\",\"path\":\"menubtn\"}\n"
          "{\"cmd\":\"find\",\"window\":\"MainWnd\",\"path\":\"chooseDirFrame\"}\n"
          "not json\n{\"cmd\":\"tray\"}\n";
      send(fd, lines.data(), lines.size(), 0);
      std::string buffer;
      char chunk[4096];
      while (std::count(buffer.begin(), buffer.end(), '\n') < 4) {
        ssize_t n = recv(fd, chunk, sizeof(chunk), 0);
        if (n <= 0) break;
        buffer.append(chunk, static_cast<size_t>(n));
      }
      for (size_t newline; (newline = buffer.find('\n')) != std::string::npos;) {
        replies.push_back(buffer.substr(0, newline));
        buffer.erase(0, newline + 1);
      }
    }
    close(fd);
    done = true;
  });
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done && std::chrono::steady_clock::now() < deadline) {
    g_main_context_iteration(pContext, FALSE);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  client.join();
  ASSERT_EQ(replies.size(), 4u);
  EXPECT_EQ(replies[0], "{\"ok\":true}");
  EXPECT_EQ(clicks.m_clicks, 1);
  EXPECT_NE(replies[1].find("\"id\":\"chooseDirFrame\""), std::string::npos);
  EXPECT_NE(replies[1].find("\"window\":[0,0,774,494]"), std::string::npos);
  EXPECT_EQ(replies[2], "{\"ok\":false,\"error\":\"not a flat JSON object\"}");
  EXPECT_EQ(replies[3], "{\"ok\":false,\"error\":\"the tray icon's place is not known\"}");
  CLqTestPort::Stop();
  g_main_context_unref(pContext);
}

// harbor-drive against the port, as later tests drive the program.
TEST_F(TestPortTest, HarborDriveClicksReadsRectanglesAndWaits) {
  std::string folder = Root() + "/private";
  mkdir(folder.c_str(), 0700);
  std::string socket = folder + "/port";
  GMainContext* pContext = g_main_context_new();
  ASSERT_TRUE(CLqTestPort::Start(socket, pContext));
  CClicks clicks;
  clicks.m_listener.AddListener(Find(m_pMain, u"menubtn"), LqEvent::kClick, &CClicks::OnClick);
  // Runs the client to its end while this thread serves the port; its exit status and output.
  auto drive = [&](const std::string& arguments) {
    std::string output = Root() + "/drive.out";
    pid_t pid = test_common::SpawnChild(
        {"/bin/sh", "-c", std::string(HARBOR_DRIVE) + " " + arguments + " > " + output},
        {"HARBORLIGHT_TESTPORT=" + socket});
    int status = -1;
    while (waitpid(pid, &status, WNOHANG) == 0) {
      g_main_context_iteration(pContext, FALSE);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return std::make_pair(WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                          test_files::ReadWholeFile(output));
  };
  EXPECT_EQ(drive("rect MainWnd menubtn"), std::make_pair(0, std::string("680 6 704 30\n")));
  EXPECT_EQ(drive("click MainWnd menubtn").first, 0);
  EXPECT_EQ(clicks.m_clicks, 1);
  EXPECT_EQ(drive("click MainWnd chooseDirFrame/nextStep").first, 1);
  EXPECT_EQ(drive("wait MainWnd chooseDirFrame --timeout 200").first, 1);
  EXPECT_EQ(drive("wait MainWnd chooseDirFrame --hidden").first, 0);
  EXPECT_EQ(drive("wait MainWnd InitPage/nextStep").first, 0);
  EXPECT_EQ(drive("bogus").first, 2);
  // A posted message reaches the window's queue as given; anything but numbers is refused.
  EXPECT_EQ(drive("post MainWnd 1025 0 516").first, 0);
  MSG msg{};
  ASSERT_TRUE(PeekMessageW(&msg, m_mainHwnd, 1025, 1025, PM_REMOVE));
  EXPECT_EQ(msg.wParam, 0u);
  EXPECT_EQ(msg.lParam, 516);
  EXPECT_EQ(drive("post MainWnd 1025 0 0x204").first, 1);
  EXPECT_EQ(drive("post MainWnd -1 0 0").first, 1);
  EXPECT_EQ(drive("post Nowhere 1025 0 516").first, 1);
  EXPECT_FALSE(PeekMessageW(&msg, m_mainHwnd, 0, 0, PM_REMOVE));
  CLqTestPort::Stop();
  EXPECT_EQ(drive("tree").first, 2);  // nobody listens
  for (const char* pHelp : {"--help", "-h"}) {
    auto [status, output] = drive(pHelp);
    EXPECT_EQ(status, 0) << pHelp;
    EXPECT_EQ(output.rfind("usage: harbor-drive", 0), 0u) << pHelp << ": " << output;
  }
  g_main_context_unref(pContext);
}

TEST(JsonLine, FlatObjectsOnly) {
  std::map<std::string, std::string> members;
  ASSERT_TRUE(lq::ParseJsonLine(
      R"({"cmd":"settext","text":"\u624b\u673a \"x\"\n","n":-3,"b":true})", &members));
  EXPECT_EQ(members["text"], "手机 \"x\"\n");
  EXPECT_EQ(members["n"], "-3");
  EXPECT_EQ(members["b"], "true");
  EXPECT_TRUE(lq::ParseJsonLine(R"({"e":"\ud83d\ude00"})", &members));
  EXPECT_EQ(members["e"], "\xF0\x9F\x98\x80");
  for (const char* pBad : {"", "[]", R"({"a":{"b":1}})", R"({"a":"\ud83d"})", R"({"a":nul})",
                           R"({"a":1,})", R"({"a":1} x)"}) {
    EXPECT_FALSE(lq::ParseJsonLine(pBad, &members)) << pBad;
  }
  lq::CJsonWriter json;
  json.BeginObject().Key("a").String("q\"\x01").Key("b").BeginArray().Item().Number(1);
  json.Item().Bool(false).EndArray().EndObject();
  EXPECT_EQ(json.Text(), R"({"a":"q\"\u0001","b":[1,false]})");
}

}  // namespace
