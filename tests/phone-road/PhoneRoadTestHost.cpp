#include "PhoneRoadTestHost.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>

#include "Logic/ClientCommMgr.h"
#include "Logic/LocalServer.h"
#include "Logic/LogicCenter.h"
#include "Logic/PhotoDb.h"
#include "NetEngine/ABConnectionThread.h"
#include "NetEngine/DllLog.h"
#include "NetEngine/IOThread.h"
#include "NetEngine/NetHelpers.h"
#include "win32/profile.h"
#include "win32/thread.h"
#include "win32/window.h"

namespace phone_road_test {

namespace {

constexpr win32::DWORD kThreadStopMs = 10000;

std::string PosixFromWindows(const std::u16string& windowsPath) {
  std::string path = WideToUtf8(windowsPath);
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return path;
}

std::u16string WindowsFromPosix(const std::string& posixPath) {
  std::string path = posixPath;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return Utf8ToWide(path);
}

// One sandbox root per test process; the library log goes there too.
class SandboxEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "phone-road-XXXXXX").string();
    if (mkdtemp(pattern.data())) m_root = pattern;
    setenv("LUMIDOCK_ROOT", m_root.c_str(), 1);
    SetDllLogModulePathForTesting(WindowsFromPosix(m_root + "/phone_road_tests"));
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(m_root, ignored);
  }

 private:
  std::string m_root;
};

[[maybe_unused]] ::testing::Environment* const g_pSandbox =
    ::testing::AddGlobalTestEnvironment(new SandboxEnvironment);

bool WriteSeed(const PhoneRoadSeed& seed) {
  std::u16string path;
  if (!CPhotoDb::SettingsFilePath(&path)) return false;
  const std::filesystem::path posixPath = PosixFromWindows(path);
  std::error_code error;
  std::filesystem::create_directories(posixPath.parent_path(), error);
  std::filesystem::remove(posixPath, error);
  const win32::WCHAR* pPath = path.c_str();
  bool ok =
      win32::WritePrivateProfileStringW(u"Basic", u"DeviceId",
                                        Utf8ToWide(std::to_string(seed.pcId)).c_str(), pPath) &&
      win32::WritePrivateProfileStringW(u"Basic", u"DeviceIdKey", Utf8ToWide(seed.idKey).c_str(),
                                        pPath) &&
      win32::WritePrivateProfileStringW(
          u"Basic", u"DeviceCount", Utf8ToWide(std::to_string(seed.devices.size())).c_str(), pPath);
  for (size_t i = 0; ok && i < seed.devices.size(); ++i) {
    const std::u16string section = Utf8ToWide("PhotoDevice" + std::to_string(i));
    const PhoneRoadSeed::Device& device = seed.devices[i];
    ok = win32::WritePrivateProfileStringW(section.c_str(), u"Id",
                                           Utf8ToWide(std::to_string(device.id)).c_str(), pPath) &&
         win32::WritePrivateProfileStringW(section.c_str(), u"Key", Utf8ToWide(device.key).c_str(),
                                           pPath) &&
         win32::WritePrivateProfileStringW(section.c_str(), u"Name", device.name.c_str(), pPath);
  }
  return ok;
}

}  // namespace

// --- PhoneRoadTestHost ---

