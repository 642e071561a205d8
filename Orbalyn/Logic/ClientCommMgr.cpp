#include "Logic/ClientCommMgr.h"

#include <netinet/tcp.h>

#include <cinttypes>
#include <cstring>
#include <new>
#include <vector>

#include "Common/ObjectLifecycleMgr.h"
#include "Logic/ClientChannel.h"
#include "Logic/ClientCommand.h"
#include "Logic/FileUploadMgr.h"
#include "Logic/PhotoDb.h"
#include "Logic/PhotoDevice.h"
#include "NetEngine/DllLog.h"
#include "NetEngine/IOOperation.h"
#include "NetEngine/IOThread.h"
#include "Common/Lock.h"
#include "win32/winsock.h"

using namespace win32;

namespace {

// Command ids this file acts on itself.
constexpr uint16_t kCommandUploadFiles = 6006;
constexpr uint16_t kCommandHeartbeat = 6011;

bool FindStoreDeviceKey(int64_t deviceId, std::string* pKey) {
  CPhotoDevice* pDevice = CPhotoDb::Instance()->FindOrCreateDevice(deviceId, false);
  if (!pDevice) return false;
  *pKey = pDevice->Key();
  pDevice->Release();
  return true;
}

std::string StoreBindKey() { return CPhotoDb::Instance()->BindKey(false); }

}  // namespace

CClientCommMgr::CClientCommMgr() {
  InitCriticalSection(&m_channelLock);
  InitCriticalSection(&m_queueLock);
}

CClientCommMgr::~CClientCommMgr() {
  // Runs at process exit: channels still open are left to the process's end, since closing
  // them would need the I/O thread, which has stopped by now.
  std::deque<CClientCommand*> received;
  {
    ScopedLock lock(&m_queueLock);
    received.swap(m_received);
  }
  for (CClientCommand* pCommand : received) pCommand->Release();
  DeleteCriticalSection(&m_queueLock);
  DeleteCriticalSection(&m_channelLock);
}

void CClientCommMgr::Start() {
  // Channels look their handler up by its complete object, the I/O thread by the handler part.
  CObjectLifecycleMgr::Instance()->Register(static_cast<const void*>(this));
  CObjectLifecycleMgr::Instance()->Register(static_cast<CIOHandler*>(this));
}

void CClientCommMgr::Stop() {
  CObjectLifecycleMgr::Instance()->Unregister(static_cast<const void*>(this));
  CObjectLifecycleMgr::Instance()->Unregister(static_cast<CIOHandler*>(this));
}

void CClientCommMgr::OnConnected(CCommandChannel* /*pChannel*/) {}

int CClientCommMgr::OnCommand(CCommandChannel* pChannel, CCommand* pCommand) {
  if (!pChannel || !pCommand || pChannel->Class() != CClientChannel::kClass ||
      pCommand->Kind() != CClientCommand::kKind) {
    return -1;
  }
  auto* pClientCommand = static_cast<CClientCommand*>(pCommand);
  const int64_t destId = pClientCommand->GetDestId();
  if (destId != CPhotoDb::Instance()->DeviceId()) {
    DLL_LOG("Error: Recv Bad Dest Command, Src=%" PRId64 ", Dest=%" PRId64,
            pClientCommand->GetSourceId(), destId);
    pChannel->AsyncClose();
    return -1;
  }
  // Until it is handled (and, for an upload command, until the upload thread is done with it)
  // the frame counts against its channel, which stops reading above its bound.
  static_cast<CClientChannel*>(pChannel)->Charge(pClientCommand);
  QueueCommand(pClientCommand);
  return 0;
}

void CClientCommMgr::OnFinish(CCommandChannel* pChannel, uint32_t operation, uint32_t error) {
  const uint32_t record[4] = {kFinishRecordSize, pChannel->Id(), operation, error};
  CIOOperation* pOp =
      CIOOperation::Create(static_cast<CIOHandler*>(this), kOpChannelFinished, kFinishRecordSize);
  if (!pOp) {
    DLL_LOG("CClientCommMgr[%p]::OnFinish no memory: channel id=%u stays in the map",
            static_cast<void*>(this), pChannel->Id());
    return;
  }
  CIOOperation::Append(pOp, record, sizeof(record));
  CIOOperation::Post(pOp);
  CIOOperation::Release(pOp);  // the creator's; the post holds its own
}

void CClientCommMgr::OnIoComplete(CIOOperation* pOp) {
  ASSERT_ON_IO_THREAD();
  switch (pOp->Code()) {
    case kOpDrain:
      DrainQueue();
      break;
    case kOpChannelFinished:
      OnChannelFinished(pOp);
      break;
    default:
      break;
  }
}

