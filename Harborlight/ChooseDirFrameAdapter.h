#pragma once
// The first-run folder choice page ("chooseDirFrame"): the PC's fixed drives and the backup
// folder the user picks on one of them. Its drive list is also what the folder browser offers
// when the main window changes the folder later.
// This version reads the drive list and shows and hides the page.
// Lifetime: made with new and owned by the main window, which deletes it at teardown.
// Threading: UI thread only.

#include <cstdint>
#include <vector>

#include "IPageHost.h"
#include "Lq/LqInterfaces.h"

// A usable drive, as the drive strip lists it.
struct DriveEntry {
  win32::WCHAR root[4];  // "X:\" with the letter in upper case
  uint64_t freeToCaller;
  uint64_t total;
  uint64_t totalFree;
};

// The index of the first entry whose first two characters equal the path's, ignoring case;
// -1 when none does.
int FindDriveIndex(const std::vector<DriveEntry>& drives, const win32::WCHAR* pPath);

class CChooseDirFrameAdapter {
 public:
  CChooseDirFrameAdapter() = default;
  CChooseDirFrameAdapter(const CChooseDirFrameAdapter&) = delete;
  CChooseDirFrameAdapter& operator=(const CChooseDirFrameAdapter&) = delete;
  ~CChooseDirFrameAdapter();

  // Keeps the page root (one reference) and the host, and reads the drive list once.
  void Init(ILqElement* pRoot, IPageHost* pHost);
  // Hides the page root when `hide` is true, shows it otherwise.
  void ShowPage(bool hide);
  // The fixed drives, in letter order.
  void EnumFixedDrives();

  const std::vector<DriveEntry>& GetDriveList() const { return m_drives; }

 private:
  ILqElement* m_pRoot = nullptr;  // one reference, or null
  IPageHost* m_pHost = nullptr;   // the main window; outlives the page
  std::vector<DriveEntry> m_drives;
};
