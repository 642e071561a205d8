#include "FolderScanner.h"

#include <algorithm>
#include <string_view>

#include "BackupFolder.h"
#include "ImageShowPageAdapter.h"
#include "WindowHelpers.h"
#include "win32/file.h"
#include "win32/module.h"
#include "win32/time.h"

using namespace win32;

namespace {

constexpr WCHAR kWindowClass[] = u"HarborlightFolderScanner";
constexpr DWORD kWindowStyle = 0x56000000;
constexpr int kFolderDepth = 4;

CFolderScanner* g_pScanner = nullptr;  // the instance, for the window procedure

static_assert(sizeof(LPARAM) >= sizeof(int64_t), "the device id travels as lParam");

bool IsTakenName(std::u16string_view name) {
  static constexpr std::u16string_view kEndings[] = {u"jpg", u"bmp", u"png", u"gif", u"peg",
                                                     u"avi", u"mvb", u"asf", u".rm", u"ivx",
                                                     u"wmv", u"mp4", u"mkv", u"vob", u"3gp"};
  if (name.size() < 3) return false;
  char16_t ending[3];
  for (int i = 0; i < 3; ++i) {
    char16_t c = name[name.size() - 3 + i];
    ending[i] = c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
  }
  std::u16string_view last(ending, 3);
  return std::find(std::begin(kEndings), std::end(kEndings), last) != std::end(kEndings);
}

bool IsDotName(const WCHAR* pName) {
  return (pName[0] == u'.' && pName[1] == 0) ||
         (pName[0] == u'.' && pName[1] == u'.' && pName[2] == 0);
}

// Absolute ("X:\..." or "\..."), and no part of it "." or "..".
bool IsWalkable(std::u16string_view folder) {
  if (!backup_folder::IsAbsolute(folder)) return false;
  size_t start = 0;
  while (start <= folder.size()) {
    size_t end = folder.find_first_of(u"\\/", start);
    if (end == std::u16string_view::npos) end = folder.size();
    const std::u16string_view part = folder.substr(start, end - start);
    if (part == u"." || part == u"..") return false;
    start = end + 1;
  }
  return true;
}

// The record's day, made in its place (months and days largest first) when missing.
ScanDay& DayOf(ScanDevice* pRecord, int dayKey) {
  int32_t monthKey = (dayKey / 100) % 1000000;
  auto month = std::find_if(pRecord->months.begin(), pRecord->months.end(),
                            [monthKey](const ScanMonth& m) { return m.monthKey <= monthKey; });
  if (month == pRecord->months.end() || month->monthKey != monthKey) {
    month = pRecord->months.insert(month, ScanMonth{{}, monthKey});
  }
  auto day = std::find_if(month->days.begin(), month->days.end(),
                          [dayKey](const ScanDay& d) { return d.dayKey <= dayKey; });
  if (day == month->days.end() || day->dayKey != dayKey) {
    day = month->days.insert(day, ScanDay{dayKey, {}});
  }
  return *day;
}

}  // namespace

CFolderScanner& CFolderScanner::Instance() {
  // Destroyed at exit, after the message loop: the walks are stopped and joined first.
  static CFolderScanner s_scanner;
  return s_scanner;
}

CFolderScanner::CFolderScanner() {
  g_pScanner = this;
  m_hwnd = CreateMessageWindow(kWindowClass, &CFolderScanner::WindowProc, kWindowStyle);
}

CFolderScanner::~CFolderScanner() {
  m_stopping = true;
  for (ScanThread& scan : m_threads) scan.thread.join();
  m_threads.clear();
  m_pSink = nullptr;
  if (m_hwnd) DestroyWindow(m_hwnd);
  g_pScanner = nullptr;
}

void CFolderScanner::StartScan(int64_t deviceId, const std::u16string& folder) {
  ReapThreads();
  auto pRecord = std::make_unique<ScanDevice>();
  pRecord->deviceId = deviceId;
  ScanDevice* pFilled = pRecord.get();
  m_devices.push_back(std::move(pRecord));
  // The layer takes "\*.*" for the root and a relative path from wherever the process is: such
  // a walk would list other people's files as the phone's.
  if (!IsWalkable(folder)) {
    pFilled->complete.store(1, std::memory_order_release);
    PostMessageW(m_hwnd, kScanDoneMessage, 0, static_cast<LPARAM>(deviceId));
    return;
  }
  auto pDone = std::make_shared<std::atomic<bool>>(false);
  m_threads.push_back(ScanThread{
      std::thread(&CFolderScanner::ScanThreadProc, m_hwnd, deviceId, folder, pFilled,
                  &m_stopping, pDone.get()),
      pDone});
}

int CFolderScanner::FindDevice(int64_t deviceId, ScanDevice** ppDevice) {
  *ppDevice = nullptr;
  bool found = false;
  for (const std::unique_ptr<ScanDevice>& pRecord : m_devices) {
    if (pRecord->deviceId != deviceId) continue;
    found = true;
    if (pRecord->complete.load(std::memory_order_acquire) == 1) *ppDevice = pRecord.get();
  }
  if (*ppDevice) return kComplete;
  return found ? kScanning : kNeverScanned;
}

