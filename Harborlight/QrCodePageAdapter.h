#pragma once
// The QR binding page ("QRCodePage"): the bind symbol carrying the PC's bind information for the
// phone app, drawn once bind information is available (a loading animation plays until then),
// a second symbol with the phone-app download page, a scan notice, a way back to the photo
// page, and two ways to get the phone app: the download page in the browser ("DownloadLocal")
// and the install popup Ferrylink over the main window ("DownloadToMobile").
// Lifetime: made, set up and deleted by the main window. The destructor invalidates the page's
//   posted tasks, cancels its TaskRunGuard and waits (pumping messages) for task calls still
//   running; the main window calls CloseInstallPopup first, so a popup that hangs cannot hold
//   that wait forever.
// Threading: UI thread, except DownloadToMobile and OpenUrlTask, which run on task thread 2
//   ("thread_main_logic") and block it while they work; the popup's process handle, which both
//   threads touch, has a lock of its own.

#include <cstdint>
#include <memory>
#include <string>

#include "AsyncFrame/WeakRef.h"
#include "CComSinkPtr.h"
#include "CKwTimerCallback.h"
#include "CLqEventListenerHelper.h"
#include "IPageHost.h"
#include "Lq/LqInterfaces.h"
#include "Orbalyn/Interface/IOrbalyn.h"
#include "TaskRunGuard.h"

struct InstallPopupProcess;

class CQrCodePageAdapter {
 public:
  static constexpr win32::UINT kLoadingTimer = 1;
  static constexpr win32::DWORD kLoadingIntervalMs = 30;
  static constexpr int kLoadingFrames = 30;
  // How long CloseInstallPopup lets the popup end by itself before ending it.
  static constexpr win32::DWORD kPopupCloseWaitMs = 2000;

  CQrCodePageAdapter();
  CQrCodePageAdapter(const CQrCodePageAdapter&) = delete;
  CQrCodePageAdapter& operator=(const CQrCodePageAdapter&) = delete;
  ~CQrCodePageAdapter();

  // Set-up, once: finds the page's elements under `pRoot`, hooks the clicks, draws the download
  // symbol and starts the loading animation.
  void Init(ILqElement* pRoot, IPageHost* pHost);
  // Draws the bind symbol unless it is shown already; without bind information, asks the main
  // window to log in again (host command 7) and keeps the animation running.
  void RefreshBindQrCode();
  void ShowPage(bool hide);
  void SetBindResult(bool success);
  void OnPhoneScanned();
  void ReportShown();
  void ReportBound();
  // Where the page was entered from (1 to 3), reported with every page statistic.
  void SetEntrySource(int source) { m_entrySource = source; }

  // Click handlers.
  win32::HRESULT OnSmallCloseClick(ILqEvent* pEvent);
  win32::HRESULT OnBackToPhotoPageClick(ILqEvent* pEvent);
  win32::HRESULT OnIntallButtonClick(ILqEvent* pEvent);
  win32::HRESULT OnDownloadButtonClick(ILqEvent* pEvent);
  // The animation timer's call-back.
  win32::HRESULT OnTimer(win32::UINT timerId);

  // Tasks. DownloadToMobile runs Ferrylink over the main window and waits for its end on task
  // thread 2, then posts EnableMainWindowTask to the UI thread through `page` (made on the UI
  // thread when the task was posted). After the wait it touches nothing of the page's: a
  // teardown that gave up waiting may have deleted it. OpenUrlTask opens an address in the
  // browser on thread 2.
  void DownloadToMobile(const AsyncFrame::WeakRef<CQrCodePageAdapter>& page);
  void OpenUrlTask(const std::u16string& address);
  void EnableMainWindowTask();

  // Teardown, before the page is deleted: asks the kept popup window (may be null) to close,
  // and ends the Ferrylink process that DownloadToMobile waits for if it has not ended within
  // kPopupCloseWaitMs. Returns at once when none runs.
  void CloseInstallPopup(win32::HWND popup);

  // Encodes `text` (case-sensitive, 8-bit, level Q, smallest version) into a 24-bit BMP, 4
  // pixels a module and no margin, and makes it the picture of `pImage`, whose reference it
  // takes over. False, with nothing shown, when encoding, allocation or the buffer fails.
  static bool RenderQrCode(const std::string& text, ILqElement* pImage);
  // Two lowercase hexadecimal digits a byte, high nibble first.
  static std::string BytesToHex(const win32::BYTE* pData, size_t length);
  // The page's own tick source for TaskRunGuard (tests replace it before the page is made).
  static void SetGuardTickForTesting(TaskRunGuard::TickSource tick) { s_guardTick = tick; }
  // The logic interface the page uses instead of the library's (tests).
  void SetLogicForTesting(IOrbalynLogic* pLogic) { m_pLogic = pLogic; }
  int ShownForTesting() const { return m_shown; }

 private:
  void SetLoading(bool on);
  void ReportPageEvent(int event);
  // Posts `method` as a task that reaches the page only while it lives and has not been torn
  // down.
  template <class TFunction>
  bool PostPageTask(int threadId, const char* pFunction, int line, TFunction function);
  void ReleaseElements();

  static inline TaskRunGuard::TickSource s_guardTick = nullptr;

  AsyncFrame::WeakRefFactory<CQrCodePageAdapter> m_weakFactory;
  TaskRunGuard* const m_pGuard;   // one reference
  ILqElement* m_pRoot = nullptr;  // each one reference, or null
  ILqElement* m_pBindImage = nullptr;
  ILqElement* m_pScanSuc = nullptr;
  ILqElement* m_pPhoneName = nullptr;
  ILqElement* m_pSmallClose = nullptr;
  ILqElement* m_pDownloadToMobile = nullptr;
  ILqElement* m_pDownloadLocal = nullptr;
  ILqElement* m_pBackToPhotoPage = nullptr;
  ILqElement* m_pLoading = nullptr;
  ILqElement* m_pLinkIcon = nullptr;
  IPageHost* m_pHost = nullptr;  // the main window
  CLqEventListenerHelper<CQrCodePageAdapter> m_listener;
  IOrbalynLogic* m_pLogic = nullptr;  // the library's, static
  // Set once a bind symbol is on the page; never cleared.
  int m_shown = 0;
  int m_entrySource = 0;
  CComSinkPtr<CKwTimerCallback<CQrCodePageAdapter>> m_timerSink;

  // Ferrylink's process while DownloadToMobile waits for it; shared with that task, which may
  // outlive the page.
  std::shared_ptr<InstallPopupProcess> m_pPopupProcess;
};
