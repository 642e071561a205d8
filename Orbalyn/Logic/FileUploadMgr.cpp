#include "Logic/FileUploadMgr.h"

#include <sys/random.h>

#include <cinttypes>
#include <ctime>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "msg.pb.h"
#include "uimsg.pb.h"

#include "Common/ObjectLifecycleMgr.h"
#include "Logic/ClientCommMgr.h"
#include "Logic/ClientCommand.h"
#include "Logic/DeviceOfflineHook.h"
#include "Logic/FileItem.h"
#include "Logic/LogicCenter.h"
#include "Logic/PhotoDb.h"
#include "Logic/PhotoDevice.h"
#include "Logic/PhotoMessage.h"
#include "Logic/UploadChunkRequest.h"
#include "NetEngine/DllLog.h"
#include "Common/Lock.h"
#include "NetEngine/NetHelpers.h"
#include "machine-identity/PacketBuffer.h"
#include "machine-identity/ReportClientMgr.h"
#include "win32/oleauto.h"
#include "win32/time.h"

using namespace win32;

namespace {

constexpr uint16_t kCommandUploadFiles = 6006;
constexpr uint16_t kCommandUploadFirst = 6007;
constexpr uint16_t kCommandUploadNext = 6008;
constexpr uint16_t kCommandUploadFinish = 6012;

constexpr int32_t kKindEnded = -1;
constexpr int32_t kKindLocal = 1;
constexpr int32_t kKindRelayed = 2;

// File ids stay positive as the phone's int32 field, with room to count up for years.
constexpr uint32_t kFirstFileIdMin = 0x10000;
constexpr uint32_t kFirstFileIdSpan = 0x3FFF0000;
constexpr uint32_t kLastFileId = 0x7FFFFFFF;

const char* RouteName(CClientCommand* pCommand) {
  return pCommand->IsRelayed() ? "互联网" : "局域网";
}

uint32_t RandomFirstFileId() {
  uint32_t value = 0;
  if (getrandom(&value, sizeof(value), 0) != static_cast<ssize_t>(sizeof(value))) {
    value = static_cast<uint32_t>(GetTickCount64() * 2654435761u);
  }
  return kFirstFileIdMin + value % kFirstFileIdSpan;
}

// Statistics record of one finished file.
struct UploadFileRecord {
  [[nodiscard]] bool Serialize(CPacketBuffer* pBuffer) const {
    return pBuffer->WriteUInt32(static_cast<uint32_t>(kind)) && pBuffer->WriteUInt32(error) &&
           pBuffer->WriteUInt64(static_cast<uint64_t>(timeStamp)) &&
           pBuffer->WriteUInt64(uploadTime) &&
           pBuffer->WriteUInt64(static_cast<uint64_t>(fileSize)) &&
           pBuffer->WriteString(fileName) && pBuffer->WriteString(albumName) &&
           pBuffer->WriteString(devicePath) &&
           pBuffer->WriteUInt64(static_cast<uint64_t>(deviceId));
  }

