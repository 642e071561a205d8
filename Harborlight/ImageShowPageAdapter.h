#pragma once
// The photo page ("ImageShowFrame"): the bound phones in a strip, the selected phone's photos by
// day. The main window builds it with its pages and drives it from its logic sink.
// This version shows and hides the page; the other operations keep their place and do nothing
// yet.
// Lifetime: made with new and owned by the main window, which deletes it at teardown.
// Threading: UI thread only.

#include <cstdint>
#include <string>

#include "IPageHost.h"
#include "Lq/LqInterfaces.h"

class CImageShowPageAdapter {
 public:
  CImageShowPageAdapter() = default;
  CImageShowPageAdapter(const CImageShowPageAdapter&) = delete;
  CImageShowPageAdapter& operator=(const CImageShowPageAdapter&) = delete;
  ~CImageShowPageAdapter();

  // Keeps the page root (one reference) and the host.
  void Init(ILqElement* pRoot, IPageHost* pHost);
  // Hides the page root when `hidden` is 1, shows it when 0.
  void Show(int hidden);
  void OnDeviceState(int64_t id, int connected);
  void OnBackupProgress(int64_t id, int busy, int count);
  void AddPhoto(int64_t id, const std::u16string& path);
  void ChangeDeviceId(int64_t newId, int64_t oldId);
  void RefreshPhoneList(int select, int64_t id);
  void OnUnbindNotice(int64_t id, int mainWindowInFront);
  void ClosePopups();

  // 1 while the status line shows a backup in progress.
  int IsBusyShown() const { return m_busyShown; }
  // Entries in the phone list.
  int GetPhoneCount() const { return 0; }

 private:
  ILqElement* m_pRoot = nullptr;  // one reference, or null
  IPageHost* m_pHost = nullptr;   // the main window; outlives the page
  int m_busyShown = 0;
};
