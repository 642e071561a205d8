// The logic interface of the server session: what the host calls on its own thread.

#include "Logic/LogicCenter.h"

#include <algorithm>
#include <cinttypes>
#include <new>
#include <string>

#include "uimsg.pb.h"

#include "Logic/BindReport.h"
#include "Logic/FileUploadMgr.h"
#include "Logic/LocalServer.h"
#include "Logic/PhotoDb.h"
#include "Logic/PhotoDevice.h"
#include "Logic/PhotoMessage.h"
#include "NetEngine/DllLog.h"
#include "Common/Lock.h"
#include "NetEngine/NetHelpers.h"

using namespace win32;

namespace {

// The value of a UIMsg_bind_info message.
constexpr int kBindInfoValue = 2;

}  // namespace

HRESULT CLogicCenter::QueryInterface(REFIID riid, void** ppObject) {
  if (!ppObject) return E_INVALIDARG;
  if (riid != IID_IUnknown && riid != IID_IOrbalynLogic) {
    *ppObject = nullptr;
    return E_NOINTERFACE;
  }
  *ppObject = static_cast<IOrbalynLogic*>(this);
  return S_OK;
}

ULONG CLogicCenter::AddRef() { return 1; }

ULONG CLogicCenter::Release() { return 1; }

HRESULT CLogicCenter::Advise(IOrbalynLogicSink* pSink) {
  if (!pSink || m_pSink) return E_FAIL;
  m_pSink = pSink;
  m_pSink->AddRef();
  return S_OK;
}

HRESULT CLogicCenter::Unadvise(IOrbalynLogicSink* pSink) {
  if (pSink != m_pSink) return E_FAIL;
  if (m_pSink) {
    m_pSink->Release();
    m_pSink = nullptr;
  }
  return S_OK;
}

HRESULT CLogicCenter::Login() {
  const int state = m_loginState.load();
  if (state == kStateStopped || state == kStateOffline) {
    DLL_LOG("Start Login!!");
    // The state first: a login finished quickly on the I/O thread must not be overwritten.
    SetState(kStateLoggingIn);
    PostOperation(kOpLogin, nullptr, 0);
  } else {
    DLL_LOG("PC is Online, no need Login again!!");
    SetState(state);
  }
  return S_OK;
}

HRESULT CLogicCenter::Logout() {
  PostOperation(kOpLogout, nullptr, 0);
  return S_OK;
}

HRESULT CLogicCenter::GetLoginState(int* pState) {
  if (!pState) return E_INVALIDARG;
  *pState = m_loginState.load();
  return S_OK;
}

HRESULT CLogicCenter::GetBindInfo(IOrbalynMessage** ppMessage) {
  if (!ppMessage) return E_INVALIDARG;
  CPhotoDb* pDb = CPhotoDb::Instance();
  const int64_t deviceId = pDb->DeviceId();
  if (deviceId == 0) return S_FALSE;
  protocol::UIBindInfo info;
  info.set_id_pc(deviceId);
  info.set_bind_key(pDb->BindKey(true));
  if (const uint16_t port = CLocalServer::Instance()->GetPort()) {
    info.set_local_ip(IpToString(LocalIp()));
    info.set_local_port(port);
  }
  std::string payload;
  info.SerializePartialToString(&payload);
  CPhotoMessage* pMessage = new (std::nothrow)
      CPhotoMessage(UIMsg_bind_info, kBindInfoValue, deviceId, payload.data(), payload.size());
  if (!pMessage) return E_OUTOFMEMORY;
  *ppMessage = pMessage;  // the creator's reference passes to the caller
  const int state = m_loginState.load();
  if (state == kStateStopped || state == kStateOffline) Login();
  return S_OK;
}

HRESULT CLogicCenter::UnbindDevice(int64_t deviceId) {
  CPhotoDb* pDb = CPhotoDb::Instance();
  if (CPhotoDevice* pDevice = pDb->FindOrCreateDevice(deviceId, false)) {
    PendingUnbind record{};
    record.phoneId = deviceId;
    const std::string key = pDevice->Key();
    std::copy_n(key.begin(), std::min(key.size(), record.key.size()), record.key.begin());
    {
      ScopedLock lock(&m_channelLock);
      m_pendingUnbinds.push_back(record);
    }
    OpenSideChannel(kTagUnbind);
    CBindReport::Send(CBindReport::kKindUnbind, deviceId, pDevice->Name(), 0);
    pDevice->Release();
  }
  pDb->RemoveDevice(deviceId);
  CFileUploadMgr::Instance()->NotifyDeviceUnbound(deviceId);
  pDb->Save();
  return S_OK;
}