  int32_t kind = 0;
  uint32_t error = 0;
  int64_t timeStamp = 0;
  uint64_t uploadTime = 0;
  int64_t fileSize = 0;
  std::string fileName;
  std::string albumName;
  std::string devicePath;
  int64_t deviceId = 0;
};

// The request in the command's body, checked for the fixed check code. Logs the handler's
// decode line when it is not there.
template <class TRequest>
bool ParseRequest(CClientCommand* pCommand, const char* pHandler, TRequest* pRequest) {
  const uint8_t* pBody = nullptr;
  uint32_t length = 0;
  if (!pCommand->GetBody(&pBody, &length) || !pRequest->ParseFromArray(pBody, length) ||
      pRequest->check_code() != CClientCommMgr::kCheckCode) {
    DLL_LOG("%s failed because of decode, cmd=%u, src=%" PRId64, pHandler, pCommand->GetCommandId(),
            pCommand->GetSourceId());
    return false;
  }
  return true;
}

void SendReply(CClientCommand* pRequest, const google::protobuf::MessageLite& body,
               uint16_t result) {
  std::string bytes;
  // Partial: a reply is sent as built, never aborted over a field left unset.
  if (!body.SerializePartialToString(&bytes)) return;
  CClientCommand* pReply = CClientCommand::CreateReply(pRequest);
  if (!pReply) return;
  if (pReply->SetBody(bytes.data(), static_cast<uint32_t>(bytes.size()))) {
    pReply->SetResult(result);
    CClientCommMgr::Instance()->SendCommand(pReply, true);
  }
  pReply->Release();
}

void SendNextReply(CClientCommand* pRequest, const protocol::C2CPhoneUploadFileNextReq& request,
                   uint16_t result) {
  protocol::C2CPhoneUploadFileNextResp reply;
  reply.set_check_code(CClientCommMgr::kCheckCode);
  reply.set_start_position(request.start_position());
  reply.set_data_len(request.data_len());
  SendReply(pRequest, reply, result);
}

std::string FileInfoBytes(const CFileUploadMgr::FileItem& item) {
  protocol::UIUploadFileInfo info;
  info.set_device_id(item.m_deviceId);
  info.set_file_id(static_cast<int32_t>(item.m_fileId));
  info.set_file_device_path(item.m_devicePath);
  info.set_file_device_subpath(item.m_subPath);
  info.set_file_timestamp(item.m_timeStamp);
  info.set_file_size(item.m_fileSize);
  info.set_file_scrc64(item.m_scrc64);
  info.set_album_name(item.m_albumName);
  info.set_location(item.m_location);
  info.set_file_path(WideToUtf8(item.m_savePath));
  std::string bytes;
  info.SerializePartialToString(&bytes);
  return bytes;
}

}  // namespace

CFileUploadMgr::CFileUploadMgr()
    : m_hQueueEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      m_nextFileId(RandomFirstFileId()) {
  InitCriticalSection(&m_assistLock);
  InitCriticalSection(&m_queueLock);
  g_deviceOfflineHandler.store(&CFileUploadMgr::OnDeviceOfflineHook);
}

CFileUploadMgr::~CFileUploadMgr() {
  DeviceOfflineHandler pExpected = &CFileUploadMgr::OnDeviceOfflineHook;
  g_deviceOfflineHandler.compare_exchange_strong(pExpected, nullptr);
  // The owner stopped the thread (CABThread's rule); what is left is only freed.
  ReleaseQueuedCommands();
  ReleaseItems();
  // The assistant belongs to the host, which may be gone at exit; it is left alone.
  if (m_hQueueEvent) CloseHandle(m_hQueueEvent);
  DeleteCriticalSection(&m_queueLock);
  DeleteCriticalSection(&m_assistLock);
}

HRESULT CFileUploadMgr::QueryInterface(REFIID riid, void** ppObject) {
  if (!ppObject) return E_INVALIDARG;
  if (riid != IID_IUnknown && riid != IID_IOrbalynUploader) {
    *ppObject = nullptr;
    return E_NOINTERFACE;
  }
  *ppObject = static_cast<IOrbalynUploader*>(this);
  return S_OK;
}

ULONG CFileUploadMgr::AddRef() { return 1; }

ULONG CFileUploadMgr::Release() { return 1; }

HRESULT CFileUploadMgr::Advise(IOrbalynUploadAssist* pAssist) {
  if (!pAssist) return E_FAIL;
  ScopedLock lock(&m_assistLock);
  if (m_pAssist == pAssist) return S_OK;
  if (m_pAssist) return E_FAIL;
  pAssist->AddRef();  // dropped by Unadvise
  m_pAssist = pAssist;
  CObjectLifecycleMgr::Instance()->Register(pAssist);
  return S_OK;
}

HRESULT CFileUploadMgr::Unadvise() {
  IOrbalynUploadAssist* pAssist;
  {
    ScopedLock lock(&m_assistLock);
    pAssist = std::exchange(m_pAssist, nullptr);
  }
  if (pAssist) {
    // Waits until a call in progress on the upload thread has returned.
    CObjectLifecycleMgr::Instance()->Unregister(pAssist);
    pAssist->Release();
  }
  return S_OK;
}

int CFileUploadMgr::Start() {
  if (!m_hQueueEvent) return -1;
  return CABThread::Start();
}

