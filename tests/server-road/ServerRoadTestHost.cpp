#include "ServerRoadTestHost.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>

#include "Common/ObjectLifecycleMgr.h"
#include "Logic/ClientCommMgr.h"
#include "Logic/FileUploadMgr.h"
#include "Logic/LocalServer.h"
#include "Logic/LogicCenter.h"
#include "Logic/PhotoDb.h"
#include "Logic/PhotoDevice.h"
#include "NetEngine/ABConnectionThread.h"
#include "NetEngine/ADNSResolver.h"
#include "NetEngine/DllLog.h"
#include "NetEngine/IOHandler.h"
#include "NetEngine/IOOperation.h"
#include "NetEngine/IOThread.h"
#include "NetEngine/NetHelpers.h"
#include "win32/profile.h"
#include "win32/thread.h"
#include "win32/window.h"

namespace server_road_test {

namespace {

constexpr win32::DWORD kThreadStopMs = 10000;
constexpr win32::UINT kRunTask = win32::WM_APP + 21;

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

std::string NewTempFolder(const char* pName) {
  std::string pattern = (std::filesystem::temp_directory_path() / pName).string() + "-XXXXXX";
  return mkdtemp(pattern.data()) ? pattern : std::string();
}

// The library log of the whole run lives outside the per-test roots.
class LogEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    m_folder = NewTempFolder("server-road-log");
    SetDllLogModulePathForTesting(WindowsFromPosix(m_folder + "/server_road_tests"));
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(m_folder, ignored);
  }

 private:
  std::string m_folder;
};

[[maybe_unused]] ::testing::Environment* const g_pLogEnvironment =
    ::testing::AddGlobalTestEnvironment(new LogEnvironment);

bool WriteSeed(const Seed& seed) {
  std::u16string path;
  if (!CPhotoDb::SettingsFilePath(&path)) return false;
  std::error_code error;
  std::filesystem::create_directories(std::filesystem::path(PosixFromWindows(path)).parent_path(),
                                      error);
  const win32::WCHAR* pPath = path.c_str();
  auto write = [&](const std::u16string& section, const char16_t* pKey, const std::string& value) {
    return win32::WritePrivateProfileStringW(section.c_str(), pKey, Utf8ToWide(value).c_str(),
                                             pPath) != 0;
  };
  bool ok = write(u"Basic", u"DeviceId", std::to_string(seed.pcId)) &&
            write(u"Basic", u"DeviceIdKey", seed.idKey) &&
            write(u"Basic", u"DeviceCount", std::to_string(seed.devices.size()));
  for (size_t i = 0; ok && i < seed.devices.size(); ++i) {
    const std::u16string section = Utf8ToWide("PhotoDevice" + std::to_string(i));
    const Seed::Device& device = seed.devices[i];
    ok = write(section, u"Id", std::to_string(device.id)) && write(section, u"Key", device.key) &&
         win32::WritePrivateProfileStringW(section.c_str(), u"Name", device.name.c_str(), pPath);
  }
  return ok;
}

class IoBarrier : public CIOHandler {
 public:
  ~IoBarrier() override {
    CObjectLifecycleMgr::Instance()->Unregister(static_cast<CIOHandler*>(this));
  }
  void OnIoComplete(CIOOperation* /*pOp*/) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_done = true;
    m_changed.notify_all();
  }
  bool Pass() {
    CIOOperation* pOp = CIOOperation::Create(this, 0xBA, 0);
    if (!pOp || !CIOOperation::Post(pOp)) return false;
    CIOOperation::Release(pOp);
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::seconds(20), [&] { return m_done; });
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_done = false;
};

}  // namespace

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
  const win32::BYTE* pData = nullptr;
  int length = 0;
  pMessage->GetPayload(&pData, &length);
  record.payload.assign(reinterpret_cast<const char*>(pData), static_cast<size_t>(length));
  record.threadId = win32::GetCurrentThreadId();
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_records.push_back(record);
  }
  m_changed.notify_all();
  return win32::S_OK;
}

std::vector<UiRecord> RecordingSink::Records() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_records;
}

std::vector<int> RecordingSink::Values(int type, int64_t id) {
  std::vector<int> values;
  for (const UiRecord& record : Records()) {
    if (record.type == type && (id == -1 || record.id == id)) values.push_back(record.value);
  }
  return values;
}

bool RecordingSink::WaitFor(const std::function<bool(const std::vector<UiRecord>&)>& done,
                            std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_changed.wait_for(lock, timeout, [&] { return done(m_records); });
}