void CClientCommMgr::OnTimer(unsigned int /*timerId*/) {}

bool CClientCommMgr::AddNewChannel(SOCKET socket) {
  // Replies are small and a phone waits for them before it sends more (the window, the next
  // file): held back behind an unacknowledged one, each would wait for the phone's delayed
  // acknowledgement.
  const int on = 1;
  if (setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                 sizeof(on)) != 0) {
    DLL_LOG("AddNewChannel: TCP_NODELAY failed: %u", WSAGetLastError());
  }
  CClientChannel* pChannel = new (std::nothrow) CClientChannel(this);
  if (!pChannel) return false;
  // In the map before the first read is posted, so even a phone that closes at once finds
  // its channel there when the finish record is handled.
  {
    ScopedLock lock(&m_channelLock);
    m_channels[pChannel->Id()] = pChannel;  // the constructor's reference passes to the map
  }
  if (!pChannel->Attach(socket)) {
    CClientChannel* pRemoved = RemoveChannel(pChannel->Id());
    if (pRemoved) pRemoved->Release();
    return false;
  }
  DLL_LOG("AddNewChannel: %p, type=%u, id=%u", static_cast<void*>(pChannel), pChannel->Class(),
          pChannel->Id());
  return true;
}

void CClientCommMgr::OnTransferCommand(uint32_t serverChannelId, const void* pFrame,
                                       uint32_t length) {
  if (!pFrame) length = 0;
  CClientCommand* pCommand = CClientCommand::Create(length);
  if (!pCommand) return;
  const auto* pData = static_cast<const uint8_t*>(pFrame);
  uint32_t remaining = length;
  const int parsed = pCommand->ParseFrom(&pData, &remaining);
  if (parsed != 0) {
    DLL_LOG("CClientCommMgr::OnTransferCommand dropped: channel id=%u, length=%u, parse=%d",
            serverChannelId, length, parsed);
  } else if (pCommand->GetDestId() != CPhotoDb::Instance()->DeviceId()) {
    DLL_LOG("Error: Recv Bad Dest Transfer Command, Src=%" PRId64 ", Dest=%" PRId64,
            pCommand->GetSourceId(), pCommand->GetDestId());
  } else {
    pCommand->SetChannelId(serverChannelId);
    pCommand->SetRelayed(true);
    QueueCommand(pCommand);
  }
  pCommand->Release();
}

CClientChannel* CClientCommMgr::FindChannel(uint32_t channelId) {
  ScopedLock lock(&m_channelLock);
  auto it = m_channels.find(channelId);
  if (it == m_channels.end()) return nullptr;
  it->second->AddRef();  // the caller's
  return it->second;
}

CClientChannel* CClientCommMgr::RemoveChannel(uint32_t channelId) {
  ScopedLock lock(&m_channelLock);
  auto it = m_channels.find(channelId);
  if (it == m_channels.end()) return nullptr;
  CClientChannel* pChannel = it->second;  // the map's reference passes to the caller
  m_channels.erase(it);
  return pChannel;
}

int CClientCommMgr::SendCommand(CClientCommand* pReply, bool encode) {
  if (!pReply) return 0;
  if (encode && !CClientCommand::EncodeCommand(pReply, StoreKeys())) return 0;
  if (pReply->IsRelayed()) {
    TransferSender pSender = m_pTransferSender.load();
    if (!pSender) {
      DLL_LOG("CClientCommMgr::SendCommand relayed reply dropped: no server session, cmd=%u",
              pReply->GetCommandId());
      return 0;
    }
    return pSender(pReply);
  }
  const uint32_t channelId = pReply->ChannelId();
  CClientChannel* pChannel = FindChannel(channelId);
  if (!pChannel) return 0;
  const int sent = pChannel->Send(pReply);
  pChannel->Release();
  if (!sent) return 0;
  if (SentHook pHook = m_pSentHook.load()) pHook(channelId);
  CPhotoDevice* pDevice = CPhotoDb::Instance()->FindOrCreateDevice(pReply->GetDestId(), false);
  if (pDevice) {
    // Only while the channel is still in the map, under the lock its finish handling takes to
    // set the device away: a reply sent just before the end can never mark the device
    // connected after the end was handled.
    ScopedLock lock(&m_channelLock);
    if (m_channels.count(channelId) != 0) pDevice->SetLocalState(true);
  }
  if (pDevice) pDevice->Release();
  return 1;
}

