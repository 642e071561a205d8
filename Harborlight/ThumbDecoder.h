#pragma once
// Decodes the photo page's thumbnails away from the UI thread. A few threads take the page's
// requests, the urgent ones (tiles in view, arrivals) before the rest, read each picture through
// the picture library's own decoder at the size it is shown, cut its centre over white into
// plain pixels and hand them back; a message to a message-only window then tells the page on the
// UI thread, which makes the textures. The decodes running at once hold at most
// kInFlightBudgetBytes, by the library's own reckoning of each picture.
//
// Lifetime: owned by the photo page. The destructor stops the threads (a decode running ends
// first) and drops every request and result not taken.
// Threading: the public calls and the ready call-back on the UI thread, the one that made the
//   decoder. The queue, the results and the bytes in flight are guarded by m_lock; idle threads
//   block on m_wake, and a decode waiting for the budget on m_budget.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Pictor/Pictor.h"
#include "Common/ThreadAnnotations.h"
#include "win32/window.h"

class CThumbDecoder {
 public:
  // Two 16-megapixel PNGs, or a multi-scan 16-megapixel JPEG beside small pictures, at once.
  // No picture the library takes needs more alone (a multi-scan JPEG's four components come to
  // 128 MiB); one that did would run while nothing else does.
  static constexpr uint64_t kInFlightBudgetBytes = 160ull * 1024 * 1024;
  static constexpr unsigned kMaxThreads = 4;
  // The message a finished decode posts to the window.
  static constexpr win32::UINT kDecodedMessage = 0x8D3;

  struct Result {
    uint64_t ticket = 0;
    Pictor::PixelBuffer pixels;  // empty when no thumbnail could be made
  };

  // A width x height thumbnail of the picture at `path`: the centre of the picture scaled to
  // cover it, over white; the picture at `fallback` when that one does not decode, and white
  // when neither does. Empty for a size the library cannot make. Any thread.
  static Pictor::PixelBuffer DecodeThumbnail(const std::u16string& path,
                                             const std::u16string& fallback, int width,
                                             int height);
  // The decoder threads for `processors` processors: one each, at least one, at most four.
  static unsigned ThreadCountFor(unsigned processors);

  // `fallback`: a resolved path. `onReady` is called on this thread when results wait.
  CThumbDecoder(std::u16string fallback, std::function<void()> onReady);
  CThumbDecoder(const CThumbDecoder&) = delete;
  CThumbDecoder& operator=(const CThumbDecoder&) = delete;
  ~CThumbDecoder();

  // Asks for a thumbnail; `ticket` names its result. An urgent request goes before every
  // request still waiting.
  void Request(uint64_t ticket, int64_t deviceId, const std::u16string& path, int width,
               int height, bool urgent);
  // Drops the phone's requests that no thread has taken yet.
  void DropDevice(int64_t deviceId);
  // The results not taken yet, oldest first.
  std::vector<Result> TakeResults();
  // Requests no thread has taken yet.
  size_t WaitingCount();
  // Requests waiting, being decoded, or decoded and not taken.
  size_t InFlightCount();
  unsigned ThreadCount() const { return static_cast<unsigned>(m_threads.size()); }
  // The most bytes the decodes running at once were reckoned to hold.
  uint64_t PeakBytesForTesting();

 private:
  struct Job {
    uint64_t ticket;
    int64_t deviceId;
    std::u16string path;
    int width;
    int height;
  };

  static win32::LRESULT WindowProc(win32::HWND hwnd, win32::UINT message, win32::WPARAM wParam,
                                   win32::LPARAM lParam);
  void ThreadProc();
  // Waits until the budget has room for `bytes` (or nothing else runs); false when stopping.
  bool ReserveBytes(uint64_t bytes);
  void ReleaseBytes(uint64_t bytes);

  // Set in the constructor, then constant
  const std::u16string m_fallback;
  const std::function<void()> m_onReady;
  win32::HWND m_hwnd = nullptr;
  std::vector<std::thread> m_threads;

  std::mutex m_lock;
  std::condition_variable m_wake;    // a job waits, or stopping
  std::condition_variable m_budget;  // bytes were given back, or stopping
  std::deque<Job> m_queue GUARDED_BY(m_lock);  // the next job first
  std::vector<Result> m_results GUARDED_BY(m_lock);
  size_t m_running GUARDED_BY(m_lock) = 0;
  uint64_t m_bytesInFlight GUARDED_BY(m_lock) = 0;
  uint64_t m_peakBytes GUARDED_BY(m_lock) = 0;
  bool m_stopping GUARDED_BY(m_lock) = false;
};
