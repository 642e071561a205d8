#include "ThumbDecoder.h"

#include <algorithm>
#include <memory>

#include "Pictor/PictureFile.h"
#include "WindowHelpers.h"
#include "win32/thread.h"

using namespace win32;

namespace {

constexpr WCHAR kWindowClass[] = u"HarborlightThumbDecoder";
constexpr uint32_t kOpaqueWhite = 0xFFFFFFFF;

// The size that covers width x height with the picture's shape, one side exact.
void CoverSize(int pictureWidth, int pictureHeight, int width, int height, int* pWidth,
               int* pHeight) {
  const float fw = static_cast<float>(width);
  const float fh = static_cast<float>(height);
  const float ftw = static_cast<float>(pictureWidth);
  const float fth = static_cast<float>(pictureHeight);
  if (fth / fh >= ftw / fw) {
    *pWidth = width;
    *pHeight = static_cast<int>(fw / ftw * fth);
  } else {
    *pHeight = height;
    *pWidth = static_cast<int>(fh / fth * ftw);
  }
}

bool FitsCanvas(int width, int height) {
  return width > 0 && height > 0 && width <= Pictor::kMaxCanvasSide &&
         height <= Pictor::kMaxCanvasSide &&
         static_cast<int64_t>(width) * height <= Pictor::kMaxCanvasPixels;
}

// Lays the centre of `drawn` over the white thumbnail, as far as it reaches.
void CutCentre(const Pictor::PixelBuffer& drawn, Pictor::PixelBuffer* pThumb) {
  const int left = drawn.width == pThumb->width ? 0 : (drawn.width - pThumb->width) / 2;
  const int top = drawn.width == pThumb->width ? (drawn.height - pThumb->height) / 2 : 0;
  for (int y = 0; y < pThumb->height; ++y) {
    const int sy = top + y;
    if (sy < 0 || sy >= drawn.height) continue;
    for (int x = 0; x < pThumb->width; ++x) {
      const int sx = left + x;
      if (sx < 0 || sx >= drawn.width) continue;
      const uint32_t p = drawn.pixels[static_cast<size_t>(sy) * drawn.width + sx];
      // Premultiplied over opaque white: each channel gains what the alpha leaves uncovered.
      const uint32_t uncovered = 255 - (p >> 24);
      const uint32_t r = ((p >> 16) & 0xFF) + uncovered;
      const uint32_t g = ((p >> 8) & 0xFF) + uncovered;
      const uint32_t b = (p & 0xFF) + uncovered;
      pThumb->pixels[static_cast<size_t>(y) * pThumb->width + x] =
          0xFF000000u | (std::min(r, 255u) << 16) | (std::min(g, 255u) << 8) | std::min(b, 255u);
    }
  }
}

}  // namespace

Pictor::PixelBuffer CThumbDecoder::DecodeThumbnail(const std::u16string& path,
                                                   const std::u16string& fallback, int width,
                                                   int height) {
  Pictor::PixelBuffer thumb;
  if (!FitsCanvas(width, height)) return thumb;
  thumb.width = width;
  thumb.height = height;
  thumb.pixels.assign(static_cast<size_t>(width) * height, kOpaqueWhite);
  std::unique_ptr<Pictor::CPictureFile> pFile = Pictor::CPictureFile::Open(path);
  if (!pFile) pFile = Pictor::CPictureFile::Open(fallback);
  // A picture that does not decode (or would need too large a canvas) is replaced by the
  // fallback once.
  for (int attempt = 0; attempt < 2 && pFile; ++attempt) {
    int coverWidth = 0;
    int coverHeight = 0;
    CoverSize(pFile->Width(), pFile->Height(), width, height, &coverWidth, &coverHeight);
    Pictor::PixelBuffer drawn;
    if (FitsCanvas(coverWidth, coverHeight) && pFile->Decode(coverWidth, coverHeight, &drawn)) {
      CutCentre(drawn, &thumb);
      break;
    }
    if (attempt == 0) pFile = Pictor::CPictureFile::Open(fallback);
  }
  return thumb;
}

unsigned CThumbDecoder::ThreadCountFor(unsigned processors) {
  return std::clamp(processors, 1u, kMaxThreads);
}