void CClientCommMgr::SetTransferSender(TransferSender pSender) { m_pTransferSender.store(pSender); }

const CommandKeySource& CClientCommMgr::StoreKeys() {
  static const CommandKeySource keys{&FindStoreDeviceKey, &StoreBindKey};
  return keys;
}

int CClientCommMgr::ForwardToUploader(CClientCommMgr* pMgr, CClientCommand* pCommand) {
  if (UploadForwarder pForwarder = pMgr->m_pUploadForwarder.load()) {
    pForwarder(pCommand);
  } else {
    CFileUploadMgr::Instance()->Enqueue(pCommand);
  }
  return 0;
}

void CClientCommMgr::SetUploadForwarderForTesting(UploadForwarder pForwarder) {
  m_pUploadForwarder.store(pForwarder);
}

void CClientCommMgr::SetSentHookForTesting(SentHook pHook) { m_pSentHook.store(pHook); }

size_t CClientCommMgr::ChannelCountForTesting() {
  ScopedLock lock(&m_channelLock);
  return m_channels.size();
}

void CClientCommMgr::ResetForTesting() {
  std::map<uint32_t, CClientChannel*> channels;
  {
    ScopedLock lock(&m_channelLock);
    channels.swap(m_channels);
  }
  for (auto& item : channels) {
    item.second->Close();
    item.second->Release();
  }
  std::deque<CClientCommand*> received;
  {
    ScopedLock lock(&m_queueLock);
    received.swap(m_received);
  }
  for (CClientCommand* pCommand : received) pCommand->Release();
  m_pTransferSender.store(nullptr);
  m_pUploadForwarder.store(nullptr);
  m_pSentHook.store(nullptr);
}

CClientCommMgr::CommandHandler CClientCommMgr::FindHandler(uint16_t commandId) {
  struct Entry {
    uint16_t commandId;
    CommandHandler pHandler;
  };
  static const Entry kTable[] = {
      {6001, &OnCommand_Login},    {6002, &OnCommand_Logout},      {6003, &OnCommand_Bind},
      {6004, &OnCommand_BingWait}, {6005, &OnCommand_BindFinish},  {6006, &ForwardToUploader},
      {6007, &ForwardToUploader},  {6008, &ForwardToUploader},     {6012, &ForwardToUploader},
      {6009, &OnCommand_Report},   {6010, &OnCommand_DataChannel}, {6011, &OnCommand_Heartbeat},
  };
  for (const Entry& entry : kTable) {
    if (entry.commandId == commandId) return entry.pHandler;
  }
  return nullptr;
}

void CClientCommMgr::QueueCommand(CClientCommand* pCommand) {
  pCommand->AddRef();  // the queue's: dropped after the drain handled it
  {
    ScopedLock lock(&m_queueLock);
    m_received.push_back(pCommand);
  }
  CIOOperation* pOp = CIOOperation::Create(static_cast<CIOHandler*>(this), kOpDrain, 0);
  if (!pOp) return;  // the command waits for the next drain
  CIOOperation::Post(pOp);
  CIOOperation::Release(pOp);  // the creator's; the post holds its own
}

CClientCommand* CClientCommMgr::PopCommand() {
  ScopedLock lock(&m_queueLock);
  if (m_received.empty()) return nullptr;
  CClientCommand* pCommand = m_received.front();
  m_received.pop_front();
  return pCommand;
}

void CClientCommMgr::DrainQueue() {
  while (CClientCommand* pCommand = PopCommand()) {
    const int decoded = CClientCommand::DecodeCommand(pCommand, StoreKeys());
    if (decoded > 0) {
      CommandHandler pHandler = FindHandler(pCommand->GetCommandId());
      const int result = pHandler ? pHandler(this, pCommand) : 0;
      if (result >= 0) {
        ConfirmChannelDevice(pCommand);
      } else {
        CloseBadChannel(pCommand);
      }
    } else if (decoded == 0) {
      ProcessUnbindCommand(pCommand);
    } else {
      CloseBadChannel(pCommand);
    }
    pCommand->Release();  // the queue's
  }
}