void CFolderScanner::AddPhoto(int64_t deviceId, int dayKey, const std::u16string& path,
                              int32_t time) {
  ScanDevice* pRecord = nullptr;
  if (FindDevice(deviceId, &pRecord) != kComplete) return;
  std::vector<ScanPhoto>& photos = DayOf(pRecord, dayKey).photos;
  photos.insert(photos.begin(), ScanPhoto{time, path});
}

void CFolderScanner::ChangeDeviceId(int64_t newId, int64_t oldId) {
  for (const std::unique_ptr<ScanDevice>& pRecord : m_devices) {
    if (pRecord->deviceId == oldId) pRecord->deviceId = newId;
  }
  for (auto& [from, to] : m_renamed) {
    if (to == oldId) to = newId;
  }
  m_renamed[oldId] = newId;
}

void CFolderScanner::InsertPhoto(int dayKey, const std::u16string& path, ScanDevice* pRecord,
                                 int32_t time) {
  DayOf(pRecord, dayKey).photos.push_back(ScanPhoto{time, path});
}

void CFolderScanner::FinishRecord(ScanDevice* pRecord) {
  // A stable sort gives what inserting each photo before the first older one would give, an
  // equal time going after those already there, in O(n log n) for a large day.
  for (ScanMonth& month : pRecord->months) {
    for (ScanDay& day : month.days) {
      std::stable_sort(day.photos.begin(), day.photos.end(),
                       [](const ScanPhoto& a, const ScanPhoto& b) { return a.time > b.time; });
    }
  }
}

size_t CFolderScanner::ThreadCountForTesting() {
  ReapThreads();
  return m_threads.size();
}

void CFolderScanner::ForgetRecordsForTesting() {
  for (ScanThread& scan : m_threads) scan.thread.join();
  m_threads.clear();
  m_devices.clear();
  m_renamed.clear();
}

LRESULT CFolderScanner::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != kScanDoneMessage) return DefWindowProcW(hwnd, message, wParam, lParam);
  if (g_pScanner) g_pScanner->OnScanDone(static_cast<int64_t>(lParam));
  return 0;
}

void CFolderScanner::ScanThreadProc(HWND hwnd, int64_t deviceId, std::u16string folder,
                                    ScanDevice* pRecord, const std::atomic<bool>* pStop,
                                    std::atomic<bool>* pDone) {
  ScanDeviceFolders(folder, pRecord, *pStop);
  if (!pStop->load()) {
    FinishRecord(pRecord);
    pRecord->complete.store(1, std::memory_order_release);
    // The id travels in the message itself (lParam holds 64 bits): nothing is left to free when
    // a queue is dropped with the message still in it, as at exit.
    PostMessageW(hwnd, kScanDoneMessage, 0, static_cast<LPARAM>(deviceId));
  }
  pDone->store(true);
}

void CFolderScanner::ScanDeviceFolders(const std::u16string& root, ScanDevice* pRecord,
                                       const std::atomic<bool>& stop) {
  std::vector<std::u16string> folders;
  WIN32_FIND_DATAW data;
  HANDLE hFind = FindFirstFileW((root + u"\\*.*").c_str(), &data);
  if (hFind == INVALID_HANDLE_VALUE) return;
  do {
    if (stop.load(std::memory_order_relaxed)) break;
    if (IsDotName(data.cFileName)) continue;
    // Files lying in the phone's folder itself are not its photos.
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      folders.push_back(root + u"\\" + data.cFileName);
    }
  } while (FindNextFileW(hFind, &data));
  FindClose(hFind);
  for (const std::u16string& folder : folders) ScanFolder(folder, pRecord, kFolderDepth, stop);
}

void CFolderScanner::ScanFolder(const std::u16string& folder, ScanDevice* pRecord, int depth,
                                const std::atomic<bool>& stop) {
  WIN32_FIND_DATAW data;
  HANDLE hFind = FindFirstFileW((folder + u"\\*.*").c_str(), &data);
  if (hFind == INVALID_HANDLE_VALUE) return;
  do {
    if (stop.load(std::memory_order_relaxed)) break;
    if (IsDotName(data.cFileName)) continue;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      // A linked folder is entered like any other; the depth bound ends a loop of links.
      if (depth > 0) ScanFolder(folder + u"\\" + data.cFileName, pRecord, depth - 1, stop);
      continue;
    }
    if (!IsTakenName(data.cFileName)) continue;
    FILETIME local;
    SYSTEMTIME time;
    if (!FileTimeToLocalFileTime(&data.ftLastWriteTime, &local) ||
        !FileTimeToSystemTime(&local, &time)) {
      continue;
    }
    int dayKey = time.wYear * 10000 + time.wMonth * 100 + time.wDay;
    int32_t ms = ((time.wHour * 3600 + time.wMinute * 60 + time.wSecond) * 1000) +
                 time.wMilliseconds;
    InsertPhoto(dayKey, folder + u"\\" + data.cFileName, pRecord, ms);
  } while (FindNextFileW(hFind, &data));
  FindClose(hFind);
}

void CFolderScanner::OnScanDone(int64_t deviceId) {
  // A phone re-keyed while its walk ran reports under the id it has now.
  if (auto it = m_renamed.find(deviceId); it != m_renamed.end()) deviceId = it->second;
  if (m_pSink) m_pSink->OnScanDone(deviceId);
}

void CFolderScanner::ReapThreads() {
  std::erase_if(m_threads, [](ScanThread& scan) {
    if (!scan.pDone->load()) return false;
    scan.thread.join();
    return true;
  });
}