CThumbDecoder::CThumbDecoder(std::u16string fallback, std::function<void()> onReady)
    : m_fallback(std::move(fallback)), m_onReady(std::move(onReady)) {
  m_hwnd = CreateMessageWindow(kWindowClass, &CThumbDecoder::WindowProc);
  if (m_hwnd) SetWindowLongPtrW(m_hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  const unsigned count = ThreadCountFor(std::thread::hardware_concurrency());
  for (unsigned i = 0; i < count; ++i) m_threads.emplace_back(&CThumbDecoder::ThreadProc, this);
}

CThumbDecoder::~CThumbDecoder() {
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_stopping = true;
    m_queue.clear();
  }
  m_wake.notify_all();
  m_budget.notify_all();
  for (std::thread& thread : m_threads) thread.join();
  // A message still queued finds no window, and nothing to free.
  if (m_hwnd) DestroyWindow(m_hwnd);
}

void CThumbDecoder::Request(uint64_t ticket, int64_t deviceId, const std::u16string& path,
                            int width, int height, bool urgent) {
  {
    std::lock_guard<std::mutex> lock(m_lock);
    Job job{ticket, deviceId, path, width, height};
    if (urgent) {
      m_queue.push_front(std::move(job));
    } else {
      m_queue.push_back(std::move(job));
    }
  }
  m_wake.notify_one();
}

void CThumbDecoder::DropDevice(int64_t deviceId) {
  std::lock_guard<std::mutex> lock(m_lock);
  std::erase_if(m_queue, [deviceId](const Job& job) { return job.deviceId == deviceId; });
}

std::vector<CThumbDecoder::Result> CThumbDecoder::TakeResults() {
  std::lock_guard<std::mutex> lock(m_lock);
  std::vector<Result> results;
  results.swap(m_results);
  return results;
}

size_t CThumbDecoder::WaitingCount() {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_queue.size();
}

size_t CThumbDecoder::InFlightCount() {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_queue.size() + m_running + m_results.size();
}

uint64_t CThumbDecoder::PeakBytesForTesting() {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_peakBytes;
}

LRESULT CThumbDecoder::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != kDecodedMessage) return DefWindowProcW(hwnd, message, wParam, lParam);
  auto* pThis = reinterpret_cast<CThumbDecoder*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (pThis && pThis->m_onReady) pThis->m_onReady();
  return 0;
}

void CThumbDecoder::ThreadProc() {
  // Below the UI thread: on a busy machine the window answers first and thumbnails come later.
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(m_lock);
      m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
      if (m_stopping) return;
      job = std::move(m_queue.front());
      m_queue.pop_front();
      ++m_running;
    }
    // The header alone tells what the decode will hold; the fallback, the program's own small
    // picture, is not reckoned.
    uint64_t bytes = 0;
    if (std::unique_ptr<Pictor::CPictureFile> pFile = Pictor::CPictureFile::Open(job.path)) {
      int coverWidth = 0;
      int coverHeight = 0;
      CoverSize(pFile->Width(), pFile->Height(), job.width, job.height, &coverWidth,
                &coverHeight);
      if (FitsCanvas(coverWidth, coverHeight)) bytes = pFile->DecodeBytes(coverWidth, coverHeight);
    }
    bytes += 4 * static_cast<uint64_t>(std::max(job.width, 0)) * std::max(job.height, 0);
    if (!ReserveBytes(bytes)) {
      std::lock_guard<std::mutex> lock(m_lock);
      --m_running;
      return;
    }
    Result result;
    result.ticket = job.ticket;
    result.pixels = DecodeThumbnail(job.path, m_fallback, job.width, job.height);
    ReleaseBytes(bytes);
    bool first = false;
    {
      std::lock_guard<std::mutex> lock(m_lock);
      --m_running;
      first = m_results.empty();
      m_results.push_back(std::move(result));
    }
    // One message for however many results pile up before the page takes them.
    if (first) PostMessageW(m_hwnd, kDecodedMessage, 0, 0);
  }
}

bool CThumbDecoder::ReserveBytes(uint64_t bytes) {
  std::unique_lock<std::mutex> lock(m_lock);
  m_budget.wait(lock, [&] {
    return m_stopping || m_bytesInFlight == 0 || m_bytesInFlight + bytes <= kInFlightBudgetBytes;
  });
  if (m_stopping) return false;
  m_bytesInFlight += bytes;
  m_peakBytes = std::max(m_peakBytes, m_bytesInFlight);
  return true;
}

void CThumbDecoder::ReleaseBytes(uint64_t bytes) {
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_bytesInFlight -= bytes;
  }
  m_budget.notify_all();
}