bool RecordingSink::WaitMessage(int type, int value, int64_t id,
                                std::chrono::milliseconds timeout) {
  return WaitFor(
      [&](const std::vector<UiRecord>& records) {
        for (const UiRecord& record : records) {
          if (record.type == type && record.value == value && (id == -1 || record.id == id)) {
            return true;
          }
        }
        return false;
      },
      timeout);
}

void RecordingSink::Clear() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_records.clear();
}

// --- UiThread ---

UiThread::UiThread() {
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
}

UiThread::~UiThread() {
  Run([] { win32::PostQuitMessage(0); });
  m_thread.join();
}

bool UiThread::Run(const std::function<void()>& task) {
  auto pDone = std::make_shared<std::promise<void>>();
  std::future<void> finished = pDone->get_future();
  auto* pWrapped = new std::function<void()>([task, pDone] {
    task();
    pDone->set_value();
  });
  if (!win32::PostThreadMessageW(m_threadId, kRunTask, 0,
                                 reinterpret_cast<win32::LPARAM>(pWrapped))) {
    delete pWrapped;
    return false;
  }
  // The wrapper is freed once it ran; waiting here keeps it alive that long.
  const bool ran = finished.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
  if (ran) delete pWrapped;
  return ran;
}

// --- ServerRoadHost ---

bool ServerRoadHost::Start(const Seed& seed, IOrbalynLogicSink* pSink) {
  if (m_started) return true;
  m_root = NewTempFolder("server-road");
  if (m_root.empty()) return false;
  setenv("LUMIDOCK_ROOT", m_root.c_str(), 1);
  if (!WriteSeed(seed)) return false;
  m_started = true;
  m_pSink = pSink;
  if (CIOThread::Instance()->Start() != 0) return false;
  if (!CADNSResolver::Instance()->Start()) return false;
  if (CABConnectionThread::Instance()->Start() != 0) return false;
  if (!CPhotoDb::Instance()->Open()) return false;
  CClientCommMgr::Instance()->Start();
  if (CFileUploadMgr::Instance()->Start() != 0) return false;
  bool sessionStarted = false;
  m_ui.Run([&] {
    sessionStarted =
        CLogicCenter::Instance()->Start() && CLogicCenter::Instance()->Advise(pSink) == win32::S_OK;
  });
  if (!sessionStarted) return false;
  CLocalServer::Instance()->Start();
  return Eventually([&] { return (m_localPort = CLocalServer::Instance()->GetPort()) != 0; });
}

void ServerRoadHost::Stop() {
  if (!m_started) return;
  m_started = false;
  CLocalServer::Instance()->Close();
  m_ui.Run([&] {
    CLogicCenter::Instance()->Stop();
    CLogicCenter::Instance()->Unadvise(m_pSink);
  });
  CFileUploadMgr::Instance()->Stop();
  CClientCommMgr::Instance()->Stop();
  CClientCommMgr::Instance()->ResetForTesting();
  DrainIoThread();
  CPhotoDb::Instance()->Save();
  CPhotoDb::Instance()->ClearDevices();
  CABConnectionThread::Instance()->Stop(kThreadStopMs);
  CADNSResolver::Instance()->Stop();
  DrainIoThread();
  CIOThread::Instance()->Stop(kThreadStopMs);
  CLogicCenter::Instance()->ResetForTesting();
  CLogicCenter::Instance()->ClearUiMessages();
  CPhotoDb::Instance()->ResetForTesting();
  m_localPort = 0;
  std::error_code ignored;
  std::filesystem::remove_all(m_root, ignored);
}

// --- Helpers ---

std::string Setting(const char16_t* pSection, const char16_t* pKey) {
  std::u16string path;
  if (!CPhotoDb::SettingsFilePath(&path)) return {};
  return WideToUtf8(CPhotoDb::ReadValue(path, pSection, pKey, u""));
}

std::string LogText() {
  std::ifstream in(PosixFromWindows(DllLogPathForTesting()), std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool DrainIoThread() {
  IoBarrier barrier;
  return barrier.Pass();
}

bool Eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

int RemoteStateOf(int64_t id) {
  CPhotoDevice* pDevice = CPhotoDb::Instance()->FindOrCreateDevice(id, false);
  if (!pDevice) return -1;
  const int state = pDevice->RemoteState();
  pDevice->Release();
  return state;
}

bool HasDevice(int64_t id) { return RemoteStateOf(id) != -1; }

}  // namespace server_road_test
