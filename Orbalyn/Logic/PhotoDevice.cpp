#include "Logic/PhotoDevice.h"

#include <cinttypes>

#include "Logic/BindReport.h"
#include "Logic/DeviceOfflineHook.h"
#include "Logic/LogicCenter.h"
#include "Logic/PhotoDb.h"
#include "NetEngine/DllLog.h"
#include "Common/Lock.h"
#include "NetEngine/NetHelpers.h"

using namespace win32;

namespace {

std::u16string WithoutLineBreaks(std::u16string text) {
  for (char16_t& c : text) {
    if (c == u'\r' || c == u'\n' || c == u'\0') c = u' ';
  }
  return text;
}

// Moves a presence state to "here" from anything below it, or to "away" only from "here" (an
// unknown state stays unknown). Returns whether this call made the change.
bool ChangePresence(std::atomic<int>* pState, bool here) {
  if (here) return pState->exchange(CPhotoDevice::kPresenceHere) < CPhotoDevice::kPresenceHere;
  int old = pState->load();
  while (old > CPhotoDevice::kPresenceAway) {
    if (pState->compare_exchange_weak(old, CPhotoDevice::kPresenceAway)) return true;
  }
  return false;
}

// A new BSTR copy for the caller.
HRESULT CopyToBstr(const std::u16string& text, BSTR* pOut) {
  if (!pOut) return E_INVALIDARG;
  *pOut = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return S_OK;
}

}  // namespace

CPhotoDevice::CPhotoDevice(int64_t id) : m_id(id) { InitCriticalSection(&m_lock); }

CPhotoDevice::~CPhotoDevice() { DeleteCriticalSection(&m_lock); }

HRESULT CPhotoDevice::QueryInterface(REFIID riid, void** ppObject) {
  if (!ppObject) return E_INVALIDARG;
  if (riid != IID_IUnknown && riid != IID_IOrbalynDevice) return E_NOINTERFACE;
  AddRef();
  *ppObject = static_cast<IOrbalynDevice*>(this);
  return S_OK;
}

ULONG CPhotoDevice::AddRef() { return ++m_refCount; }

ULONG CPhotoDevice::Release() {
  ULONG count = --m_refCount;
  if (count == 0) delete this;
  return count;
}

HRESULT CPhotoDevice::GetId(int64_t* pId) {
  if (!pId) return E_INVALIDARG;
  *pId = m_id;
  return S_OK;
}

HRESULT CPhotoDevice::GetName(BSTR* pName) {
  ScopedLock lock(&m_lock);
  return CopyToBstr(m_name, pName);
}

HRESULT CPhotoDevice::GetGuid(BSTR* pGuid) {
  ScopedLock lock(&m_lock);
  return CopyToBstr(m_guid, pGuid);
}

HRESULT CPhotoDevice::GetZelid(BSTR* pZelid) {
  ScopedLock lock(&m_lock);
  return CopyToBstr(m_zelid, pZelid);
}

HRESULT CPhotoDevice::GetBindState(int* pState) {
  if (!pState) return E_INVALIDARG;
  *pState = BindState();
  return S_OK;
}

HRESULT CPhotoDevice::GetRemoteState(int* pState) {
  if (!pState) return E_INVALIDARG;
  *pState = RemoteState();
  return S_OK;
}

HRESULT CPhotoDevice::GetLocalState(int* pState) {
  if (!pState) return E_INVALIDARG;
  *pState = LocalState();
  return S_OK;
}

HRESULT CPhotoDevice::IsOnline(int* pOnline) {
  if (!pOnline) return E_INVALIDARG;
  *pOnline = IsOnlineNow() ? 1 : 0;
  return S_OK;
}

HRESULT CPhotoDevice::IsOffline(int* pOffline) {
  if (!pOffline) return E_INVALIDARG;
  *pOffline = IsOnlineNow() ? 0 : 1;
  return S_OK;
}

void CPhotoDevice::SetName(const std::u16string& name) {
  std::u16string clean = WithoutLineBreaks(name);
  ScopedLock lock(&m_lock);
  m_name.swap(clean);
}

void CPhotoDevice::SetGuid(const std::u16string& guid) {
  std::u16string clean = WithoutLineBreaks(guid);
  ScopedLock lock(&m_lock);
  m_guid.swap(clean);
}

void CPhotoDevice::SetZelid(const std::u16string& zelid) {
  std::u16string clean = WithoutLineBreaks(zelid);
  ScopedLock lock(&m_lock);
  m_zelid.swap(clean);
}

void CPhotoDevice::SetKey(const std::string& key) {
  ScopedLock lock(&m_lock);
  m_key = key;
}

std::u16string CPhotoDevice::Name() {
  ScopedLock lock(&m_lock);
  return m_name;
}

std::u16string CPhotoDevice::Guid() {
  ScopedLock lock(&m_lock);
  return m_guid;
}

std::u16string CPhotoDevice::Zelid() {
  ScopedLock lock(&m_lock);
  return m_zelid;
}

std::string CPhotoDevice::Key() {
  ScopedLock lock(&m_lock);
  return m_key;
}

bool CPhotoDevice::IsBound() const {
  int state = BindState();
  return state == kBindBound || state == kBindLoaded;
}

bool CPhotoDevice::IsOnlineNow() const {
  return RemoteState() > kPresenceAway || LocalState() > kPresenceAway;
}

void CPhotoDevice::SetRemoteState(bool reachable) {
  if (!ChangePresence(&m_remoteState, reachable)) return;
  OnPresenceChanged(UIMsg_device_remote_state, reachable,
                    reachable ? "Remote Online" : "Remote Offline");
}

void CPhotoDevice::SetLocalState(bool connected) {
  if (!ChangePresence(&m_localState, connected)) return;
  OnPresenceChanged(UIMsg_device_local_state, connected,
                    connected ? "Local Online" : "Local Offline");
}

void CPhotoDevice::BindFinish(bool success) {
  int reported;
  if (success) {
    if (!IsBound()) {
      SetBindState(kBindBound);
      CPhotoDb::Instance()->Save();
    }
    reported = kBindBound;
  } else {
    if (!IsBound()) SetBindState(kBindNone);
    reported = kBindNone;
  }
  CLogicCenter::Instance()->PostUiMessage(UIMsg_bind_state, reported, m_id, 0, 0);
  CBindReport::Send(CBindReport::kKindBind, m_id, Name(), success ? 0 : 1);
}

void CPhotoDevice::OnPresenceChanged(int messageType, bool here, const char* pWhat) {
  CLogicCenter::Instance()->PostUiMessage(messageType, here ? kPresenceHere : kPresenceAway, m_id,
                                          0, 0);
  std::string name = WideToUtf8(Name());
  DLL_LOG("Device[%s, %" PRId64 "] %s", name.c_str(), m_id, pWhat);
  if (here || IsOnlineNow()) return;
  NotifyDeviceOfflineHandler(m_id);
  DLL_LOG("Device[%s, %" PRId64 "] Complete Offline", name.c_str(), m_id);
}
