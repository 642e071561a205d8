#include "QrCodePageAdapter.h"

#include <qrencode.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "AsyncFrame/AsyncFrame.h"
#include "Basalt/KwTimer.h"
#include "Basalt/Util.h"
#include "CachedOrbalynDB.h"
#include "MainHwnd.h"
#include "OrbalynBinding.h"
#include "UiReports.h"
#include "WebAddresses.h"
#include "win32/module_name.h"
#include "win32/process.h"
#include "win32/shellui.h"
#include "win32/strings.h"
#include "win32/toplevel.h"

using namespace win32;

namespace {

constexpr int kModulePixels = 4;
constexpr DWORD kBmpHeaderBytes = 54;

// The animation frame, kept for the process: a new page continues where the last one stopped.
int g_loadingFrame = 0;

void PutLe16(BYTE* p, uint16_t value) {
  p[0] = static_cast<BYTE>(value);
  p[1] = static_cast<BYTE>(value >> 8);
}

void PutLe32(BYTE* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<BYTE>(value >> (8 * i));
}

}  // namespace

// The Ferrylink process DownloadToMobile waits for, so that teardown can end it.
struct InstallPopupProcess {
  std::mutex lock;
  HANDLE hProcess = nullptr;  // guarded by lock
};

namespace {

// A task of the page: it calls the page only while the page lives and its guard lets it.
template <class TFunction>
class CPageTask final : public AsyncFrame::Task {
 public:
  CPageTask(AsyncFrame::WeakRef<CQrCodePageAdapter> page, TaskRunGuard* pGuard, TFunction function)
      : m_page(std::move(page)), m_pGuard(pGuard), m_function(std::move(function)) {
    m_pGuard->AddRef();
  }
  ~CPageTask() override { m_pGuard->Release(); }

  void Run() override {
    CQrCodePageAdapter* pPage = m_page.Get();
    if (!pPage || !m_pGuard->TryEnter()) return;
    m_function(pPage);
    m_pGuard->Leave();
  }

 private:
  AsyncFrame::WeakRef<CQrCodePageAdapter> m_page;
  TaskRunGuard* const m_pGuard;  // one reference
  TFunction m_function;
};

}  // namespace

CQrCodePageAdapter::CQrCodePageAdapter()
    : m_weakFactory(this),
      m_pGuard(new TaskRunGuard(s_guardTick)),
      m_listener(this),
      m_timerSink(this),
      m_pPopupProcess(std::make_shared<InstallPopupProcess>()) {
  m_timerSink->SetCallback(&CQrCodePageAdapter::OnTimer);
}

CQrCodePageAdapter::~CQrCodePageAdapter() {
  m_weakFactory.InvalidateWeakRefs();
  m_pGuard->Cancel();
  m_pGuard->WaitIdle();
  KwTimer::EraseTimerCallback(m_timerSink.GetInterface<IKwTimerCallback>(), 0);
  m_listener.RemoveAll();
  ReleaseElements();
  m_pLogic = nullptr;
  m_pGuard->Release();
}

void CQrCodePageAdapter::Init(ILqElement* pRoot, IPageHost* pHost) {
  if (!pRoot) return;
  m_pRoot = pRoot;
  m_pRoot->AddRef();
  m_pHost = pHost;
  ILqElement* pDownloadImage = nullptr;  // held only during set-up
  m_pRoot->FindChild(u"ScanSuc", &m_pScanSuc);
  m_pRoot->FindChild(u"phonename", &m_pPhoneName);
  m_pRoot->FindChild(u"smallclosebtn", &m_pSmallClose);
  m_pRoot->FindChild(u"backToShowPhotoPage", &m_pBackToPhotoPage);
  m_pRoot->FindChild(u"qrloading", &m_pLoading);
  m_pRoot->FindChild(u"DownloadToMobile", &m_pDownloadToMobile);
  m_pRoot->FindChild(u"DownloadLocal", &m_pDownloadLocal);
  m_pRoot->FindChild(u"qrCode_BindImg", &m_pBindImage);
  m_pRoot->FindChild(u"qrCode_DownUrlImg", &pDownloadImage);
  m_pRoot->FindChild(u"qrLinkIcon", &m_pLinkIcon);

  using Self = CQrCodePageAdapter;
  m_listener.AddListener(m_pSmallClose, LqEvent::kClick, &Self::OnSmallCloseClick);
  m_listener.AddListener(m_pBackToPhotoPage, LqEvent::kClick, &Self::OnBackToPhotoPageClick);
  m_listener.AddListener(m_pDownloadToMobile, LqEvent::kClick, &Self::OnIntallButtonClick);
  m_listener.AddListener(m_pDownloadLocal, LqEvent::kClick, &Self::OnDownloadButtonClick);

  if (pDownloadImage) RenderQrCode(Utf16ToUtf8(DownloadPageAddress()), pDownloadImage);
  if (m_pScanSuc) m_pScanSuc->SetHidden(TRUE);
  SetLoading(true);
}