int CFileUploadMgr::Stop(DWORD) {
  CABThread::Stop(INFINITE);
  ReleaseQueuedCommands();
  ReleaseItems();
  return 0;
}

void CFileUploadMgr::Enqueue(CClientCommand* pCommand) {
  if (!pCommand) return;
  pCommand->AddRef();  // the queue's: dropped after Dispatch, or by Stop
  {
    ScopedLock lock(&m_queueLock);
    m_queue.push_back(pCommand);
  }
  SetEvent(m_hQueueEvent);
}

void CFileUploadMgr::NotifyDeviceOffline(int64_t deviceId) {
  QueueInternal(kCommandDeviceOffline, deviceId);
}

void CFileUploadMgr::NotifyDeviceUnbound(int64_t deviceId) {
  QueueInternal(kCommandDeviceUnbound, deviceId);
}

uint16_t CFileUploadMgr::ResultFromError(uint32_t error) {
  switch (error) {
    case 0:
      return 0;
    case ERROR_HANDLE_DISK_FULL:
      return kResultDiskFull;
    case ERROR_NOT_DOS_DISK:
      return kResultNotDisk;
    default:
      return kResultGeneral;
  }
}

void CFileUploadMgr::SetPeriodsForTesting(DWORD wakeMs, DWORD idleMs) {
  m_wakeMs.store(wakeMs != 0 ? wakeMs : kDefaultWakeMs);
  m_idleMs.store(idleMs != 0 ? idleMs : kDefaultIdleMs);
  SetEvent(m_hQueueEvent);  // the running wait takes the new period at once
}

size_t CFileUploadMgr::ItemCountForTesting() { return m_itemCount.load(); }

void CFileUploadMgr::Run() {
  const HANDLE events[2] = {StopEvent(), m_hQueueEvent};
  uint64_t lastExpiry = GetTickCount64();
  for (;;) {
    const DWORD wakeMs = m_wakeMs.load();
    const DWORD result = WSAWaitForMultipleEvents(2, events, FALSE, wakeMs, FALSE);
    if (result == WSA_WAIT_TIMEOUT) {
      ExpireItems();
      lastExpiry = GetTickCount64();
      continue;
    }
    if (result != WSA_WAIT_EVENT_0 + 1) {
      if (result != WSA_WAIT_EVENT_0) DLL_LOG("CFileUploadMgr: WSAWaitForMultipleEvents Error");
      break;
    }
    while (CClientCommand* pCommand = PopCommand()) {
      Dispatch(pCommand);
      pCommand->Release();  // the queue's
    }
    // A steady stream of commands never lets the wait time out; idle items of other phones
    // still end on time.
    if (GetTickCount64() - lastExpiry >= wakeMs) {
      ExpireItems();
      lastExpiry = GetTickCount64();
    }
  }
  // The assistant hears of every path it handed out, so it can free the names.
  for (auto& entry : m_items) {
    FileItem* pItem = entry.second;
    if (!pItem->m_endPending) continue;
    pItem->m_endPending = false;
    if (pItem->m_error == 0) pItem->m_error = ERROR_OPERATION_ABORTED;
    CallUploadEnd(pItem);
  }
  ReleaseItems();
  ReleaseQueuedCommands();
}

void CFileUploadMgr::OnDeviceOfflineHook(int64_t deviceId) {
  Instance()->NotifyDeviceOffline(deviceId);
}

void CFileUploadMgr::QueueInternal(uint16_t commandId, int64_t deviceId) {
  CClientCommand* pCommand = CClientCommand::Create(CClientCommand::kHeaderSize);
  if (!pCommand) return;
  if (pCommand->InitHeader(commandId, CClientCommand::kHeaderSize)) {
    pCommand->SetSourceId(deviceId);
    Enqueue(pCommand);
  }
  pCommand->Release();
}

CClientCommand* CFileUploadMgr::PopCommand() {
  ScopedLock lock(&m_queueLock);
  if (m_queue.empty()) return nullptr;
  CClientCommand* pCommand = m_queue.front();
  m_queue.pop_front();
  return pCommand;
}

void CFileUploadMgr::ReleaseQueuedCommands() {
  std::deque<CClientCommand*> dropped;
  {
    ScopedLock lock(&m_queueLock);
    dropped.swap(m_queue);
  }
  for (CClientCommand* pCommand : dropped) pCommand->Release();
}