bool PhoneRoadTestHost::Start(const PhoneRoadSeed& seed) {
  if (m_started) return true;
  if (!WriteSeed(seed)) return false;
  m_started = true;
  if (CIOThread::Instance()->Start() != 0) return false;
  if (CABConnectionThread::Instance()->Start() != 0) return false;
  if (!CPhotoDb::Instance()->Open()) return false;
  CClientCommMgr::Instance()->Start();
  CLocalServer::Instance()->Start();
  m_bindKey = CPhotoDb::Instance()->BindKey(true);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while ((m_port = CLocalServer::Instance()->GetPort()) == 0) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

void PhoneRoadTestHost::Stop() {
  if (!m_started) return;
  m_started = false;
  CLocalServer::Instance()->Close();
  CClientCommMgr::Instance()->Stop();
  CPhotoDb::Instance()->Save();
  CPhotoDb::Instance()->ClearDevices();
  CABConnectionThread::Instance()->Stop(kThreadStopMs);
  CIOThread::Instance()->Stop(kThreadStopMs);
  m_port = 0;
}

std::string PhoneRoadTestHost::SettingsPath() {
  std::u16string path;
  if (!CPhotoDb::SettingsFilePath(&path)) return {};
  return PosixFromWindows(path);
}

// --- RecordingSink ---

win32::HRESULT RecordingSink::QueryInterface(win32::REFIID riid, void** ppObject) {
  if (riid != win32::IID_IUnknown && riid != IID_IOrbalynLogicSink) return win32::E_NOINTERFACE;
  AddRef();
  *ppObject = static_cast<IOrbalynLogicSink*>(this);
  return win32::S_OK;
}

win32::HRESULT RecordingSink::OnLogicMessage(IOrbalynMessage* pMessage) {
  UiRecord record;
  pMessage->GetType(&record.type);
  pMessage->GetValue(&record.value);
  pMessage->GetId(&record.id);
  record.threadId = win32::GetCurrentThreadId();
  m_waiter.Signal([&] { m_records.push_back(record); });
  return win32::S_OK;
}

std::vector<UiRecord> RecordingSink::OfType(int type) {
  std::lock_guard<std::mutex> lock(m_waiter.Mutex());
  std::vector<UiRecord> records;
  for (const UiRecord& record : m_records) {
    if (record.type == type) records.push_back(record);
  }
  return records;
}

bool RecordingSink::WaitFor(const std::function<bool(const std::vector<UiRecord>&)>& done) {
  return m_waiter.WaitFor([&] { return done(m_records); });
}

// --- HeadlessUiThread ---

namespace {
constexpr win32::UINT kRunTask = win32::WM_APP + 11;
}  // namespace

HeadlessUiThread::HeadlessUiThread(IOrbalynLogicSink* pSink) {
  std::promise<win32::DWORD> started;
  std::future<win32::DWORD> threadId = started.get_future();
  m_thread = std::thread([&started] {
    win32::MSG msg;
    win32::PeekMessageW(&msg, nullptr, 0, 0, win32::PM_NOREMOVE);  // makes the queue
    started.set_value(win32::GetCurrentThreadId());
    while (win32::GetMessageW(&msg, nullptr, 0, 0) > 0) {
      if (!msg.hwnd && msg.message == kRunTask) {
        (*reinterpret_cast<std::function<void()>*>(msg.lParam))();
        continue;
      }
      win32::TranslateMessage(&msg);
      win32::DispatchMessageW(&msg);
    }
  });
  m_threadId = threadId.get();
  Run([this, pSink] {
    CLogicCenter::Instance()->SetLogicSink(pSink);
    m_windowReady = CLogicCenter::Instance()->Start();
  });
}

HeadlessUiThread::~HeadlessUiThread() {
  Run([] {
    CLogicCenter::Instance()->Stop();
    CLogicCenter::Instance()->SetLogicSink(nullptr);
    win32::PostQuitMessage(0);
  });
  m_thread.join();
}

bool HeadlessUiThread::Run(const std::function<void()>& task) {
  std::promise<void> done;
  std::future<void> finished = done.get_future();
  std::function<void()> wrapped = [&] {
    task();
    done.set_value();
  };
  if (!win32::PostThreadMessageW(m_threadId, kRunTask, 0,
                                 reinterpret_cast<win32::LPARAM>(&wrapped))) {
    return false;
  }
  return finished.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
}

std::string LogText() {
  std::ifstream in(PosixFromWindows(DllLogPathForTesting()), std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace phone_road_test
