#pragma once
// The QR binding page ("QRCodePage"): the symbol a phone scans to bind, its download buttons,
// the page's statistics. The main window shows it for a first phone or a new one.
// This version shows and hides the page and keeps the entry source; the other operations keep
// their place and do nothing yet.
// Lifetime: made with new and owned by the main window, which deletes it at teardown.
// Threading: UI thread only.

#include "IPageHost.h"
#include "Lq/LqInterfaces.h"

class CQrCodePageAdapter {
 public:
  CQrCodePageAdapter() = default;
  CQrCodePageAdapter(const CQrCodePageAdapter&) = delete;
  CQrCodePageAdapter& operator=(const CQrCodePageAdapter&) = delete;
  ~CQrCodePageAdapter();

  // Keeps the page root (one reference) and the host.
  void Init(ILqElement* pRoot, IPageHost* pHost);
  void RefreshBindQrCode();
  // Hides the page root when `hide` is true, shows it otherwise.
  void ShowPage(bool hide);
  void SetBindResult(bool success);
  void OnPhoneScanned();
  void ReportShown();
  void ReportBound();

  // Who showed the page (1 after a folder was set, 2 from the menu or the photo page, 3 when no
  // phone was left); carried by the page's statistics.
  void SetEntrySource(int source) { m_entrySource = source; }

 private:
  ILqElement* m_pRoot = nullptr;  // one reference, or null
  IPageHost* m_pHost = nullptr;   // the main window; outlives the page
  int m_entrySource = 0;
};
