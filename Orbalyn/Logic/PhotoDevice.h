#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "Interface/IOrbalyn.h"
#include "Common/ThreadAnnotations.h"
#include "win32/sync.h"

// One phone the PC knows: its identity and key, its bind state, and whether it is reachable
// through the server and connected on the local network.
// Lifetime: counted, starting at 1. The store holds one reference per device in its map; the
//   command handlers, the upload manager, the server session and the host hold their own. The
//   last Release frees it, on any thread.
// Threading: any thread. The strings are guarded by m_lock; the states are single atomic
//   words. A state change and its presence change happen exactly once even when two threads
//   report the same change together. The store's lock may be held while m_lock is taken, never
//   the other way round: nothing here calls the store while holding m_lock.
class CPhotoDevice final : public IOrbalynDevice {
 public:
  // The interface's bind states (bound and loaded count as bound) and presence values, by the
  // names the library uses.
  static constexpr int kBindNone = BindState_none;
  static constexpr int kBindRequested = BindState_requested;
  static constexpr int kBindWaiting = BindState_waiting;
  static constexpr int kBindBound = BindState_bound;
  static constexpr int kBindLoaded = BindState_loaded;
  static constexpr int kPresenceUnknown = Presence_unknown;
  static constexpr int kPresenceAway = Presence_away;
  static constexpr int kPresenceHere = Presence_here;

  // One reference for the creator.
  explicit CPhotoDevice(int64_t id);
  CPhotoDevice(const CPhotoDevice&) = delete;
  CPhotoDevice& operator=(const CPhotoDevice&) = delete;

  // IUnknown:
  win32::HRESULT STDMETHODCALLTYPE QueryInterface(win32::REFIID riid, void** ppObject) override;
  win32::ULONG STDMETHODCALLTYPE AddRef() override;
  win32::ULONG STDMETHODCALLTYPE Release() override;

  // IOrbalynDevice:
  win32::HRESULT STDMETHODCALLTYPE GetId(int64_t* pId) override;
  win32::HRESULT STDMETHODCALLTYPE GetName(win32::BSTR* pName) override;
  win32::HRESULT STDMETHODCALLTYPE GetGuid(win32::BSTR* pGuid) override;
  win32::HRESULT STDMETHODCALLTYPE GetZelid(win32::BSTR* pZelid) override;
  win32::HRESULT STDMETHODCALLTYPE GetBindState(int* pState) override;
  win32::HRESULT STDMETHODCALLTYPE GetRemoteState(int* pState) override;
  win32::HRESULT STDMETHODCALLTYPE GetLocalState(int* pState) override;
  win32::HRESULT STDMETHODCALLTYPE IsOnline(int* pOnline) override;
  win32::HRESULT STDMETHODCALLTYPE IsOffline(int* pOffline) override;

  int64_t Id() const { return m_id; }

  // Line breaks and NULs in these phone-given texts become spaces: the texts end up as values
  // in the settings file, where a line break would start a new key or section.
  void SetName(const std::u16string& name);
  void SetGuid(const std::u16string& guid);
  void SetZelid(const std::u16string& zelid);
  void SetKey(const std::string& key);
  std::u16string Name();
  std::u16string Guid();
  std::u16string Zelid();
  std::string Key();

  int BindState() const { return m_bindState.load(); }
  void SetBindState(int state) { m_bindState.store(state); }
  bool IsBound() const;
  int RemoteState() const { return m_remoteState.load(); }
  int LocalState() const { return m_localState.load(); }
  bool IsOnlineNow() const;

  // Reachability through the server, from the server session. Only a change is acted on: it
  // posts a UIMsg_device_remote_state message, and going away may end in complete offline.
  void SetRemoteState(bool reachable);
  // Connection on the local network, from the phone command manager and handlers; the same
  // with UIMsg_device_local_state.
  void SetLocalState(bool connected);
  // The end of a bind attempt: a first success binds the device and saves the settings file;
  // a failure resets a device that is not bound. Either way the UI learns the outcome
  // (UIMsg_bind_state 3 or 0) and a bind report is sent.
  void BindFinish(bool success);

 private:
  ~CPhotoDevice();

  // Presence changes: a UI message and a log line each; an offline change that leaves the
  // device offline both ways also gives up its uploads.
  void OnPresenceChanged(int messageType, bool here, const char* pWhat);

  // Set in the constructor, then constant.
  const int64_t m_id;

  std::atomic<win32::ULONG> m_refCount{1};

  win32::CRITICAL_SECTION m_lock;
  std::u16string m_name GUARDED_BY(m_lock);
  std::u16string m_guid GUARDED_BY(m_lock);
  std::u16string m_zelid GUARDED_BY(m_lock);
  std::string m_key GUARDED_BY(m_lock);

  std::atomic<int> m_bindState{kBindNone};
  std::atomic<int> m_remoteState{kPresenceUnknown};
  std::atomic<int> m_localState{kPresenceUnknown};
};
