#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "Interface/IOrbalyn.h"
#include "NetEngine/CommandChannelHandler.h"
#include "NetEngine/IOHandler.h"
#include "Common/ServerAddress.h"
#include "Common/Singleton.h"
#include "Common/ThreadAnnotations.h"
#include "win32/sync.h"
#include "win32/window.h"

class CClientCommand;
class CCommand;
class CCommandChannel;
class CIOOperation;
class CPhotoMessage;
class CServerChannel;
class CServerCommand;

// Posted to the hidden window whenever UI messages wait in the queue (WM_USER + 101).
inline constexpr win32::UINT kWmUiMessage = 1125;

// The periods of the server session, in one place so that tests can shrink them.
struct SessionPeriods {
  uint32_t stepTimeoutMs = 90000;         // one login step (timer 1)
  uint32_t retryMs = 600000;              // next login after any state but online (timer 2)
  uint32_t heartbeatFloorMs = 10000;      // shortest heartbeat interval (timer 3)
  uint32_t heartbeatCeilingMs = 3600000;  // longest heartbeat interval
  uint32_t dayCheckMs = 60000;            // day-change check of the daily report (timer 4)
  uint32_t missedHeartbeats = 3;          // unanswered heartbeats before tag 4 is dropped
  uint32_t sideChannelMs = 30000;         // life of an unbind-request connection (timer 5)
};