void CFileUploadMgr::ReleaseItems() {
  std::map<uint32_t, FileItem*> items;
  items.swap(m_items);
  m_itemCount.store(0);
  for (auto& entry : items) entry.second->Release();
}

void CFileUploadMgr::Dispatch(CClientCommand* pCommand) {
  switch (pCommand->GetCommandId()) {
    case kCommandUploadFiles:
      OnCommand_UploadFiles(pCommand);
      break;
    case kCommandUploadFirst:
      OnCommand_UploadFirst(pCommand);
      break;
    case kCommandUploadNext:
      OnCommand_UploadNext(pCommand);
      break;
    case kCommandUploadFinish:
      OnCommand_UploadFinish(pCommand);
      break;
    case kCommandDeviceUnbound:
      FailDeviceItems(pCommand->GetSourceId(), kErrorUnbound);
      break;
    case kCommandDeviceOffline:
      FailDeviceItems(pCommand->GetSourceId(), kErrorOffline);
      break;
    default:
      break;
  }
}

void CFileUploadMgr::OnCommand_UploadFiles(CClientCommand* pCommand) {
  protocol::C2CPhoneUploadFilesReq request;
  if (!ParseRequest(pCommand, "OnCommand_UploadFiles", &request)) return;
  const int64_t deviceId = pCommand->GetSourceId();
  CPhotoDevice* pDevice = CPhotoDb::Instance()->FindOrCreateDevice(deviceId, false);
  if (!pDevice) return;
  protocol::C2CPhoneUploadFilesResp reply;
  reply.set_check_code(CClientCommMgr::kCheckCode);
  SendReply(pCommand, reply, 0);
  const uint8_t* pBody = nullptr;
  uint32_t length = 0;
  pCommand->GetBody(&pBody, &length);
  CPhotoMessage* pMessage = new (std::nothrow) CPhotoMessage(
      UIMsg_upload_batch, request.files_total(), deviceId, request.files_ok(),
      request.files_failed(), request.f_pic_total(), request.f_video_ok(), pBody, length);
  if (pMessage) {
    CLogicCenter::Instance()->QueueUiMessage(pMessage);
    pMessage->Release();
  }
  DLL_LOG("OnCommand_UploadFiles Device[%" PRId64
          "]: Total:%d, ok=%d, failed=%d, picTotal=%d, picOk=%d, videoTotal=%d, videoOk=%d!!",
          deviceId, request.files_total(), request.files_ok(), request.files_failed(),
          request.f_pic_total(), request.f_pic_ok(), request.f_video_total(), request.f_video_ok());
  pDevice->Release();
}

void CFileUploadMgr::OnCommand_UploadFinish(CClientCommand* pCommand) {
  protocol::C2CPhoneUploadFinishReq request;
  if (!ParseRequest(pCommand, "OnCommand_UploadFinish", &request)) return;
  const int64_t deviceId = pCommand->GetSourceId();
  CPhotoDevice* pDevice = CPhotoDb::Instance()->FindOrCreateDevice(deviceId, false);
  if (!pDevice) return;
  protocol::C2CPhoneUploadFinishResp reply;
  reply.set_check_code(CClientCommMgr::kCheckCode);
  SendReply(pCommand, reply, 0);
  const uint8_t* pBody = nullptr;
  uint32_t length = 0;
  pCommand->GetBody(&pBody, &length);
  CLogicCenter::Instance()->PostUiMessagePayload(
      request.has_files_left() ? request.files_left() : -1, deviceId, pBody, length);
  FailDeviceItems(deviceId, kErrorSessionFinished);
  DLL_LOG("OnCommand_UploadFinish Device[%" PRId64 "]: Total:%d, ok=%d!!", deviceId,
          request.files_total(), request.files_ok());
  pDevice->Release();
}

