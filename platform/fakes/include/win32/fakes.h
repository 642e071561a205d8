#pragma once
// A desktop for headless tests: it answers the layer's GUI back-end table (win32/ui_backend.h)
// with a scripted screen, a tray whose clicks the test injects, scripted message boxes and folder
// choices, and a recorder of what ShellExecuteW would start or open. Layer windows keep their
// show and enable state on the window, as without any back end.
//
// Lifetime: the constructor installs the table and the destructor puts the previous one back;
// one FakeDesktop at a time.
// Threading: any thread may call; the recorded state is guarded by one lock, and scripted
// "while open" actions run without it on the thread that made the Win32 call.

#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "win32/base.h"
#include "win32/toplevel.h"
#include "win32/ui_backend.h"

namespace win32::fakes {

class FakeDesktop {
 public:
  struct TrayIcon {
    HWND hwnd;
    UINT id;
    UINT callbackMessage;
    std::u16string tip;
    bool hasIcon;
  };
  struct TrayCall {
    DWORD message;  // NIM_ADD, NIM_MODIFY, NIM_DELETE
    TrayIconRequest request;
    BOOL result;
  };
  struct MessageBoxCall {
    HWND owner;
    std::u16string text;
    std::u16string caption;
    UINT type;
    int answer;
  };

  FakeDesktop();
  FakeDesktop(const FakeDesktop&) = delete;
  FakeDesktop& operator=(const FakeDesktop&) = delete;
  ~FakeDesktop();

  // --- Screen (1280 x 1024, full work area, pointer at 0,0 until set) ---
  void SetScreen(int width, int height);
  void SetWorkArea(const RECT& area);
  void SetCursorPos(POINT point);

  // --- Tray ---
  std::vector<TrayIcon> TrayIcons() const;
  std::vector<TrayCall> TrayCalls() const;
  // Injects a raw press or release of `button` (1 left, 3 right) on the icon at `timeMs` of a
  // test clock; it goes through the same click rule as the real tray, and the mouse message (if
  // any) is posted to the icon's window. Returns the message posted, 0 for none.
  UINT Click(HWND hwnd, UINT id, int button, bool press, DWORD timeMs, int x = 0, int y = 0);

  // --- Message boxes: answered in script order; with the script empty, IDOK (MB_OK boxes) or
  // IDCANCEL. `whileOpen` runs before the box returns, as messages dispatched during a modal run.
  void ScriptMessageBox(int answer, std::function<void()> whileOpen = {});
  std::vector<MessageBoxCall> MessageBoxes() const;

  // --- Folder browser: the next browse chooses this POSIX folder (or cancels). Unscripted
  // browses cancel. `whileOpen` as for message boxes.
  void ScriptFolderChoice(const std::string& posixFolder, std::function<void()> whileOpen = {});
  void ScriptFolderCancel(std::function<void()> whileOpen = {});
  std::vector<FolderBrowseRequest> FolderBrowses() const;

  // --- Shell open: every ShellExecuteW plan is recorded; the result handed back (42 at first).
  void SetShellOpenResult(INT_PTR result);
  std::vector<ShellOpenPlan> ShellOpens() const;

 private:
  struct Scripted {
    int answer;          // message box answer; for folders, 1 chosen / 0 cancelled
    std::string folder;  // folders only
    std::function<void()> whileOpen;
  };
  struct IconState {
    TrayIcon icon;
    TrayClickRule rule;
  };

  static int SystemMetrics(int index);
  static BOOL WorkArea(RECT* pRect);
  static BOOL CursorPos(POINT* pPoint);
  static BOOL NotifyIcon(DWORD message, const TrayIconRequest& request);
  static void* LoadIconImage(const std::string& posixPath, int cx, int cy);
  static void FreeIconImage(void* pImage);
  static int MessageBox(HWND owner, const std::u16string& text, const std::u16string& caption,
                        UINT type);
  static bool BrowseForFolder(const FolderBrowseRequest& request, std::string* pChosen);
  static INT_PTR RecordShellOpen(const ShellOpenPlan& plan);

  UiBackend m_table{};
  const UiBackend* m_pPrevious = nullptr;

  mutable std::mutex m_lock;
  int m_width = 1280;
  int m_height = 1024;
  RECT m_workArea{0, 0, 1280, 1024};
  POINT m_cursor{0, 0};
  std::vector<IconState> m_icons;
  std::vector<TrayCall> m_trayCalls;
  std::deque<Scripted> m_boxScript;
  std::vector<MessageBoxCall> m_boxes;
  std::deque<Scripted> m_folderScript;
  std::vector<FolderBrowseRequest> m_browses;
  INT_PTR m_shellResult = 42;
  std::vector<ShellOpenPlan> m_shellOpens;
};

}  // namespace win32::fakes
