#include "EngineTestSupport.h"

#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <utility>

#include "Common/ObjectLifecycleMgr.h"
#include "Logic/PhotoDb.h"
#include "NetEngine/DllLog.h"
#include "NetEngine/IOHandler.h"
#include "NetEngine/IOOperation.h"
#include "NetEngine/NetHelpers.h"
#include "TestFiles.h"
#include "win32/profile.h"

namespace test_common {

namespace {

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
  bool Pass(std::chrono::milliseconds timeout) {
    CIOOperation* pOp = CIOOperation::Create(this, 0xBA, 0);
    if (!pOp || !CIOOperation::Post(pOp)) return false;
    CIOOperation::Release(pOp);
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_done; });
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_done = false;
};

}  // namespace

bool WriteSettingsSeed(const SettingsSeed& seed) {
  std::u16string path;
  if (!CPhotoDb::SettingsFilePath(&path)) return false;
  const std::filesystem::path posixPath = test_files::PosixFromWindows(path);
  std::error_code error;
  std::filesystem::create_directories(posixPath.parent_path(), error);
  std::filesystem::remove(posixPath, error);
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
    const SettingsSeed::Device& device = seed.devices[i];
    ok = write(section, u"Id", std::to_string(device.id)) && write(section, u"Key", device.key) &&
         win32::WritePrivateProfileStringW(section.c_str(), u"Name", device.name.c_str(), pPath);
  }
  return ok;
}

std::string SettingsFilePosixPath() {
  std::u16string path;
  if (!CPhotoDb::SettingsFilePath(&path)) return {};
  return test_files::PosixFromWindows(path);
}

std::string LogText() {
  return test_files::ReadWholeFile(test_files::PosixFromWindows(DllLogPathForTesting()));
}

bool DrainIoThread(std::chrono::milliseconds timeout) {
  IoBarrier barrier;
  return barrier.Pass(timeout);
}

// --- LogFolderEnvironment ---

LogFolderEnvironment::LogFolderEnvironment(std::string prefix, std::string moduleName,
                                           bool isSandboxRoot)
    : m_prefix(std::move(prefix)),
      m_moduleName(std::move(moduleName)),
      m_isSandboxRoot(isSandboxRoot) {}

void LogFolderEnvironment::SetUp() {
  m_folder = test_files::MakeTempFolder(m_prefix);
  if (m_isSandboxRoot) setenv("LUMIDOCK_ROOT", m_folder.c_str(), 1);
  SetDllLogModulePathForTesting(test_files::WindowsFromPosix(m_folder + "/" + m_moduleName));
}

void LogFolderEnvironment::TearDown() {
  std::error_code ignored;
  std::filesystem::remove_all(m_folder, ignored);
}

}  // namespace test_common