void CFileUploadMgr::OnCommand_UploadFirst(CClientCommand* pCommand) {
  ExpireItems();
  protocol::C2CPhoneUploadFileFirstReq request;
  if (!ParseRequest(pCommand, "OnCommand_UploadFirst", &request)) return;
  const int64_t deviceId = pCommand->GetSourceId();
  CPhotoDevice* pDevice = CPhotoDb::Instance()->FindOrCreateDevice(deviceId, false);
  if (!pDevice) return;

  protocol::C2CPhoneUploadFileFirstResp reply;
  reply.set_check_code(CClientCommMgr::kCheckCode);
  FileItem* pItem = nullptr;
  // A negative size names no file, and a time stamp no file time can hold would leave a file
  // with another time, which the next announcement would not know as the same: both are
  // refused before the assistant is asked or anything is written.
  FILETIME fileTime;
  if (request.file_size() >= 0 &&
      FileItem::TimeStampToFileTime(request.file_timestamp(), &fileTime)) {
    pItem = FindOrCreateItem(pCommand, deviceId, &request);
  }
  if (!pItem) {
    DLL_LOG("OnCommand_UploadFirst refused: Device[%" PRId64 "], DevicePath[%s], FileSize[%" PRId64
            "]",
            deviceId, request.file_path().c_str(), request.file_size());
    reply.set_need_upload(true);
    reply.set_start_position(0);
    reply.set_file_id(0);
    SendReply(pCommand, reply, kResultGeneral);
    pDevice->Release();
    return;
  }

  pItem->m_session = pCommand->GetSequence();
  pItem->m_lastActivity = GetTickCount64();
  const bool ended = CheckEnd(pItem);
  NotifyBegin(pItem);

  reply.set_need_upload(pItem->m_needUpload);
  reply.set_start_position(pItem->m_position);
  reply.set_file_id(static_cast<int32_t>(pItem->m_fileId));
  SendReply(pCommand, reply, ResultFromError(pItem->m_error));
  DLL_LOG("Begin upload file from %s Device[%" PRId64
          "], FileId[%u], DevicePath[%s] "
          "NeedUpload: %s, ErrorCode: %u, SavePath[%s] TimeStamp[%" PRId64 "], SCrc64[%" PRId64
          "], FileSize[%" PRId64 "],  StartFrom[%" PRId64 "], NotifyState[%u]",
          RouteName(pCommand), deviceId, pItem->m_fileId, pItem->m_devicePath.c_str(),
          pItem->m_needUpload ? "Yes" : "No", pItem->m_error, WideToAnsi(pItem->m_savePath).c_str(),
          pItem->m_timeStamp, pItem->m_scrc64, pItem->m_fileSize, pItem->m_position,
          pItem->m_notifyState);

  if (ended) {
    if (NotifyResult(pItem))
      SendUploadReport(pItem, pCommand->IsRelayed() ? kKindRelayed : kKindLocal);
    EraseItem(pItem);
    DLL_LOG("OnCommand_UploadFirst: Upload File[%u] Finished: error=%u, filesize=%" PRId64,
            pItem->m_fileId, pItem->m_error, pItem->m_fileSize);
  }
  pDevice->Release();
  pItem->Release();  // the caller's
}

void CFileUploadMgr::OnCommand_UploadNext(CClientCommand* pCommand) {
  // The chunk's bytes stay in the command's buffer until they are written.
  CUploadChunkRequest chunk;
  if (!ParseRequest(pCommand, "OnCommand_UploadNext", &chunk)) return;
  const protocol::C2CPhoneUploadFileNextReq& request = chunk.Message();
  const int64_t deviceId = pCommand->GetSourceId();
  CPhotoDevice* pDevice = CPhotoDb::Instance()->FindOrCreateDevice(deviceId, false);
  if (!pDevice) return;

  const uint32_t fileId = static_cast<uint32_t>(request.file_id());
  FileItem* pItem = FindItem(fileId);
  // The size must match too: a file id kept by a phone from before a restart must not land
  // in another file that happens to carry it now.
  if (!pItem || pItem->m_session != pCommand->GetSequence() ||
      pItem->m_fileSize != request.file_size()) {
    DLL_LOG("Error: Request file[id=%u] not exist, maybe change channel.", fileId);
    SendNextReply(pCommand, request, kResultGeneral);
    pDevice->Release();
    return;
  }
  pItem->m_lastActivity = GetTickCount64();
  if (pItem->m_deviceId != deviceId) {
    DLL_LOG("OnCommand_UploadNext failed, DeviceId is not match, src=%" PRId64
            ", file deviceid=%" PRId64,
            deviceId, pItem->m_deviceId);
    pDevice->Release();
    return;
  }
  pItem->AddRef();  // ours: the map's may go below
  pItem->Write(request.start_position(), chunk.DataLength(), chunk.Data());
  if (CheckEnd(pItem)) {
    if (NotifyResult(pItem))
      SendUploadReport(pItem, pCommand->IsRelayed() ? kKindRelayed : kKindLocal);
    EraseItem(pItem);
    DLL_LOG("Upload File[%u] Finished: error=%u", pItem->m_fileId, pItem->m_error);
  } else {
    NotifyProgress(pItem);
  }
  SendNextReply(pCommand, request, ResultFromError(pItem->m_error));
  if (pItem->m_error != 0) {
    DLL_LOG("OnCommand_UploadNext resp error, file=%u, error=%u", pItem->m_fileId, pItem->m_error);
  }
  pItem->Release();
  pDevice->Release();
}

