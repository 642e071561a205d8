#pragma once
// The stand-in's process-wide state: the thread ids, the running core, the configured folders,
// the registered object classes, the UI framework's factory, and the records tests read.
// Lifetime: leaky, so the platform answers from exit handlers too.
// Threading: any thread; m_lock guards everything but the thread ids.

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "Basalt/BasaltTesting.h"
#include "Basalt/KwInterfaces.h"
#include "Basalt/Util.h"

class CBasaltState {
 public:
  static CBasaltState& Get();

  CBasaltState(const CBasaltState&) = delete;
  CBasaltState& operator=(const CBasaltState&) = delete;

  void Record(const char* pCall);
  std::vector<std::string> Calls();

  // The running core with a reference for the caller, or null.
  IKwCore* RunningCore();
  // Makes `pCore` the running core; the state keeps the caller's reference.
  void SetRunningCore(IKwCore* pCore);
  // Drops the state's reference when `pCore` (or any core, for null) is the running one.
  void ForgetRunningCore(IKwCore* pCore);

  void SetConfiguredFolders(const std::u16string& layout, const std::u16string& resource);
  // The folders the running core reports; empty until the file system is initialised.
  void SettleFolders();
  std::u16string LayoutFolder();
  std::u16string ResourceFolder();

  void RegisterClass(const win32::CLSID& clsid, Util::Core::ObjectClassFactory factory);
  Util::Core::ObjectClassFactory FindClass(const win32::CLSID& clsid);

  void SetCustomObjectFactory(Util::Lq::CustomObjectFactory factory);
  Util::Lq::CustomObjectFactory CustomObjectFactory();

  void NoteAssert(const std::string& text);
  int AssertCount();
  std::string LastAssert();
  void NoteSlowTransaction();
  int SlowTransactionCount();
  BasaltTesting::BugReport BugReport();
  template <class Fn>
  void UpdateBugReport(Fn&& fn) {
    std::lock_guard<std::mutex> guard(m_lock);
    fn(m_bugReport);
  }

  void Reset();

  std::atomic<win32::DWORD> m_mainThreadId{0};
  std::atomic<win32::DWORD> m_logicThreadId{0};

 private:
  struct GuidLess {
    bool operator()(const win32::GUID& a, const win32::GUID& b) const {
      return __builtin_memcmp(&a, &b, sizeof(win32::GUID)) < 0;
    }
  };

  CBasaltState() = default;

  std::mutex m_lock;
  std::vector<std::string> m_calls;
  IKwCore* m_pRunningCore = nullptr;  // one reference
  std::u16string m_configuredLayout;
  std::u16string m_configuredResource;
  std::u16string m_layoutFolder;
  std::u16string m_resourceFolder;
  std::map<win32::CLSID, Util::Core::ObjectClassFactory, GuidLess> m_classes;
  Util::Lq::CustomObjectFactory m_customObjectFactory = nullptr;
  int m_assertCount = 0;
  std::string m_lastAssert;
  int m_slowTransactions = 0;
  BasaltTesting::BugReport m_bugReport;
};