void CQrCodePageAdapter::RefreshBindQrCode() {
  if (m_shown) return;
  if (!m_pLogic) m_pLogic = GetOrbalynLogic();
  if (m_pLogic) {
    IOrbalynMessage* pMessage = nullptr;
    m_pLogic->GetBindInfo(&pMessage);  // only whether a message came counts
    if (pMessage) {
      const BYTE* pPayload = nullptr;
      int length = 0;
      pMessage->GetPayload(&pPayload, &length);
      const std::string hex =
          BytesToHex(pPayload, pPayload && length > 0 ? static_cast<size_t>(length) : 0);
      // Only a symbol actually on the page counts as shown: after a failed drawing the
      // animation goes on and the next refresh tries again.
      if (m_pBindImage) {
        m_pBindImage->AddRef();
        if (RenderQrCode(hex, m_pBindImage)) {
          SetLoading(false);
          m_shown = 1;
        }
      }
      pMessage->Release();
    }
  }
  if (!m_shown && m_pHost) m_pHost->Command(7, nullptr);
}

void CQrCodePageAdapter::ShowPage(bool hide) {
  if (!m_pRoot) return;
  m_pRoot->SetHidden(hide ? TRUE : FALSE);
  if (hide || !m_pBackToPhotoPage) return;
  int bound = 0;
  if (IOrbalynDB* pDB = CachedOrbalynDB::Get()) {
    IOrbalynDeviceContainer* pDevices = nullptr;
    if (SUCCEEDED(pDB->GetBoundDevices(&pDevices)) && pDevices) {
      pDevices->GetCount(&bound);
      pDevices->Release();
    }
  }
  m_pBackToPhotoPage->SetHidden(bound > 0 ? FALSE : TRUE);
}

void CQrCodePageAdapter::SetBindResult(bool) {
  if (m_pScanSuc) m_pScanSuc->SetHidden(TRUE);
}

void CQrCodePageAdapter::OnPhoneScanned() {
  if (m_pScanSuc) m_pScanSuc->SetHidden(FALSE);
  ReportPageEvent(CEntryReport::kEventScanned);
}

void CQrCodePageAdapter::ReportShown() { ReportPageEvent(CEntryReport::kEventQrShown); }

void CQrCodePageAdapter::ReportBound() { ReportPageEvent(CEntryReport::kEventBound); }

HRESULT CQrCodePageAdapter::OnSmallCloseClick(ILqEvent*) {
  if (m_pScanSuc) m_pScanSuc->SetHidden(TRUE);
  return 0;
}

HRESULT CQrCodePageAdapter::OnBackToPhotoPageClick(ILqEvent*) {
  if (m_pHost) m_pHost->Command(5, nullptr);
  return 0;
}

HRESULT CQrCodePageAdapter::OnIntallButtonClick(ILqEvent*) {
  PostPageTask(AsyncFrame::kThreadMainLogic, "CQrCodePageAdapter::OnIntallButtonClick", 79,
               [back = m_weakFactory.GetWeakRef()](CQrCodePageAdapter* pPage) {
                 pPage->DownloadToMobile(back);
               });
  SendUiReport(CQrButtonReport{CQrButtonReport::kInstall});
  return 0;
}