CFileUploadMgr::FileItem* CFileUploadMgr::FindOrCreateItem(
    CClientCommand* pCommand, int64_t deviceId,
    const protocol::C2CPhoneUploadFileFirstReq* pRequest) {
  for (auto& entry : m_items) {
    FileItem* pItem = entry.second;
    if (pItem->m_fileSize != pRequest->file_size() ||
        pItem->m_timeStamp != pRequest->file_timestamp() ||
        pItem->m_devicePath != pRequest->file_path() ||
        (pItem->m_scrc64 != 0 && pRequest->file_scrc64() != 0 &&
         pItem->m_scrc64 != pRequest->file_scrc64())) {
      continue;
    }
    // Another phone's live file is not handed over: its chunks would be dropped and the new
    // sender's bytes would land in the other phone's folder.
    if (pItem->m_deviceId != deviceId) {
      DLL_LOG("Found Same File in tow device, DeviceOld=%" PRId64 ", DeviceNew=%" PRId64
              ", not taken over",
              pItem->m_deviceId, deviceId);
      continue;
    }
    pItem->AddRef();  // the caller's
    return pItem;
  }

  FileItem* pItem = new (std::nothrow) FileItem(NextFileId());
  if (!pItem) return nullptr;
  pItem->m_deviceId = deviceId;
  pItem->m_fileSize = pRequest->file_size();
  pItem->m_timeStamp = pRequest->file_timestamp();
  pItem->m_scrc64 = pRequest->file_scrc64();
  pItem->m_session = pCommand->GetSequence();
  pItem->m_devicePath = pRequest->file_path();
  pItem->m_hasSubPath = pRequest->has_file_sub_path();
  if (pItem->m_hasSubPath) pItem->m_subPath = pRequest->file_sub_path();
  pItem->m_albumName = pRequest->album_name();
  pItem->m_location = pRequest->location();
  QuerySavePath(pItem);
  if (pItem->m_error == 0 && pItem->m_needUpload) pItem->Open();
  if (pItem->m_needUpload && pItem->m_error == 0) {
    pItem->AddRef();  // the map's: dropped by EraseItem or ReleaseItems
    m_items[pItem->m_fileId] = pItem;
    m_itemCount.store(m_items.size());
  }
  return pItem;
}

CFileUploadMgr::FileItem* CFileUploadMgr::FindItem(uint32_t fileId) {
  auto it = m_items.find(fileId);
  return it == m_items.end() ? nullptr : it->second;
}

void CFileUploadMgr::EraseItem(FileItem* pItem) {
  auto it = m_items.find(pItem->m_fileId);
  if (it == m_items.end() || it->second != pItem) return;
  m_items.erase(it);
  m_itemCount.store(m_items.size());
  pItem->Release();  // the map's
}

uint32_t CFileUploadMgr::NextFileId() {
  uint32_t fileId = m_nextFileId;
  m_nextFileId = fileId >= kLastFileId ? 1 : fileId + 1;
  return fileId;
}