// The PC's session with the maker's servers, and the logic interface the host drives it with.
//
// The session finds the entry server, registers the PC once, fetches the server time, asks for
// a communication server (proving itself with a check key), logs in there and sends heartbeats;
// it relays phone commands that arrive through the server to the phone command manager and
// sends their replies back, follows the server's presence and unbind notices, sends the PC's
// own unbind requests and the daily report. Every change reaches the host's user interface as a
// UI message: producers on any thread append to one queue, and a hidden window made on the
// host's UI thread hands each message to the host's logic sink there.
//
// Each server connection is a CServerChannel whose tag is its purpose:
//   1 register (1008), 2 server time (5001), 3 redirect (1007) and 6, 7, 8 the unbind requests
//   (1010, 1011, 1009) go to the entry server; 4 is the communication server (login 1001,
//   heartbeats 1003, notices and the relay).
//
// Lifetime: process-wide singleton (static: AddRef and Release count nothing), destroyed at
//   exit. Start creates the window and registers the object with the lifecycle manager; Stop
//   unregisters it, closes every server channel, drops its timers and operations and the queued
//   UI messages. Start and Stop may alternate any number of times.
// Threading: the session itself runs on the I/O thread: channel callbacks, completions of the
//   operations it posts to itself (7 channel finished, 11 replies waiting, 1000 login, 1001
//   logout, 1002 entry server resolved) and its timers, under lifecycle guards; state touched
//   only there needs no lock. The IOrbalynLogic methods, Start and Stop run on the host's
//   thread, which is also where the window procedure calls the sink, so the sink pointer needs
//   no lock. The queue operations and SendTransferCommand (the upload thread answers relayed
//   phones) may be called from any thread. m_channelLock guards the channel map, the window
//   handle and the pending unbind records; m_replyLock the received replies; m_queueLock the UI
//   queue. No two of them are held together, and none is held while a channel, the store, a
//   device or the sink runs.
class CLogicCenter final : public CCommandChannelHandler,
                           public CIOHandler,
                           public IOrbalynLogic,
                           public Singleton<CLogicCenter> {
 public:
  // The interface's login states and results, by the names the session uses.
  static constexpr int kStateStopped = LoginState_stopped;
  static constexpr int kStateLoggingIn = LoginState_logging_in;
  static constexpr int kStateOnline = LoginState_online;
  static constexpr int kStateOffline = LoginState_offline;
  static constexpr int kLoginOk = LoginResult_ok;
  static constexpr int kLoginResolveFailed = LoginResult_resolve_failed;
  static constexpr int kLoginRegisterFailed = LoginResult_register_failed;
  static constexpr int kLoginServerTimeFailed = LoginResult_server_time_failed;
  static constexpr int kLoginRedirectFailed = LoginResult_redirect_failed;
  static constexpr int kLoginCommFailed = LoginResult_comm_failed;
  static constexpr int kLoginTimedOut = LoginResult_timed_out;

  // Channel tags.
  static constexpr uint32_t kTagRegister = 1;
  static constexpr uint32_t kTagServerTime = 2;
  static constexpr uint32_t kTagRedirect = 3;
  static constexpr uint32_t kTagComm = 4;
  static constexpr uint32_t kTagGetUnbindInfo = 6;
  static constexpr uint32_t kTagClearUnbindInfo = 7;
  static constexpr uint32_t kTagUnbind = 8;

  // Timers.
  static constexpr uint32_t kTimerStep = 1;
  static constexpr uint32_t kTimerRetry = 2;
  static constexpr uint32_t kTimerHeartbeat = 3;
  static constexpr uint32_t kTimerDayCheck = 4;
  static constexpr uint32_t kTimerSideChannels = 5;

  // Operations the session posts to itself.
  static constexpr uint32_t kOpChannelFinished = 7;
  static constexpr uint32_t kOpRepliesWaiting = 11;
  static constexpr uint32_t kOpLogin = 1000;
  static constexpr uint32_t kOpLogout = 1001;
  static constexpr uint32_t kOpResolved = 1002;

  // Characters of the id key: the check key's cipher takes 16 bytes.
  static constexpr size_t kIdKeyLength = 16;
  // Bytes of a deciphered unbind record: PC id, phone id, the phone's 16-byte key.
  static constexpr size_t kUnbindRecordSize = 32;
  static constexpr size_t kPhoneKeySize = 16;

  CLogicCenter(const CLogicCenter&) = delete;
  CLogicCenter& operator=(const CLogicCenter&) = delete;

  // On the host's UI thread. Creates the hidden window unless it exists; a new window also
  // starts the session (lifecycle registration, the day-check timer, the daily report) and
  // hands the phone command manager the relay sender. Returns whether the window exists.
  bool Start();
  // Ends the session: no callback reaches it afterwards, every server channel is closed, the
  // window destroyed and the queue dropped; the state becomes 0 and the sink, when registered,
  // hears of it once directly on this thread. The sink stays registered.
  void Stop();

  // Tests only: replaces the sink wholesale, holding one reference (null forgets it). The host
  // uses Advise and Unadvise.
  void SetLogicSink(IOrbalynLogicSink* pSink);

  // Each appends one new message and announces it to the window.
  void PostUiMessage(int type, int value, int64_t id, int param1, int param2);
  // A UIMsg_upload_finish message carrying `length` bytes.
  void PostUiMessagePayload(int value, int64_t id, const void* pBytes, size_t length);
  // Appends a message the caller built and keeps: the queue takes a reference of its own.
  void QueueUiMessage(CPhotoMessage* pMessage);
  // The oldest message with the queue's reference, which passes to the caller; null when empty.
  CPhotoMessage* PopUiMessage();
  // Releases every queued message.
  void ClearUiMessages();

  // IUnknown:
  win32::HRESULT STDMETHODCALLTYPE QueryInterface(win32::REFIID riid, void** ppObject) override;
  win32::ULONG STDMETHODCALLTYPE AddRef() override;
  win32::ULONG STDMETHODCALLTYPE Release() override;

  // IOrbalynLogic (LogicCenter_I.cpp):
  win32::HRESULT STDMETHODCALLTYPE Advise(IOrbalynLogicSink* pSink) override;
  win32::HRESULT STDMETHODCALLTYPE Unadvise(IOrbalynLogicSink* pSink) override;
  win32::HRESULT STDMETHODCALLTYPE Login() override;
  win32::HRESULT STDMETHODCALLTYPE Logout() override;
  win32::HRESULT STDMETHODCALLTYPE GetLoginState(int* pState) override;
  // 1, writing nothing, before the PC is registered.
  win32::HRESULT STDMETHODCALLTYPE GetBindInfo(IOrbalynMessage** ppMessage) override;
  win32::HRESULT STDMETHODCALLTYPE UnbindDevice(int64_t deviceId) override;

  // CCommandChannelHandler:
  void OnConnected(CCommandChannel* pChannel) override;
  // Queues the reply for the I/O thread's operation 11.
  int OnCommand(CCommandChannel* pChannel, CCommand* pCommand) override;
  // Posts the channel's finish record (operation 7).
  void OnFinish(CCommandChannel* pChannel, uint32_t operation, uint32_t error) override;

  // CIOHandler:
  void OnIoComplete(CIOOperation* pOp) override;
  void OnTimer(unsigned int timerId) override;

  // Answers a phone reached through the server: the whole reply frame goes back as the body of
  // a 3002 on the server channel its request came on, which must be the tag-4 channel. 1 when
  // sent, 0 otherwise. Any thread.
  int SendTransferCommand(CClientCommand* pReply);

  // Tests only, while the session is stopped.
  void SetPeriodsForTesting(const SessionPeriods& periods);
  // A host the resolver is handed as it stands, in place of the configured entry server; an
  // empty host restores the configuration.
  void SetEntryServerForTesting(const std::string& host, uint16_t port);
  // Forgets what earlier sessions learnt: addresses, server time, pending unbind records,
  // replies waiting and the test overrides.
  void ResetForTesting();
  uint32_t HeartbeatIntervalMsForTesting();
  size_t ChannelCountForTesting();
  size_t PendingUnbindCountForTesting();
  void SetLastReportTimeForTesting(int64_t time);
  win32::HWND WindowForTesting();
  size_t QueuedCountForTesting();

 private:
  friend class Singleton<CLogicCenter>;

  // A phone unbound here, waiting for its 1009.
  struct PendingUnbind {
    int64_t phoneId;
    std::array<uint8_t, kPhoneKeySize> key;
  };
  // A reply waiting for operation 11, with the tag of the channel it came on.
  struct ReceivedReply {
    CServerCommand* pCommand;  // one reference
    uint32_t tag;
  };
  using ReplyHandler = void (CLogicCenter::*)(CServerCommand* pCommand);
  struct ReplyEntry {
    uint16_t commandId;
    uint32_t tag;  // the only channel tag the reply is taken from
    ReplyHandler pHandler;
  };

  CLogicCenter();
  ~CLogicCenter() override;

  static win32::LRESULT WindowProc(win32::HWND hwnd, win32::UINT message, win32::WPARAM wParam,
                                   win32::LPARAM lParam);
  static int TransferToServer(CClientCommand* pReply);

  // UI queue.
  // Takes over the caller's reference.
  void AppendUiMessage(CPhotoMessage* pMessage);
  void AnnounceUiMessages();
  void DeliverUiMessages();

  // Channel map. Each result carries a reference for the caller.
  // The channel of that tag; when there is none and `create` is set, a new one (*pCreated).
  CServerChannel* OpenChannel(uint32_t tag, bool create, bool* pCreated);
  CServerChannel* FindChannel(uint32_t channelId);
  // Taken out of the map with the map's reference.
  CServerChannel* TakeChannel(uint32_t channelId);
  CServerChannel* TakeChannelByTag(uint32_t tag);
  // Close and release.
  static void CloseChannel(CServerChannel* pChannel);
  void CloseChannelById(uint32_t channelId);
  void CloseChannelByTag(uint32_t tag);
  void CloseAllChannels();
  // Connects a login-step channel and arms the step timer.
  void ConnectChannel(CServerChannel* pChannel, uint32_t address, uint16_t port);
  // Opens an unbind-request channel (tags 6, 7, 8) to the entry server; the server never ends
  // these connections, so timer 5 ends whichever is still open.
  void OpenSideChannel(uint32_t tag);
  void CloseSideChannels();

  void PostOperation(uint32_t code, const void* pData, uint32_t length);
  void SetState(int state);

  // Login procedure, I/O thread.
  void RunLogin();
  void OnEntryResolved(CIOOperation* pOp);
  void RegisterStep();
  void ServerTimeStep();
  void RedirectStep();
  void ConnectStep();
  // Ends the attempt in progress: UI {1, result}, state 3.
  void FailLogin(int result);
  void DoLogout();
  void OnChannelFinished(CIOOperation* pOp);
  void OnCommChannelLost(uint32_t operation, uint32_t error);
  void OnStepTimeout();
  void OnHeartbeatTimer();

  // Requests.
  bool SendRequest(CServerChannel* pChannel, uint16_t commandId, const std::string& body,
                   uint32_t bufferSize);
  void SendRegister(CServerChannel* pChannel);
  void SendServerTime(CServerChannel* pChannel);
  void SendRedirect(CServerChannel* pChannel);
  void SendLogin(CServerChannel* pChannel);
  void SendHeartbeat();
  void SendGetUnbindInfo(CServerChannel* pChannel);
  void SendClearUnbindInfo(CServerChannel* pChannel);
  void SendUnbind(CServerChannel* pChannel);
  // 32 bytes enciphered under the id key, or empty (logged) when it cannot be made.
  std::string BuildCheckKey();

  // Replies, operation 11.
  void HandleReplies();
  static const ReplyEntry* FindReplyEntry(uint16_t commandId);
  void OnRegisterReply(CServerCommand* pCommand);
  void OnServerTimeReply(CServerCommand* pCommand);
  void OnRedirectReply(CServerCommand* pCommand);
  void OnLoginReply(CServerCommand* pCommand);
  void OnHeartbeatReply(CServerCommand* pCommand);
  void OnPhoneOffline(CServerCommand* pCommand);
  void OnPhoneOnline(CServerCommand* pCommand);
  void OnRelayedCommand(CServerCommand* pCommand);
  void OnPhoneUnbindNotice(CServerCommand* pCommand);
  void OnUnbindInfoReply(CServerCommand* pCommand);
  void OnUnbindReply(CServerCommand* pCommand);
  // Deciphers an unbind record; true with the phone's id when it names this PC and a stored
  // phone whose key it carries.
  bool MatchUnbindRecord(const std::string& record, int64_t* pPhoneId);
  static void SetRemoteState(int64_t phoneId, bool reachable);
  // Whether the settings file gives back exactly this id key: 16 printable ASCII characters,
  // neither blank at either end nor wrapped in quotes (the file's reader strips both).
  static bool IsStorableIdKey(const std::string& key);

  // The PC's address on the local network, found from the host's addresses while no server
  // channel has told it. Any thread.
  uint32_t LocalIp();
  // The local address the system picks towards the channel's server.
  void UpdateLocalIp(uint32_t tag);

  void CheckDayChange();
  void SendDailyReport();

  // UI thread only. One reference held.
  IOrbalynLogicSink* m_pSink = nullptr;

  win32::CRITICAL_SECTION m_queueLock;
  // Each entry holds one reference.
  std::deque<CPhotoMessage*> m_uiMessages GUARDED_BY(m_queueLock);

  // When the last daily report went out (seconds since 1970); the I/O thread, and Start.
  std::atomic<int64_t> m_lastReportTime{0};

  win32::CRITICAL_SECTION m_channelLock;
  // Destroyed by Stop on the thread that created it.
  win32::HWND m_hWnd GUARDED_BY(m_channelLock) = nullptr;
  // Channel id -> channel, one reference each.
  std::map<uint32_t, CServerChannel*> m_channels GUARDED_BY(m_channelLock);
  // Oldest first; the I/O thread takes them, UnbindDevice adds them.
  std::deque<PendingUnbind> m_pendingUnbinds GUARDED_BY(m_channelLock);

  win32::CRITICAL_SECTION m_replyLock;
  std::deque<ReceivedReply> m_replies GUARDED_BY(m_replyLock);

  // Addresses in network order, 0 until known. The entry server's are read by UnbindDevice on
  // the host's thread too.
  std::atomic<uint32_t> m_entryIp{0};
  std::atomic<uint16_t> m_entryPort{kDefaultServerPort};
  std::atomic<uint32_t> m_localIp{0};
  // I/O thread only (tests read them once the session is quiet).
  uint32_t m_commIp = 0;
  uint16_t m_commPort = 0;
  int64_t m_serverTime = 0;
  uint32_t m_heartbeatSeconds = 0;
  uint32_t m_unansweredHeartbeats = 0;
  // Written on the I/O thread; atomic for tests.
  std::atomic<uint32_t> m_heartbeatIntervalMs{0};

  // Set in the constructor, then constant.
  const win32::DWORD m_startTick;

  std::atomic<int> m_loginState{kStateStopped};

  // Set while the session is stopped (tests), read everywhere.
  SessionPeriods m_periods;
  std::string m_entryHostForTesting;
  uint16_t m_entryPortForTesting = 0;
};
