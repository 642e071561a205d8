#pragma once
// The program's icon in the notification area and its menu: "打开文件位置" opens the backup
// folder, "退出" ends the program (the only way the user does). The icon's mouse messages go to
// the main window as message 1025; the main window asks for the menu on a right press.
// Lifetime: made and owned by the main window, right after its window; the destructor removes
//   the icon and lets go of the menu and its host window.
// Threading: UI thread only.

#include "CLqEventListenerHelper.h"
#include "Lq/LqInterfaces.h"
#include "win32/shellui.h"

class CTrayUI {
 public:
  // The record size without the balloon icon.
  static constexpr win32::DWORD kRecordSize = 952;
  static constexpr win32::UINT kCallbackMessage = 1025;
  static constexpr win32::UINT kExitMessage = 1026;

  explicit CTrayUI(win32::HWND mainWnd);
  CTrayUI(const CTrayUI&) = delete;
  CTrayUI& operator=(const CTrayUI&) = delete;
  ~CTrayUI();

  // Adds the icon ("Harborlight.ico" beside the program); nothing without a program folder.
  void AddIcon(win32::HWND mainWnd);
  // Pops the menu up at the pointer, building it and its host window the first time.
  void ShowMenu();
  // 1 once the user chose "退出".
  int IsExiting() const { return m_exiting; }
  // Whether a notification area shows the icon now.
  bool IsIconEmbedded() const;

  // Click on the menu.
  win32::HRESULT OnMenuClick(ILqEvent* pEvent);
  // The menu went down: its host window hides.
  win32::HRESULT OnMenuClosed(ILqEvent* pEvent);

 private:
  void BuildMenu();

  win32::NOTIFYICONDATAW m_data{};      // for adding and removing alike
  ILqElement* m_pHostWindow = nullptr;  // one reference, made at the first menu
  ILqMenu* m_pMenu = nullptr;           // one reference, made at the first menu
  CLqEventListenerHelper<CTrayUI> m_listener;
  int m_exiting = 0;
  win32::HWND m_hwnd;
  int m_iconAdded = 0;
};