HRESULT CQrCodePageAdapter::OnDownloadButtonClick(ILqEvent*) {
  PostPageTask(AsyncFrame::kThreadMainLogic, "CQrCodePageAdapter::OnDownloadButtonClick", 92,
               [address = DownloadPageAddress()](CQrCodePageAdapter* pPage) {
                 pPage->OpenUrlTask(address);
               });
  SendUiReport(CQrButtonReport{CQrButtonReport::kDownload});
  return 0;
}

HRESULT CQrCodePageAdapter::OnTimer(UINT timerId) {
  if (timerId != kLoadingTimer) return 0;
  g_loadingFrame = (g_loadingFrame + 1) % kLoadingFrames;
  char path[100];
  std::snprintf(path, sizeof(path), "platformres:qrloading\\%d.png", g_loadingFrame);
  if (m_pLoading) m_pLoading->SetPicture(Utf8ToUtf16(path).c_str());
  return 0;
}

void CQrCodePageAdapter::DownloadToMobile(const AsyncFrame::WeakRef<CQrCodePageAdapter>& page) {
  WCHAR modulePath[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, modulePath, MAX_PATH);
  std::u16string program(modulePath, length < MAX_PATH ? length : 0);
  const size_t cut = program.find_last_of(u'\\');
  program = (cut == std::u16string::npos ? std::u16string() : program.substr(0, cut + 1)) +
            u"Ferrylink.exe";
  char parent[32];
  std::snprintf(parent, sizeof(parent), "%.8x",
                static_cast<unsigned>(reinterpret_cast<uintptr_t>(GetMainHwnd())));
  std::u16string commandLine = u"\"" + program + u"\" Parent=" + Utf8ToUtf16(parent);

  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return;
  }
  CloseHandle(process.hThread);
  if (!process.hProcess) return;
  // What the rest needs, taken while the page surely lives.
  std::shared_ptr<InstallPopupProcess> pPopup = m_pPopupProcess;
  TaskRunGuard* pGuard = m_pGuard;
  pGuard->AddRef();
  {
    std::lock_guard<std::mutex> lock(pPopup->lock);
    pPopup->hProcess = process.hProcess;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  {
    std::lock_guard<std::mutex> lock(pPopup->lock);
    pPopup->hProcess = nullptr;
    CloseHandle(process.hProcess);
  }
  auto enable = [](CQrCodePageAdapter* pPage) { pPage->EnableMainWindowTask(); };
  AsyncFrame::PostTaskToThread(
      AsyncFrame::kThreadMain,
      AsyncFrame::Location("CQrCodePageAdapter::DownloadToMobile", "QrCodePageAdapter", 369),
      new CPageTask<decltype(enable)>(page, pGuard, enable));
  pGuard->Release();
}

void CQrCodePageAdapter::OpenUrlTask(const std::u16string& address) {
  ShellExecuteW(nullptr, u"open", address.c_str(), nullptr, nullptr, SW_SHOW);
}

void CQrCodePageAdapter::EnableMainWindowTask() {
  if (HWND main = GetMainHwnd()) EnableWindow(main, TRUE);
}

void CQrCodePageAdapter::CloseInstallPopup(HWND popup) {
  if (popup && IsWindow(popup)) PostMessageW(popup, WM_CLOSE, 0, 0);
  // Held while waiting: the task thread only takes it to forget the handle once the process
  // has ended, so it waits here at most this long.
  std::lock_guard<std::mutex> lock(m_pPopupProcess->lock);
  HANDLE hProcess = m_pPopupProcess->hProcess;
  if (!hProcess) return;
  if (WaitForSingleObject(hProcess, kPopupCloseWaitMs) == WAIT_TIMEOUT) {
    TerminateProcess(hProcess, 1);
  }
}

