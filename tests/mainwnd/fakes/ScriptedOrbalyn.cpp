// A stand-in for Orbalyn.so whose logic and store answer from a script the test fills in
// (ScriptedOrbalyn.h) and record what the program asked of them. Stop tells the advised sink
// that the login state is 0, as the library does.

#include "ScriptedOrbalyn.h"

#include <atomic>

using namespace win32;
using scripted_orbalyn::Device;
using scripted_orbalyn::State;

#define SCRIPTED_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

State g_state;

template <class TInterface>
class CStatic : public TInterface {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
};

template <class TInterface>
class CCounted : public TInterface {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refCount; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG count = --m_refCount;
    if (count == 0) delete this;
    return count;
  }

 protected:
  virtual ~CCounted() = default;

 private:
  std::atomic<ULONG> m_refCount{1};
};

class CStateMessage final : public CCounted<IOrbalynMessage> {
 public:
  explicit CStateMessage(int state) : m_state(state) {}
  HRESULT STDMETHODCALLTYPE GetType(int* p) override { return *p = UIMsg_login_state, S_OK; }
  HRESULT STDMETHODCALLTYPE GetId(int64_t* p) override { return *p = 0, S_OK; }
  HRESULT STDMETHODCALLTYPE GetValue(int* p) override { return *p = m_state, S_OK; }
  HRESULT STDMETHODCALLTYPE GetParam1(int* p) override { return *p = 0, S_OK; }
  HRESULT STDMETHODCALLTYPE GetParam2(int* p) override { return *p = 0, S_OK; }
  HRESULT STDMETHODCALLTYPE GetParam3(int* p) override { return *p = 0, S_OK; }
  HRESULT STDMETHODCALLTYPE GetParam4(int* p) override { return *p = 0, S_OK; }
  HRESULT STDMETHODCALLTYPE GetPayload(const BYTE** pp, int* pLength) override {
    *pp = nullptr;
    *pLength = 0;
    return S_FALSE;
  }

 private:
  int m_state;
};

class CDevice final : public CCounted<IOrbalynDevice> {
 public:
  explicit CDevice(const Device& device) : m_device(device) {}
  HRESULT STDMETHODCALLTYPE GetId(int64_t* p) override { return *p = m_device.id, S_OK; }
  HRESULT STDMETHODCALLTYPE GetName(BSTR* p) override {
    *p = SysAllocString(m_device.name.c_str());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetGuid(BSTR* p) override { return *p = nullptr, E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetZelid(BSTR* p) override { return *p = nullptr, E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetBindState(int* p) override {
    return *p = m_device.bound ? BindState_bound : BindState_none, S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetRemoteState(int* p) override {
    if (m_device.remoteState >= 0) *p = m_device.remoteState;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetLocalState(int* p) override { return *p = Presence_away, S_OK; }
  HRESULT STDMETHODCALLTYPE IsOnline(int* p) override { return *p = 1, S_OK; }
  HRESULT STDMETHODCALLTYPE IsOffline(int* p) override { return *p = 0, S_OK; }

 private:
  Device m_device;
};

class CDevices final : public CCounted<IOrbalynDeviceContainer> {
 public:
  explicit CDevices(std::vector<Device> devices) : m_devices(std::move(devices)) {}
  HRESULT STDMETHODCALLTYPE GetCount(int* p) override {
    return *p = static_cast<int>(m_devices.size()), S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetAt(int index, IOrbalynDevice** pp) override {
    if (index < 0 || index >= static_cast<int>(m_devices.size())) return *pp = nullptr, E_FAIL;
    *pp = new CDevice(m_devices[index]);
    return S_OK;
  }

 private:
  std::vector<Device> m_devices;
};

class CLogic final : public CStatic<IOrbalynLogic> {
 public:
  HRESULT STDMETHODCALLTYPE Advise(IOrbalynLogicSink* pSink) override {
    g_state.pSink = pSink;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Unadvise(IOrbalynLogicSink*) override {
    g_state.pSink = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Login() override {
    ++g_state.loginCalls;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Logout() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetLoginState(int* pState) override {
    *pState = g_state.loginState;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetBindInfo(IOrbalynMessage** pp) override {
    return *pp = nullptr, E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE UnbindDevice(int64_t id) override {
    g_state.unbound.push_back(id);
    return S_OK;
  }
};

class CStore final : public CStatic<IOrbalynDB> {
 public:
  HRESULT STDMETHODCALLTYPE SetWorkDir(const WCHAR* pDir) override {
    g_state.workDir = pDir ? pDir : u"";
    g_state.workDirsSet.push_back(g_state.workDir);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetWorkDir(BSTR* p) override {
    *p = SysAllocString(g_state.workDir.c_str());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDeviceId(int64_t* p) override { return *p = 42, S_OK; }
  HRESULT STDMETHODCALLTYPE FindDevice(int64_t id, IOrbalynDevice** pp) override {
    *pp = nullptr;
    for (const Device& device : g_state.devices) {
      if (device.id == id) return *pp = new CDevice(device), S_OK;
    }
    return 1;
  }
  HRESULT STDMETHODCALLTYPE GetBoundDevices(IOrbalynDeviceContainer** pp) override {
    std::vector<Device> bound;
    for (const Device& device : g_state.devices) {
      if (device.bound) bound.push_back(device);
    }
    *pp = new CDevices(std::move(bound));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetAllDevices(IOrbalynDeviceContainer** pp) override {
    *pp = new CDevices(g_state.devices);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE AutoRenameDevice(int64_t id, BSTR* pName) override {
    auto it = g_state.renames.find(id);
    if (it == g_state.renames.end()) return E_FAIL;
    if (pName) *pName = SysAllocString(it->second.first.c_str());
    return it->second.second;
  }
  HRESULT STDMETHODCALLTYPE GetMatchDeviceId(int64_t id, int64_t* pMatch) override {
    auto it = g_state.matches.find(id);
    *pMatch = it == g_state.matches.end() ? 0 : it->second;
    return S_OK;
  }
};

class CUploader final : public CStatic<IOrbalynUploader> {
 public:
  HRESULT STDMETHODCALLTYPE Advise(IOrbalynUploadAssist*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Unadvise() override { return S_OK; }
};

class CRoot final : public CStatic<IOrbalyn> {
 public:
  HRESULT STDMETHODCALLTYPE Start() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Stop() override {
    ++g_state.stops;
    if (g_state.pSink) {
      auto* pMessage = new CStateMessage(LoginState_stopped);
      g_state.pSink->OnLogicMessage(pMessage);
      pMessage->Release();
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetLogic(IOrbalynLogic** pp) override { return *pp = &m_logic, S_OK; }
  HRESULT STDMETHODCALLTYPE GetDB(IOrbalynDB** pp) override { return *pp = &m_store, S_OK; }
  HRESULT STDMETHODCALLTYPE GetUploader(IOrbalynUploader** pp) override {
    return *pp = &m_uploader, S_OK;
  }

 private:
  CLogic m_logic;
  CStore m_store;
  CUploader m_uploader;
};

CRoot g_root;

}  // namespace

SCRIPTED_EXPORT IOrbalyn* GetIOrbalyn() { return &g_root; }

SCRIPTED_EXPORT State* ScriptedOrbalynState() { return &g_state; }
