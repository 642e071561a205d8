#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <string>

#include "Interface/IOrbalyn.h"
#include "NetEngine/ABThread.h"
#include "Common/Singleton.h"
#include "Common/ThreadAnnotations.h"
#include "win32/sync.h"

class CClientCommand;
namespace protocol {
class C2CPhoneUploadFileFirstReq;
}

// Receives the phones' files. Upload commands forwarded by the phone command manager wait in a
// queue for the upload thread, which keeps one FileItem per file being received, asks the
// host's upload assistant where each file goes, writes the chunks into a partial file beside
// the target, answers the phone and tells the user interface how each file goes.
// Lifetime: process-wide singleton (static: AddRef and Release count nothing), destroyed at
//   exit. The root's Start starts the upload thread and its Stop ends it; they may alternate.
// Threading: Enqueue, NotifyDeviceOffline and NotifyDeviceUnbound run on any thread (mostly
//   the I/O thread) and touch only the queue, under m_queueLock. Advise and Unadvise run on the
//   host's thread; m_assistLock guards the assistant pointer and is held while the lifecycle
//   manager hands out its guard (order: m_assistLock, then the manager's locks), never during
//   the call itself; Unadvise thus waits for a call in progress. The item map, the
//   items and everything the handlers do belong to the upload thread alone (and to Stop once
//   that thread has ended). Replies leave from the upload thread through the phone command
//   manager, whose channel lock makes that safe. The two locks are never held together.
class CFileUploadMgr final : public IOrbalynUploader,
                             public CABThread,
                             public Singleton<CFileUploadMgr> {
 public:
  class FileItem;

  // Internal commands: a header only, the device id as source.
  static constexpr uint16_t kCommandDeviceOffline = 0xFFFF;
  static constexpr uint16_t kCommandDeviceUnbound = 0xFFFE;

  // Item errors besides Windows errors and the assistant's HRESULTs.
  static constexpr uint32_t kErrorIdle = 258;
  static constexpr uint32_t kErrorUnbound = 10049;
  static constexpr uint32_t kErrorOffline = 10053;
  static constexpr uint32_t kErrorSessionFinished = 10054;

  // Result codes of the reply header.
  static constexpr uint16_t kResultGeneral = 11001;
  static constexpr uint16_t kResultDiskFull = 11002;
  static constexpr uint16_t kResultNotDisk = 11003;

  // Default periods: the thread wakes this often to drop idle items, and an item without a
  // command for longer than the idle period ends with kErrorIdle.
  static constexpr win32::DWORD kDefaultWakeMs = 10000;
  static constexpr win32::DWORD kDefaultIdleMs = 30000;

  CFileUploadMgr(const CFileUploadMgr&) = delete;
  CFileUploadMgr& operator=(const CFileUploadMgr&) = delete;

  // IUnknown:
  win32::HRESULT STDMETHODCALLTYPE QueryInterface(win32::REFIID riid, void** ppObject) override;
  win32::ULONG STDMETHODCALLTYPE AddRef() override;
  win32::ULONG STDMETHODCALLTYPE Release() override;

  // IOrbalynUploader:
  win32::HRESULT STDMETHODCALLTYPE Advise(IOrbalynUploadAssist* pAssist) override;
  win32::HRESULT STDMETHODCALLTYPE Unadvise() override;

  // CABThread: Start starts the upload thread (-1 when it cannot). Stop sets the stop event,
  // waits for the thread without a time limit whatever timeoutMs says, then releases every
  // queued command and every item; the assistant hears the end (995) of each path it handed
  // out, so it can free the names.
  int Start() override;
  int Stop(win32::DWORD timeoutMs = win32::INFINITE) override;

  // Queues an upload command for the upload thread, with a reference of the queue's own.
  void Enqueue(CClientCommand* pCommand);
  // The phone is offline both ways: its uploads end with kErrorOffline.
  void NotifyDeviceOffline(int64_t deviceId);
  // The user unbound the phone: its uploads end with kErrorUnbound.
  void NotifyDeviceUnbound(int64_t deviceId);

  // Result code of the reply header for an item's error.
  static uint16_t ResultFromError(uint32_t error);

  // Tests only: shorter periods (0 restores the default), and the number of live items.
  void SetPeriodsForTesting(win32::DWORD wakeMs, win32::DWORD idleMs);
  size_t ItemCountForTesting();

 protected:
  // CABThread:
  void Run() override;

 private:
  friend class Singleton<CFileUploadMgr>;

  CFileUploadMgr();
  ~CFileUploadMgr() override;

  static void OnDeviceOfflineHook(int64_t deviceId);

  void QueueInternal(uint16_t commandId, int64_t deviceId);
  // The oldest queued command with the queue's reference, or null.
  CClientCommand* PopCommand();
  void ReleaseQueuedCommands();
  void ReleaseItems();

  void Dispatch(CClientCommand* pCommand);
  void OnCommand_UploadFiles(CClientCommand* pCommand);
  void OnCommand_UploadFinish(CClientCommand* pCommand);
  void OnCommand_UploadFirst(CClientCommand* pCommand);
  void OnCommand_UploadNext(CClientCommand* pCommand);

  // The live item of the announced file from the same phone, or a new one (named by the
  // assistant and opened), with a reference for the caller; null when memory runs out. Only a
  // new item that needs upload and has no error enters the map.
  FileItem* FindOrCreateItem(CClientCommand* pCommand, int64_t deviceId,
                             const protocol::C2CPhoneUploadFileFirstReq* pRequest);
  // The live item of that id, or null; no reference added.
  FileItem* FindItem(uint32_t fileId);
  void EraseItem(FileItem* pItem);
  uint32_t NextFileId();

  // Asks the assistant, synchronously, for the save path and fills need upload, end pending,
  // error and save path of a new item. No assistant: E_ABORT.
  void QuerySavePath(FileItem* pItem);
  // Tells the assistant that the item's upload ended.
  void CallUploadEnd(FileItem* pItem);

  // Whether the item has ended (no upload wanted, complete, or an error). An ended item with a
  // save path is completed (or left as a partial file) and the assistant is told, once.
  bool CheckEnd(FileItem* pItem);
  // Ends a live item, with `error` unless it had ended already, tells the user interface and
  // drops it from the map.
  void EndItemWith(FileItem* pItem, uint32_t error);
  // Items idle for longer than the idle period end with kErrorIdle.
  void ExpireItems();
  void FailDeviceItems(int64_t deviceId, uint32_t error);

  void NotifyBegin(FileItem* pItem);
  void NotifyProgress(FileItem* pItem);
  bool NotifyResult(FileItem* pItem);
  // Statistics report of a finished file; kind -1, 1 (local) or 2 (relayed).
  void SendUploadReport(FileItem* pItem, int32_t kind);

  // Set in the constructor, then constant. Auto-reset; set whenever a command is queued.
  const win32::HANDLE m_hQueueEvent;

  std::atomic<win32::DWORD> m_wakeMs{kDefaultWakeMs};
  std::atomic<win32::DWORD> m_idleMs{kDefaultIdleMs};

  win32::CRITICAL_SECTION m_assistLock;
  // One reference held; registered with the lifecycle manager while set.
  IOrbalynUploadAssist* m_pAssist GUARDED_BY(m_assistLock) = nullptr;

  win32::CRITICAL_SECTION m_queueLock;
  // Each entry holds one reference.
  std::deque<CClientCommand*> m_queue GUARDED_BY(m_queueLock);

  // Upload thread only (and Stop after the thread ended). Each item holds the map's reference.
  std::map<uint32_t, FileItem*> m_items;
  // The id of the next new item; starts at a random value per run so that a stale file id from
  // before a restart does not name a new file.
  uint32_t m_nextFileId;
  // Live item count, readable from any thread for tests.
  std::atomic<size_t> m_itemCount{0};
};