bool CQrCodePageAdapter::RenderQrCode(const std::string& text, ILqElement* pImage) {
  if (!pImage) return false;
  QRcode* pCode = QRcode_encodeString(text.c_str(), 0, QR_ECLEVEL_Q, QR_MODE_8, 1);
  if (!pCode) {
    pImage->Release();
    return false;
  }
  const DWORD width = static_cast<DWORD>(pCode->width);
  const DWORD pixels = width * kModulePixels;
  const DWORD rowBytes = (width * 12 + 3) & ~DWORD{3};
  const DWORD size = kBmpHeaderBytes + rowBytes * pixels;
  auto* pBmp = static_cast<BYTE*>(malloc(size));
  if (!pBmp) {
    QRcode_free(pCode);
    pImage->Release();
    return false;
  }
  memset(pBmp, 0xFF, size);
  // File header.
  PutLe16(pBmp, 0x4D42);
  PutLe32(pBmp + 2, size);
  PutLe32(pBmp + 6, 0);
  PutLe32(pBmp + 10, kBmpHeaderBytes);
  // Info header: positive height, so rows are stored bottom-up.
  BYTE* pInfo = pBmp + 14;
  PutLe32(pInfo, 40);
  PutLe32(pInfo + 4, pixels);
  PutLe32(pInfo + 8, pixels);
  PutLe16(pInfo + 12, 1);
  PutLe16(pInfo + 14, 24);
  for (int offset = 16; offset < 40; offset += 4) PutLe32(pInfo + offset, 0);
  for (DWORD row = 0; row < width; ++row) {
    for (DWORD column = 0; column < width; ++column) {
      if (!(pCode->data[row * width + column] & 1)) continue;
      const DWORD firstStoredRow = kModulePixels * (width - 1 - row);
      for (int y = 0; y < kModulePixels; ++y) {
        BYTE* pPixel =
            pBmp + kBmpHeaderBytes + (firstStoredRow + y) * rowBytes + column * kModulePixels * 3;
        memset(pPixel, 0, kModulePixels * 3);
      }
    }
  }
  QRcode_free(pCode);

  IKwBuffer* pBuffer = nullptr;
  if (FAILED(Util::Data::CreateKwBuffer(&pBuffer)) || !pBuffer) {
    free(pBmp);
    pImage->Release();
    return false;
  }
  pBuffer->Attach(pBmp, size);  // the buffer owns the bytes from here on
  const bool shown = SUCCEEDED(pImage->SetPictureObject(pBuffer));
  pImage->Refresh();
  pBuffer->Release();
  pImage->Release();
  return shown;
}

std::string CQrCodePageAdapter::BytesToHex(const BYTE* pData, size_t length) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(length * 2);
  for (size_t i = 0; i < length; ++i) {
    hex += kDigits[pData[i] >> 4];
    hex += kDigits[pData[i] & 0xF];
  }
  return hex;
}

void CQrCodePageAdapter::SetLoading(bool on) {
  if (!m_pLoading) return;
  IKwTimerCallback* pTimer = m_timerSink.GetInterface<IKwTimerCallback>();
  KwTimer::EraseTimerCallback(pTimer, kLoadingTimer);
  if (on) {
    m_pLoading->SetHidden(FALSE);
    if (m_pLinkIcon) m_pLinkIcon->SetHidden(TRUE);
    KwTimer::SetInterval(kLoadingIntervalMs, pTimer, kLoadingTimer);
  } else {
    m_pLoading->SetHidden(TRUE);
    if (m_pLinkIcon) m_pLinkIcon->SetHidden(FALSE);
  }
}

void CQrCodePageAdapter::ReportPageEvent(int event) {
  SendUiReport(CEntryReport{m_entrySource, event});
}

template <class TFunction>
bool CQrCodePageAdapter::PostPageTask(int threadId, const char* pFunction, int line,
                                      TFunction function) {
  return AsyncFrame::PostTaskToThread(
      threadId, AsyncFrame::Location(pFunction, "QrCodePageAdapter", line),
      new CPageTask<TFunction>(m_weakFactory.GetWeakRef(), m_pGuard, std::move(function)));
}

void CQrCodePageAdapter::ReleaseElements() {
  for (ILqElement** ppElement :
       {&m_pRoot, &m_pBindImage, &m_pScanSuc, &m_pPhoneName, &m_pSmallClose, &m_pDownloadToMobile,
        &m_pDownloadLocal, &m_pBackToPhotoPage, &m_pLoading, &m_pLinkIcon}) {
    if (*ppElement) (*ppElement)->Release();
    *ppElement = nullptr;
  }
}
