#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>

#include "NetEngine/CommandChannelHandler.h"
#include "NetEngine/IOHandler.h"
#include "Common/Singleton.h"
#include "Common/ThreadAnnotations.h"
#include "win32/sync.h"

class CClientChannel;
class CClientCommand;
class CIOOperation;
struct CommandKeySource;
namespace win32 {
enum class SOCKET : uintptr_t;
}

// The phone command manager: owns every TCP connection from a phone on the local network,
// cuts and deciphers the phones' commands, dispatches them by command id (the bind, login and
// heartbeat family here, uploads to the upload manager), and sends the replies back on the
// phone's connection, or through the server session when the command came relayed. It learns
// which phone sits behind a connection from the first command handled on it without error, and
// tells the device when its last local connection is gone.
//
// Lifetime: process-wide singleton, destroyed at exit. Start registers its channel-handler part
//   (the complete object) and its I/O-handler part with the lifecycle manager; Stop unregisters
//   both, after which no completion, command or finish reaches it. Stop leaves the phone
//   connections open. Each channel lives in the map from AddNewChannel until its finish record
//   is handled.
// Threading: channel callbacks, the drain (operation 11), finish records (operation 7) and the
//   handlers run on the I/O thread under lifecycle guards. The upload thread also calls
//   FindChannel and SendCommand, hence m_channelLock; OnTransferCommand and the queue may be
//   used from any thread under m_queueLock. The two locks are never held together, and neither
//   is held while a handler, a channel or the store runs. A device's local state changes only
//   under m_channelLock (SendCommand sets it while the channel is in the map, the finish
//   handling clears it once no channel of the device is), so the end of a channel has the last
//   word; the presence messages that follow take the UI queue's and the upload manager's locks
//   inside it.
class CClientCommMgr final : public CCommandChannelHandler,
                             public CIOHandler,
                             public Singleton<CClientCommMgr> {
 public:
  // A command handler: 0 when the command was good, -1 when it was bad.
  using CommandHandler = int (*)(CClientCommMgr* pMgr, CClientCommand* pCommand);
  // Sends a relayed reply back through the server: 1 sent, 0 not.
  using TransferSender = int (*)(CClientCommand* pReply);
  // Takes an upload command (adding a reference of its own).
  using UploadForwarder = void (*)(CClientCommand* pCommand);
  // Tests only: called by SendCommand between a send and the device's state update.
  using SentHook = void (*)(uint32_t channelId);

  static constexpr int32_t kCheckCode = 0x5B2D7E61;
  // Result code answering a phone the PC does not know.
  static constexpr uint16_t kResultUnbound = 10001;

  CClientCommMgr(const CClientCommMgr&) = delete;
  CClientCommMgr& operator=(const CClientCommMgr&) = delete;

  void Start();
  void Stop();

  // CCommandChannelHandler:
  void OnConnected(CCommandChannel* pChannel) override;
  // Queues a phone frame addressed to this PC and posts a drain; a frame for another PC
  // closes its connection.
  int OnCommand(CCommandChannel* pChannel, CCommand* pCommand) override;
  // Posts the channel's finish record to the I/O thread.
  void OnFinish(CCommandChannel* pChannel, uint32_t operation, uint32_t error) override;

  // CIOHandler:
  void OnIoComplete(CIOOperation* pOp) override;
  void OnTimer(unsigned int timerId) override;

  // Takes over an accepted socket: true when a channel now reads it; false leaves the socket
  // to the caller, who closes it.
  bool AddNewChannel(win32::SOCKET socket);
  // A phone frame relayed by the server: the body of a server command 3001 that arrived on the
  // server channel `serverChannelId`. Only a complete frame addressed to this PC is queued;
  // bytes after the first frame are ignored.
  void OnTransferCommand(uint32_t serverChannelId, const void* pFrame, uint32_t length);

  // The channel with a reference for the caller, or null.
  CClientChannel* FindChannel(uint32_t channelId);
  // The channel taken out of the map with the map's reference, or null.
  CClientChannel* RemoveChannel(uint32_t channelId);

  // Sends a reply, enciphered first when `encode` is set: on the phone's channel, or through
  // the server session when the request came relayed. 1 when the reply went out (or was handed
  // to the server session), 0 otherwise. A reply sent on a channel marks its phone connected.
  int SendCommand(CClientCommand* pReply, bool encode);

  // The server session's sender of relayed replies; null until it installs one.
  void SetTransferSender(TransferSender pSender);

  // The keys of the device store, for the body cipher.
  static const CommandKeySource& StoreKeys();

  // Command handlers, found through the command table (ClientCommMgr_Command.cpp).
  static int OnCommand_Login(CClientCommMgr* pMgr, CClientCommand* pCommand);
  static int OnCommand_Logout(CClientCommMgr* pMgr, CClientCommand* pCommand);
  static int OnCommand_Bind(CClientCommMgr* pMgr, CClientCommand* pCommand);
  static int OnCommand_BingWait(CClientCommMgr* pMgr, CClientCommand* pCommand);
  static int OnCommand_BindFinish(CClientCommMgr* pMgr, CClientCommand* pCommand);
  static int OnCommand_Report(CClientCommMgr* pMgr, CClientCommand* pCommand);
  static int OnCommand_DataChannel(CClientCommMgr* pMgr, CClientCommand* pCommand);
  static int OnCommand_Heartbeat(CClientCommMgr* pMgr, CClientCommand* pCommand);
  // Hands an upload command to the upload manager's queue; always 0.
  static int ForwardToUploader(CClientCommMgr* pMgr, CClientCommand* pCommand);

  // Tests only: replaces where upload commands go (null restores the upload manager), sets the
  // hook SendCommand calls between a send and the state update, counts the channels, and
  // closes and forgets every channel and queued command (and the hook).
  void SetUploadForwarderForTesting(UploadForwarder pForwarder);
  void SetSentHookForTesting(SentHook pHook);
  size_t ChannelCountForTesting();
  void ResetForTesting();

 private:
  friend class Singleton<CClientCommMgr>;

  // Operations posted to the I/O-handler part.
  static constexpr uint32_t kOpChannelFinished = 7;
  static constexpr uint32_t kOpDrain = 11;
  // Size of a finish record: four u32 values (this size, channel id, operation, error).
  static constexpr uint32_t kFinishRecordSize = 16;

  CClientCommMgr();
  ~CClientCommMgr() override;

  static CommandHandler FindHandler(uint16_t commandId);

  // Appends the command with a reference of the queue's own and posts a drain.
  void QueueCommand(CClientCommand* pCommand);
  CClientCommand* PopCommand();
  void DrainQueue();
  void OnChannelFinished(CIOOperation* pOp);
  // The first command handled without error on a connection fixes the connection's phone.
  void ConfirmChannelDevice(CClientCommand* pCommand);
  // Closes a connection whose phone is not confirmed yet; only logs on a confirmed one.
  void CloseBadChannel(CClientCommand* pCommand);
  // Answers a phone whose key is unknown (6006 and 6011 only) with 10001.
  void ProcessUnbindCommand(CClientCommand* pCommand);

  std::atomic<TransferSender> m_pTransferSender{nullptr};
  std::atomic<UploadForwarder> m_pUploadForwarder{nullptr};
  std::atomic<SentHook> m_pSentHook{nullptr};

  win32::CRITICAL_SECTION m_channelLock;
  // Channel id -> channel, one reference each.
  std::map<uint32_t, CClientChannel*> m_channels GUARDED_BY(m_channelLock);

  win32::CRITICAL_SECTION m_queueLock;
  // Received commands waiting for the drain, oldest first, one reference each.
  std::deque<CClientCommand*> m_received GUARDED_BY(m_queueLock);
};