void CFileUploadMgr::QuerySavePath(FileItem* pItem) {
  const std::string info = FileInfoBytes(*pItem);
  CPhotoMessage* pMessage = new (std::nothrow)
      CPhotoMessage(UIMsg_upload_begin, 0, pItem->m_deviceId, static_cast<int>(pItem->m_fileId),
                    0, 0, 0, info.data(), info.size());
  if (!pMessage) {
    pItem->m_error = ERROR_NOT_ENOUGH_MEMORY;
    return;
  }
  BSTR path = nullptr;
  HRESULT result = E_ABORT;
  bool asked = false;
  {
    ScopedLock lock(&m_assistLock);
    IOrbalynUploadAssist* pAssist = m_pAssist;
    CLifecycleGuard guard;
    if (pAssist) {
      pAssist =
          static_cast<IOrbalynUploadAssist*>(CObjectLifecycleMgr::Instance()->Use(pAssist, &guard));
    }
    lock.Unlock();
    if (pAssist) {
      asked = true;
      result = pAssist->QuerySavePath(pMessage, &path);
    }
  }
  pMessage->Release();
  if (!asked) {
    pItem->m_error = static_cast<uint32_t>(E_ABORT);
    return;
  }
  std::u16string savePath = path ? std::u16string(path, SysStringLen(path)) : std::u16string();
  SysFreeString(path);
  // Every path handed out is answered by OnUploadEnd, whatever else becomes of the file, so
  // the assistant can free the job and the name.
  pItem->m_endPending = result == S_OK && !savePath.empty();
  if (result == S_OK) pItem->m_savePath = savePath;
  // A name with a NUL would be cut at the system call: the file would land under a path the
  // user interface was never told.
  if (result == S_OK && savePath.find(u'\0') != std::u16string::npos) {
    result = static_cast<HRESULT>(ERROR_INVALID_NAME);
  }
  pItem->m_needUpload = !savePath.empty() || result != S_OK;
  pItem->m_error = static_cast<uint32_t>(result);
  if (result != S_OK) {
    DLL_LOG("Upload Assist error: 0x%08x, fileid=%u, devicepath=%s", static_cast<uint32_t>(result),
            pItem->m_fileId, pItem->m_devicePath.c_str());
  }
}

void CFileUploadMgr::CallUploadEnd(FileItem* pItem) {
  BSTR savePath =
      SysAllocStringLen(pItem->m_savePath.data(), static_cast<UINT>(pItem->m_savePath.size()));
  {
    ScopedLock lock(&m_assistLock);
    IOrbalynUploadAssist* pAssist = m_pAssist;
    CLifecycleGuard guard;
    if (pAssist) {
      pAssist =
          static_cast<IOrbalynUploadAssist*>(CObjectLifecycleMgr::Instance()->Use(pAssist, &guard));
    }
    lock.Unlock();
    if (pAssist) {
      pAssist->OnUploadEnd(static_cast<int>(pItem->m_fileId), savePath,
                           static_cast<HRESULT>(pItem->m_error));
    }
  }
  SysFreeString(savePath);
}

bool CFileUploadMgr::CheckEnd(FileItem* pItem) {
  if (pItem->m_needUpload && !pItem->IsComplete() && pItem->m_error == 0) return false;
  if (pItem->m_endPending) {
    pItem->m_endPending = false;
    pItem->OnUploadComplete();
    CallUploadEnd(pItem);
  } else {
    DLL_LOG("CheckEnd without EndUpload!");
  }
  return true;
}

void CFileUploadMgr::EndItemWith(FileItem* pItem, uint32_t error) {
  if (!CheckEnd(pItem)) {
    pItem->m_error = error;
    CheckEnd(pItem);
  }
  if (NotifyResult(pItem)) SendUploadReport(pItem, kKindEnded);
  EraseItem(pItem);
}

void CFileUploadMgr::ExpireItems() {
  const uint64_t now = GetTickCount64();
  const uint64_t idleMs = m_idleMs.load();
  std::vector<FileItem*> expired;
  for (auto& entry : m_items) {
    if (now - entry.second->m_lastActivity > idleMs) {
      entry.second->AddRef();  // ours, across EndItemWith
      expired.push_back(entry.second);
    }
  }
  for (FileItem* pItem : expired) {
    EndItemWith(pItem, kErrorIdle);
    pItem->Release();
  }
}