void CClientCommMgr::OnChannelFinished(CIOOperation* pOp) {
  uint32_t record[4];
  if (pOp->Length() != sizeof(record)) return;
  memcpy(record, pOp->Data(), sizeof(record));
  if (record[0] != kFinishRecordSize) return;
  const uint32_t channelId = record[1];
  const uint32_t operation = record[2];
  const uint32_t error = record[3];

  CClientChannel* pChannel = RemoveChannel(channelId);
  if (!pChannel) return;
  if (pChannel->Class() != CClientChannel::kClass) {
    DLL_LOG("Unknown Channel[%p] Disconnect: class=%u, id=%u, op=%u, error=%u",
            static_cast<void*>(pChannel), pChannel->Class(), channelId, operation, error);
    pChannel->Release();
    return;
  }
  const int64_t deviceId = pChannel->DeviceId();
  DLL_LOG("Local Channel[%p, %" PRId64 "] Disconnect: id=%u, op=%u, error=%u",
          static_cast<void*>(pChannel), deviceId, channelId, operation, error);
  pChannel->Release();  // the map's
  if (deviceId == 0) return;

  CPhotoDevice* pDevice = CPhotoDb::Instance()->FindOrCreateDevice(deviceId, false);
  if (!pDevice) return;
  {
    // Under the lock SendCommand marks the device connected with: this is the last word.
    ScopedLock lock(&m_channelLock);
    bool otherChannel = false;
    for (const auto& item : m_channels) {
      if (item.second->Class() == CClientChannel::kClass && item.second->DeviceId() == deviceId) {
        otherChannel = true;
        break;
      }
    }
    if (!otherChannel && pDevice->LocalState() > CPhotoDevice::kPresenceAway) {
      pDevice->SetLocalState(false);
    }
  }
  pDevice->Release();
}

void CClientCommMgr::ConfirmChannelDevice(CClientCommand* pCommand) {
  if (pCommand->IsRelayed()) return;
  CClientChannel* pChannel = FindChannel(pCommand->ChannelId());
  if (!pChannel) return;
  if (pChannel->Class() == CClientChannel::kClass) {
    const int64_t current = pChannel->DeviceId();
    const int64_t sourceId = pCommand->GetSourceId();
    if (current == 0) {
      pChannel->SetDeviceId(sourceId);
      DLL_LOG("Info: Channel[%p] deviceid confirmed, id=%" PRId64 "!!",
              static_cast<void*>(pChannel), sourceId);
    } else if (current != sourceId) {
      DLL_LOG("Error: Channel[%p, %" PRId64 "] change device id to [%" PRId64
              "], wrong!!, check Device code!!",
              static_cast<void*>(pChannel), current, sourceId);
    }
  }
  pChannel->Release();
}

void CClientCommMgr::CloseBadChannel(CClientCommand* pCommand) {
  if (pCommand->IsRelayed()) return;
  CClientChannel* pChannel = FindChannel(pCommand->ChannelId());
  if (!pChannel) return;
  const int64_t sourceId = pCommand->GetSourceId();
  const int commandId = pCommand->GetCommandId();
  const int encodeType = pCommand->GetEncodeType();
  if (pChannel->Class() != CClientChannel::kClass) {
    DLL_LOG("CloseBadChannel: Found unknown channel[%p] send bad command: id=%" PRId64
            ", cmd=%d, Encode=%d, bad code, warnning!!!!",
            static_cast<void*>(pChannel), sourceId, commandId, encodeType);
  } else if (pChannel->DeviceId() != 0) {
    DLL_LOG("CloseBadChannel: Found 有效 channel[%" PRId64 "] send bad command: id=%" PRId64
            ", cmd=%d, Encode=%d, keep it",
            pChannel->DeviceId(), sourceId, commandId, encodeType);
  } else {
    DLL_LOG("CloseBadChannel: Found 无效 channel[%p] send bad command: id=%" PRId64
            ", cmd=%d, Encode=%d;  AsyncClose it!!!",
            static_cast<void*>(pChannel), sourceId, commandId, encodeType);
    pChannel->AsyncClose();
  }
  pChannel->Release();
}

void CClientCommMgr::ProcessUnbindCommand(CClientCommand* pCommand) {
  const uint16_t commandId = pCommand->GetCommandId();
  if (commandId != kCommandUploadFiles && commandId != kCommandHeartbeat) return;
  const uint8_t* pBody = nullptr;
  uint32_t length = 0;
  if (!pCommand->GetBody(&pBody, &length) || length == 0) return;
  CClientCommand* pReply = CClientCommand::CreateReply(pCommand);
  if (!pReply) return;
  pReply->SetResult(kResultUnbound);
  // The request's body as it came, still enciphered: the phone can tell its own bytes.
  if (pReply->SetBody(pBody, length)) {
    SendCommand(pReply, false);
    DLL_LOG("ProcessUnbindCommand: PhoneId=%" PRId64 ", Cmd=%d", pCommand->GetSourceId(),
            commandId);
  }
  pReply->Release();
}
