#include "CBasaltState.h"

#include <utility>

using namespace win32;

CBasaltState& CBasaltState::Get() {
  static CBasaltState* pState = new CBasaltState;
  return *pState;
}

void CBasaltState::Record(const char* pCall) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_calls.emplace_back(pCall);
}

std::vector<std::string> CBasaltState::Calls() {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_calls;
}

IKwCore* CBasaltState::RunningCore() {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_pRunningCore) m_pRunningCore->AddRef();
  return m_pRunningCore;
}

void CBasaltState::SetRunningCore(IKwCore* pCore) {
  IKwCore* pOld;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    pOld = std::exchange(m_pRunningCore, pCore);
  }
  if (pOld) pOld->Release();
}

void CBasaltState::ForgetRunningCore(IKwCore* pCore) {
  IKwCore* pOld = nullptr;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!pCore || m_pRunningCore == pCore) pOld = std::exchange(m_pRunningCore, nullptr);
  }
  // Outside the lock: the last release may re-enter the state.
  if (pOld) pOld->Release();
}

void CBasaltState::SetConfiguredFolders(const std::u16string& layout,
                                        const std::u16string& resource) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_configuredLayout = layout;
  m_configuredResource = resource;
}

void CBasaltState::SettleFolders() {
  std::u16string exeDir = Util::Sys::GetExeDir().Text();
  std::lock_guard<std::mutex> guard(m_lock);
  m_layoutFolder = m_configuredLayout.empty() ? exeDir + u"layout\\" : m_configuredLayout;
  m_resourceFolder = m_configuredResource.empty() ? exeDir + u"res\\" : m_configuredResource;
}

std::u16string CBasaltState::LayoutFolder() {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_layoutFolder;
}

std::u16string CBasaltState::ResourceFolder() {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_resourceFolder;
}

void CBasaltState::RegisterClass(const CLSID& clsid, Util::Core::ObjectClassFactory factory) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_classes[clsid] = factory;
}

Util::Core::ObjectClassFactory CBasaltState::FindClass(const CLSID& clsid) {
  std::lock_guard<std::mutex> guard(m_lock);
  auto it = m_classes.find(clsid);
  return it == m_classes.end() ? nullptr : it->second;
}

void CBasaltState::SetCustomObjectFactory(Util::Lq::CustomObjectFactory factory) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_customObjectFactory = factory;
}

Util::Lq::CustomObjectFactory CBasaltState::CustomObjectFactory() {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_customObjectFactory;
}

void CBasaltState::NoteAssert(const std::string& text) {
  std::lock_guard<std::mutex> guard(m_lock);
  ++m_assertCount;
  m_lastAssert = text;
}

int CBasaltState::AssertCount() {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_assertCount;
}

std::string CBasaltState::LastAssert() {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_lastAssert;
}

void CBasaltState::NoteSlowTransaction() {
  std::lock_guard<std::mutex> guard(m_lock);
  ++m_slowTransactions;
}

int CBasaltState::SlowTransactionCount() {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_slowTransactions;
}

BasaltTesting::BugReport CBasaltState::BugReport() {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_bugReport;
}

void CBasaltState::Reset() {
  ForgetRunningCore(nullptr);
  std::lock_guard<std::mutex> guard(m_lock);
  m_calls.clear();
  m_configuredLayout.clear();
  m_configuredResource.clear();
  m_layoutFolder.clear();
  m_resourceFolder.clear();
  m_customObjectFactory = nullptr;
  m_assertCount = 0;
  m_lastAssert.clear();
  m_slowTransactions = 0;
  m_bugReport = {};
}

// --- The test records ---

namespace BasaltTesting {

std::vector<std::string> Calls() { return CBasaltState::Get().Calls(); }
int AssertCount() { return CBasaltState::Get().AssertCount(); }
std::string LastAssert() { return CBasaltState::Get().LastAssert(); }
int SlowTransactionCount() { return CBasaltState::Get().SlowTransactionCount(); }
BugReport LastBugReport() { return CBasaltState::Get().BugReport(); }
void Reset() { CBasaltState::Get().Reset(); }

}  // namespace BasaltTesting