void CFileUploadMgr::FailDeviceItems(int64_t deviceId, uint32_t error) {
  std::vector<FileItem*> failed;
  for (auto& entry : m_items) {
    if (entry.second->m_deviceId == deviceId) {
      entry.second->AddRef();  // ours, across EndItemWith
      failed.push_back(entry.second);
    }
  }
  for (FileItem* pItem : failed) {
    EndItemWith(pItem, error);
    pItem->Release();
  }
}

void CFileUploadMgr::NotifyBegin(FileItem* pItem) {
  if (pItem->m_notifyState != FileItem::kNotifyNone) {
    DLL_LOG("NotifyBegin Failed: fileid=%u, state=%u, id=%" PRId64, pItem->m_fileId,
            pItem->m_notifyState, pItem->m_deviceId);
    return;
  }
  const std::string info = FileInfoBytes(*pItem);
  CPhotoMessage* pMessage = new (std::nothrow)
      CPhotoMessage(UIMsg_upload_begin, 0, pItem->m_deviceId, static_cast<int>(pItem->m_fileId),
                    0, 0, 0, info.data(), info.size());
  if (pMessage) {
    CLogicCenter::Instance()->QueueUiMessage(pMessage);
    pMessage->Release();
  }
  pItem->m_notifyState = FileItem::kNotifyBegun;
  DLL_LOG("NotifyBegin: fileid=%u, error=%u, id=%" PRId64, pItem->m_fileId, pItem->m_error,
          pItem->m_deviceId);
}

void CFileUploadMgr::NotifyProgress(FileItem* pItem) {
  if (pItem->m_notifyState != FileItem::kNotifyBegun &&
      pItem->m_notifyState != FileItem::kNotifyProgress) {
    return;
  }
  if (pItem->m_error != 0 || pItem->m_fileSize <= 0) return;
  const int permille =
      static_cast<int>(static_cast<__int128>(pItem->m_position) * 1000 / pItem->m_fileSize);
  CLogicCenter::Instance()->PostUiMessage(UIMsg_upload_progress, permille, pItem->m_deviceId,
                                          static_cast<int>(pItem->m_fileId), 0);
  pItem->m_notifyState = FileItem::kNotifyProgress;
}

bool CFileUploadMgr::NotifyResult(FileItem* pItem) {
  if (pItem->m_notifyState != FileItem::kNotifyBegun &&
      pItem->m_notifyState != FileItem::kNotifyProgress) {
    DLL_LOG("NotifyResult: IsNeedNotifyResult return FALSE, NotifyState=%u.", pItem->m_notifyState);
    return false;
  }
  const uint32_t received = static_cast<uint32_t>(pItem->m_position - pItem->m_positionAtOpen);
  CLogicCenter::Instance()->PostUiMessage(UIMsg_upload_result, static_cast<int>(pItem->m_error),
                                          pItem->m_deviceId, static_cast<int>(pItem->m_fileId),
                                          static_cast<int>(received));
  pItem->m_notifyState = FileItem::kNotifyResult;
  DLL_LOG("NotifyResult: fileid=%u, error=%u, id=%" PRId64, pItem->m_fileId, pItem->m_error,
          pItem->m_deviceId);
  return true;
}

void CFileUploadMgr::SendUploadReport(FileItem* pItem, int32_t kind) {
  CReportClientMgr* pClient = GetReportClientMgr();
  if (!pClient->IsInited() || !pClient->IsEnabled() ||
      !pClient->IsReportEnabled(kReportFileUpload) || !pClient->EnsureRecord()) {
    return;
  }
  UploadFileRecord record;
  record.kind = kind;
  record.error = pItem->m_error;
  record.timeStamp = pItem->m_timeStamp;
  record.uploadTime = static_cast<uint64_t>(time(nullptr));
  record.fileSize = pItem->m_fileSize;
  const size_t cut = pItem->m_savePath.find_last_of(u'\\');
  record.fileName = WideToUtf8(cut == std::u16string::npos ? pItem->m_savePath
                                                           : pItem->m_savePath.substr(cut + 1));
  record.albumName = pItem->m_albumName;
  record.devicePath = pItem->m_devicePath;
  record.deviceId = pItem->m_deviceId;
  pClient->SendReport(record, kReportFileUpload, kReportModeSend);
}
