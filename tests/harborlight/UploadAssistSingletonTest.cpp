// The program's upload assistant behind its singleton.

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "UploadAssist.h"
#include "uimsg.pb.h"
#include "win32/oleauto.h"

namespace {

// An upload-begin message holding a payload.
class CPayloadMessage final : public IOrbalynMessage {
 public:
  explicit CPayloadMessage(std::string payload) : m_payload(std::move(payload)) {}
  win32::HRESULT STDMETHODCALLTYPE QueryInterface(win32::REFIID, void**) override {
    return win32::E_NOINTERFACE;
  }
  win32::ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  win32::ULONG STDMETHODCALLTYPE Release() override { return 1; }
  win32::HRESULT STDMETHODCALLTYPE GetType(int* p) override { return Zero(p); }
  win32::HRESULT STDMETHODCALLTYPE GetId(int64_t* p) override { return Zero(p); }
  win32::HRESULT STDMETHODCALLTYPE GetValue(int* p) override { return Zero(p); }
  win32::HRESULT STDMETHODCALLTYPE GetParam1(int* p) override { return Zero(p); }
  win32::HRESULT STDMETHODCALLTYPE GetParam2(int* p) override { return Zero(p); }
  win32::HRESULT STDMETHODCALLTYPE GetParam3(int* p) override { return Zero(p); }
  win32::HRESULT STDMETHODCALLTYPE GetParam4(int* p) override { return Zero(p); }
  win32::HRESULT STDMETHODCALLTYPE GetPayload(const win32::BYTE** ppData, int* pLength) override {
    if (ppData) *ppData = reinterpret_cast<const win32::BYTE*>(m_payload.c_str());
    if (pLength) *pLength = static_cast<int>(m_payload.size());
    return win32::S_OK;
  }

 private:
  template <class T>
  static win32::HRESULT Zero(T* p) {
    *p = 0;
    return win32::S_OK;
  }
  std::string m_payload;
};

// One object for every caller, even the first ones racing; static, so counting does nothing;
// unbound, it has no store and no work dir, and says so.
TEST(CUploadAssistSingleton, OneStaticObjectWithoutAStoreUntilBound) {
  std::vector<CUploadAssist*> seen(8);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&seen, i] { seen[i] = Singleton<CUploadAssist>::Instance(); });
  }
  for (std::thread& thread : threads) thread.join();
  CUploadAssist* pAssist = Singleton<CUploadAssist>::Instance();
  for (CUploadAssist* pSeen : seen) EXPECT_EQ(pSeen, pAssist);

  EXPECT_EQ(pAssist->AddRef(), 1u);
  EXPECT_EQ(pAssist->Release(), 1u);
  void* pObject = nullptr;
  EXPECT_EQ(pAssist->QueryInterface(IID_IOrbalynUploadAssist, &pObject), win32::S_OK);
  EXPECT_EQ(pObject, static_cast<IOrbalynUploadAssist*>(pAssist));

  protocol::UIUploadFileInfo info;
  info.set_device_id(1);
  info.set_file_id(5);
  info.set_file_device_path("a.jpg");
  info.set_file_device_subpath("");
  info.set_file_timestamp(1);
  info.set_file_size(1);
  info.set_file_scrc64(0);
  CPayloadMessage message(info.SerializeAsString());
  pAssist->SetWorkDir(u"D:\\Lumidock");
  win32::BSTR path = nullptr;
  EXPECT_EQ(pAssist->QuerySavePath(&message, &path), win32::E_FAIL);
  ASSERT_NE(path, nullptr);
  EXPECT_EQ(win32::SysStringLen(path), 0u);
  win32::SysFreeString(path);
  EXPECT_EQ(pAssist->OnUploadEnd(5, nullptr, 0), win32::E_FAIL);
}

}  // namespace
