#pragma once
// The first-run page on which the user picks the backup folder ("chooseDirFrame"): a strip of
// the PC's fixed drives with their free space, an edit box proposing "<drive>:\Lumidock" on the
// non-system drive with most free space, the system's folder browser, a check of the typed
// folder, and "nextStep", which makes the folder, stores it as the work folder of the device
// store and of the upload assistant, and asks the main window for the QR page (host command 2).
// The drive list is read once, at set-up; the main window's folder change filters by it too.
// Lifetime: made, set up and deleted by the main window, which outlives its host pointer.
// Threading: UI thread only; the folder browser runs its modal loop inside a click.

#include <string>
#include <vector>

#include "CLqEventListenerHelper.h"
#include "DriveFolderFilter.h"
#include "IPageHost.h"
#include "Lq/LqInterfaces.h"

class CChooseDirFrameAdapter {
 public:
  static constexpr int kMaxLabels = 5;
  // More than this many bytes free to the caller make a drive usable.
  static constexpr win32::ULONGLONG kMinFreeBytes = 4194304;

  CChooseDirFrameAdapter();
  CChooseDirFrameAdapter(const CChooseDirFrameAdapter&) = delete;
  CChooseDirFrameAdapter& operator=(const CChooseDirFrameAdapter&) = delete;
  ~CChooseDirFrameAdapter();

  // Set-up, once: finds the page's elements under `pRoot`, hooks the events, reads the drives
  // and fills the strip.
  void Init(ILqElement* pRoot, IPageHost* pHost);
  void ShowPage(bool hide);

  void EnumFixedDrives();
  void FillDriveButtons();
  void RelabelDriveButtons();

  // Event handlers.
  win32::HRESULT OnScrollRight(ILqEvent* pEvent);
  win32::HRESULT OnScrollLeft(ILqEvent* pEvent);
  win32::HRESULT OnSelectDir(ILqEvent* pEvent);
  win32::HRESULT OnDriveTabChanged(ILqEvent* pEvent);
  win32::HRESULT OnNextStep(ILqEvent* pEvent);
  win32::HRESULT OnDirTextChanged(ILqEvent* pEvent);

  // "X:\..." (or "X:/...") on a listed drive, the letter as listed (upper case), with more than
  // kMinFreeBytes free to the caller.
  bool IsUsableDir(const std::u16string& path) const;
  int FindDriveIndex(const std::u16string& path) const;
  const std::vector<DriveEntry>& GetDriveList() const { return m_drives; }

  // The backup folder for a chosen path: "Lumidock" appended unless a longer path already ends
  // with it.
  static std::u16string AppendProductFolder(const std::u16string& path);

 private:
  std::u16string EditText() const;
  // The error text shown and "nextStep" disabled, or the reverse.
  void ShowChoiceState(bool usable);
  void ReleaseElements();

  ILqElement* m_pRoot = nullptr;  // each one reference, or null
  ILqElement* m_pSelectDirBtn = nullptr;
  ILqElement* m_pNextStep = nullptr;
  ILqElement* m_pDirEdit = nullptr;
  ILqElement* m_pErrorText = nullptr;
  ILqElement* m_pTabCtrl = nullptr;
  CLqEventListenerHelper<CChooseDirFrameAdapter> m_listener;
  IPageHost* m_pHost = nullptr;  // the main window
  int m_firstShown = 0;          // index of the first drive in the strip's view
  ILqElement* m_pScrollRightBtn = nullptr;
  ILqElement* m_pScrollLeftBtn = nullptr;
  std::vector<DriveEntry> m_drives;
};
