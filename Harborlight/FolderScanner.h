#pragma once
// The picture of the backup folder the photo page shows: per phone, every picture and video
// found in its folder, filed by month and day, newest first. A scan walks a phone's folder on a
// worker thread of its own and tells the page on the UI thread, through a message-only window,
// when it is done; the page then adds the photos that arrive and asks where a photo sits in its
// day.
//
// Lifetime: one process-wide instance, built on first use on the UI thread and destroyed at exit,
// when scans still running are asked to stop and are joined. Records are kept for the process's
// life.
// Threading: everything but the walks runs on the UI thread (the window's thread). A walk fills
// only its own record and then sets the record's complete flag (release); the UI thread hands a
// record out only once it reads the flag set (acquire), so no lock guards the records. The
// thread list is the UI thread's too.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "win32/window.h"

class CImageShowPageAdapter;

// A photo of a day: milliseconds since local midnight of its last write, and its full path.
struct ScanPhoto {
  int32_t time;
  std::u16string path;
};

struct ScanDay {
  int32_t dayKey;  // year * 10000 + month * 100 + day
  // Newest first; photos of the same millisecond in the order the walk met them. One list
  // rather than parallel ones, so a photo's time and path can never part.
  std::vector<ScanPhoto> photos;
};

struct ScanMonth {
  std::vector<ScanDay> days;  // largest day key first
  int32_t monthKey;           // year * 100 + month
};

struct ScanDevice {
  int64_t deviceId;                 // UI thread only
  std::vector<ScanMonth> months;    // largest month key first
  std::atomic<int32_t> complete{0};  // 1 once the walk ended (release / acquire)
};

class CFolderScanner {
 public:
  // Answers of FindDevice.
  static constexpr int kComplete = 1;
  static constexpr int kScanning = 2;
  static constexpr int kNeverScanned = 3;
  // The message a finished walk posts to the window, with the device id as lParam.
  static constexpr win32::UINT kScanDoneMessage = 0x8D2;

  // The instance, built at the first call (which must be on the UI thread).
  static CFolderScanner& Instance();

  CFolderScanner(const CFolderScanner&) = delete;
  CFolderScanner& operator=(const CFolderScanner&) = delete;
  ~CFolderScanner();

  // The page whose OnScanDone hears finished scans; null stops the calls.
  void SetSink(CImageShowPageAdapter* pSink) { m_pSink = pSink; }
  // Walks `folder` (Windows form, any length) for the phone on a new thread, into a new record.
  // A folder that is empty, relative or holds a "." or ".." part is not walked: its record is
  // complete and empty at once, and its end is posted as a walk's.
  void StartScan(int64_t deviceId, const std::u16string& folder);
  // kNeverScanned when no record has the id; kScanning while none of them is complete; else
  // kComplete with the last complete record in *ppDevice.
  int FindDevice(int64_t deviceId, ScanDevice** ppDevice);
  // Records a photo that arrived after the walk at the front of its day (making the day when
  // the index has none, so the index always holds what the page shows). Nothing while the
  // phone has no complete record.
  void AddPhoto(int64_t deviceId, int dayKey, const std::u16string& path, int32_t time);
  // The phone's records (and a walk still running for it) answer to the new id from now on.
  void ChangeDeviceId(int64_t newId, int64_t oldId);

  // Files a photo under its day in a record being built, after the day's photos met so far;
  // FinishRecord puts each day in time order afterwards.
  static void InsertPhoto(int dayKey, const std::u16string& path, ScanDevice* pRecord,
                          int32_t time);
  // Orders each day newest first, photos of equal time kept in the order they were filed.
  static void FinishRecord(ScanDevice* pRecord);

  // Walks still running or not yet joined.
  size_t ThreadCountForTesting();
  // Waits for the walks, then forgets every record, so a test starts with none.
  void ForgetRecordsForTesting();

 private:
  struct ScanThread {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> pDone;
  };

  CFolderScanner();

  static win32::LRESULT WindowProc(win32::HWND hwnd, win32::UINT message, win32::WPARAM wParam,
                                   win32::LPARAM lParam);
  // The walk's thread: fills the record, marks it complete, posts the id to the window.
  static void ScanThreadProc(win32::HWND hwnd, int64_t deviceId, std::u16string folder,
                             ScanDevice* pRecord, const std::atomic<bool>* pStop,
                             std::atomic<bool>* pDone);
  static void ScanDeviceFolders(const std::u16string& root, ScanDevice* pRecord,
                                const std::atomic<bool>& stop);
  static void ScanFolder(const std::u16string& folder, ScanDevice* pRecord, int depth,
                         const std::atomic<bool>& stop);
  void OnScanDone(int64_t deviceId);
  // Joins the walks that ended.
  void ReapThreads();

  // Set in the constructor, then constant
  win32::HWND m_hwnd = nullptr;

  // UI thread only
  std::vector<std::unique_ptr<ScanDevice>> m_devices;
  CImageShowPageAdapter* m_pSink = nullptr;  // not owned
  std::vector<ScanThread> m_threads;
  std::map<int64_t, int64_t> m_renamed;  // old id -> new id, for walks that report late

  // Read by every walk at each entry
  std::atomic<bool> m_stopping{false};
};
