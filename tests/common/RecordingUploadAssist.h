#pragma once
// The program's upload assistant as the tests and test hosts register it: a CUploadAssistCore
// with its own folder and store, decorated so that every OnUploadEnd is kept (and waited for)
// and references are counted. The last Release frees it.
//
// Threading: the assistant's calls arrive on the upload thread; the accessors take the lock and
// may be called from any thread.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "UploadAssistCore.h"

namespace test_common {

class RecordingUploadAssist final : public IOrbalynUploadAssist {
 public:
  struct UploadEnd {
    int fileId;
    std::u16string savePath;
    win32::HRESULT error;
  };

  RecordingUploadAssist(const std::u16string& workDir, CUploadAssistCore::StoreGetter getStore)
      : m_core(workDir, std::move(getStore)) {}
  RecordingUploadAssist(const RecordingUploadAssist&) = delete;
  RecordingUploadAssist& operator=(const RecordingUploadAssist&) = delete;

  // IUnknown:
  win32::HRESULT STDMETHODCALLTYPE QueryInterface(win32::REFIID riid, void** ppObject) override {
    if (!ppObject) return win32::E_INVALIDARG;
    if (riid != win32::IID_IUnknown && riid != IID_IOrbalynUploadAssist) {
      *ppObject = nullptr;
      return win32::E_NOINTERFACE;
    }
    AddRef();
    *ppObject = static_cast<IOrbalynUploadAssist*>(this);
    return win32::S_OK;
  }
  win32::ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
  win32::ULONG STDMETHODCALLTYPE Release() override {
    const win32::ULONG count = --m_refs;
    if (count == 0) delete this;
    return count;
  }

  // IOrbalynUploadAssist:
  win32::HRESULT STDMETHODCALLTYPE QuerySavePath(IOrbalynMessage* pMessage,
                                                 win32::BSTR* pSavePath) override {
    return m_core.QuerySavePath(pMessage, pSavePath);
  }
  win32::HRESULT STDMETHODCALLTYPE OnUploadEnd(int fileId, win32::BSTR savePath,
                                               win32::HRESULT error) override {
    // Kept after the assistant has forgotten the job, so a test that saw the end sees that too.
    const win32::HRESULT result = m_core.OnUploadEnd(fileId, savePath, error);
    {
      std::lock_guard<std::mutex> lock(m_lock);
      m_ends.push_back({fileId, savePath ? std::u16string(savePath) : std::u16string(), error});
    }
    m_endsChanged.notify_all();
    return result;
  }

  CUploadAssistCore& Core() { return m_core; }
  // Every OnUploadEnd so far, oldest first.
  std::vector<UploadEnd> Ends() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_ends;
  }
  // Waits (bounded) until at least `count` OnUploadEnd calls were made.
  bool WaitForEnds(size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_endsChanged.wait_for(lock, timeout, [&] { return m_ends.size() >= count; });
  }
  size_t JobCount() { return m_core.JobCountForTesting(); }
  win32::ULONG References() const { return m_refs.load(); }

 private:
  ~RecordingUploadAssist() = default;

  CUploadAssistCore m_core;
  std::atomic<win32::ULONG> m_refs{1};
  std::mutex m_lock;
  std::condition_variable m_endsChanged;
  std::vector<UploadEnd> m_ends;
};

}  // namespace test_common
