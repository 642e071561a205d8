#include "TrayUI.h"

#include <iterator>
#include <string>
#include <utility>

#include "Lq/Lq.h"
#include "OrbalynBinding.h"
#include "WindowHelpers.h"
#include "win32/gui.h"
#include "win32/oleauto.h"
#include "win32/toplevel.h"

using namespace win32;

namespace {

constexpr UINT kIconFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
constexpr WCHAR kTip[] = u"Lumidock";
constexpr WCHAR kIconFile[] = u"Harborlight.ico";
constexpr int kIconSize = 16;
constexpr DWORD kHostExStyle = 0x08000080;  // WS_EX_NOACTIVATE | WS_EX_TOOLWINDOW
constexpr WCHAR kHostWindowName[] = u"HARBORMAST_TRAYMAINFRAME";

constexpr UINT kItemHeight = 36;
constexpr UINT kItemWidth = 114;
constexpr DWORD kItemTextColor = 0xFF000000;
constexpr size_t kShortestFolder = 3;

}  // namespace

CTrayUI::CTrayUI(HWND mainWnd) : m_listener(this), m_hwnd(mainWnd) {}

CTrayUI::~CTrayUI() {
  if (m_iconAdded) Shell_NotifyIconW(NIM_DELETE, &m_data);
  if (m_data.hIcon) DestroyIcon(std::exchange(m_data.hIcon, nullptr));
  m_listener.RemoveAll();
  if (m_pMenu) std::exchange(m_pMenu, nullptr)->Release();
  if (m_pHostWindow) {
    // Its native window would outlive the reference otherwise.
    m_pHostWindow->Close();
    std::exchange(m_pHostWindow, nullptr)->Release();
  }
}

void CTrayUI::AddIcon(HWND mainWnd) {
  std::u16string folder;
  if (!GetModuleDir(&folder)) return;
  m_data.cbSize = kRecordSize;
  m_data.hWnd = mainWnd;
  m_data.uFlags = kIconFlags;
  m_data.uCallbackMessage = kCallbackMessage;
  std::char_traits<WCHAR>::copy(m_data.szTip, kTip, std::size(kTip));
  // A missing icon file leaves the record without an icon; it is added all the same.
  std::u16string icon = folder + kIconFile;
  m_data.hIcon = reinterpret_cast<HICON>(
      LoadImageW(nullptr, icon.c_str(), IMAGE_ICON, kIconSize, kIconSize, LR_LOADFROMFILE));
  Shell_NotifyIconW(NIM_ADD, &m_data);
  m_iconAdded = 1;
}

void CTrayUI::ShowMenu() {
  if (!m_pHostWindow) {
    if (SUCCEEDED(Util::Lq::CreateObject(CLSID_LqHostWindow, IID_ILqHostWindow,
                                         reinterpret_cast<void**>(&m_pHostWindow))) &&
        m_pHostWindow) {
      m_pHostWindow->SetHidden(TRUE);
      m_pHostWindow->CreateNativeWindow(kHostExStyle, kHostWindowName);
    } else {
      m_pHostWindow = nullptr;
    }
  }
  if (!m_pMenu) BuildMenu();
  if (!m_pHostWindow || !m_pMenu) return;
  POINT cursor{};
  GetCursorPos(&cursor);
  RECT rect{cursor.x, cursor.y, cursor.x + 1, cursor.y + 1};
  m_pHostWindow->SetRect(&rect);
  m_pHostWindow->Show(SW_SHOW);
  m_pMenu->Popup(nullptr, cursor.x, cursor.y);
}

bool CTrayUI::IsIconEmbedded() const {
  return m_iconAdded && IsTrayIconEmbedded(m_data.hWnd, m_data.uID);
}

HRESULT CTrayUI::OnMenuClick(ILqEvent* pEvent) {
  long item = 0;
  if (!ReadMenuItemNumber(pEvent, &item)) return 0;
  if (item == 2) {
    if (!IsWindow(m_hwnd)) return 0;
    m_exiting = 1;
    SendMessageW(m_hwnd, kExitMessage, 1, 1);
    PostMessageW(m_hwnd, WM_CLOSE, 1, 1);
    return 0;
  }
  IOrbalynDB* pDB = GetOrbalynDB();
  if (!pDB) return 0;
  BSTR folder = nullptr;
  pDB->GetWorkDir(&folder);
  if (folder && SysStringLen(folder) >= kShortestFolder) {
    ShellExecuteW(nullptr, u"open", folder, nullptr, nullptr, SW_SHOWNORMAL);
  }
  SysFreeString(folder);
  pDB->Release();
  return 0;
}

HRESULT CTrayUI::OnMenuClosed(ILqEvent*) {
  // Left mapped, the 1 x 1 host sits on the icon and takes its next clicks.
  if (m_pHostWindow) m_pHostWindow->Show(SW_HIDE);
  return 0;
}

void CTrayUI::BuildMenu() {
  if (FAILED(
          Util::Lq::CreateObject(CLSID_LqMenu, IID_ILqMenu, reinterpret_cast<void**>(&m_pMenu))) ||
      !m_pMenu) {
    m_pMenu = nullptr;
    return;
  }
  m_pMenu->SetMenuStyle(u"traymenu");
  m_pMenu->AddItem(kItemHeight, kItemWidth, u"traymenuItem", kItemTextColor, u"打开文件位置",
                   u"platformres:menu\\openfoldericon.png", u"1");
  m_pMenu->AddItem(kItemHeight, kItemWidth, u"traymenuItem", kItemTextColor, u"退出",
                   u"platformres:menu\\exiticon.png", u"2");
  ILqElement* pMenuElement = nullptr;
  m_pMenu->QueryInterface(IID_ILqElement, reinterpret_cast<void**>(&pMenuElement));
  if (pMenuElement) {
    m_listener.AddListener(pMenuElement, LqEvent::kClick, &CTrayUI::OnMenuClick);
    m_listener.AddListener(pMenuElement, LqEvent::kMenuClosed, &CTrayUI::OnMenuClosed);
    pMenuElement->Release();
  }
}
