#pragma once
// The change-folder window ("ChangeDirWindow"): shows the backup folder in "ID_EDIT_DIR"; its
// button "ID_BTN_CHANGEDIR" asks the main window to choose a new folder (host command 11) and
// shows the folder then in force. One object per opening, made by the main menu's handler.
// Threading: UI thread only; Create blocks in the framework's modal loop.

#include "CLqEventListenerHelper.h"
#include "IPageHost.h"
#include "Lq/LqInterfaces.h"

class CChangeBackupDir {
 public:
  explicit CChangeBackupDir(IPageHost* pHost);
  CChangeBackupDir(const CChangeBackupDir&) = delete;
  CChangeBackupDir& operator=(const CChangeBackupDir&) = delete;
  virtual ~CChangeBackupDir();

  // Builds the window from `pLayout` and runs it modally over `owner` until it is closed; false
  // when the window cannot be built or run. The text is not used.
  virtual bool Create(const win32::WCHAR* pLayout, win32::HWND owner, const win32::WCHAR* pText);

  // Click on "ID_BTN_CHANGEDIR".
  win32::HRESULT OnChangeDir(ILqEvent* pEvent);

 private:
  // The store's folder into the edit box (empty without a store).
  void ShowWorkDir();
  void ReleaseElements();

  CLqEventListenerHelper<CChangeBackupDir> m_listener;
  ILqElement* m_pChangeButton = nullptr;  // one reference, or null
  ILqElement* m_pEdit = nullptr;          // one reference, or null
  ILqWindow* m_pWindow = nullptr;         // one reference, or null
  IPageHost* const m_pHost;               // the main window; outlives this object
};
