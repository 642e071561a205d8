#pragma once
// The UI framework's interfaces: elements built from the layout file, their event and message
// sources, the listeners the program hands in, the event object, the menu, the picture object and
// the kind-specific faces of scroll views, tab strips, edits and check boxes. COM layout (IUnknown
// first); objects count references and free themselves in their last Release.
//
// One element interface carries every element operation. The window, popup-host, container and
// tab-item interfaces are that same interface under their own ids: an element answers such an id
// only when it is of that kind. An operation that does not fit an element's kind answers
// E_NOTIMPL; one on a destroyed element answers E_FAIL and touches nothing.
//
// Threading: UI thread only (Util::Misc::GetMainThreadId). A call from another thread is logged,
// asserts, and answers RPC_E_WRONG_THREAD without acting.

#include "Basalt/KwInterfaces.h"
#include "win32/base.h"
#include "win32/com.h"
#include "win32/oleauto.h"
#include "win32/window.h"

inline constexpr win32::HRESULT RPC_E_WRONG_THREAD = static_cast<win32::HRESULT>(0x8001010E);

// Event ids the elements raise.
namespace LqEvent {
inline constexpr win32::UINT kTextClick = 1;       // a text or link was clicked
inline constexpr win32::UINT kClosing = 256;       // a window is asked to close ("bCancelClose")
inline constexpr win32::UINT kCheckToggled = 352;  // a check box changed state
inline constexpr win32::UINT kTextChanged = 448;   // an edit's text changed
inline constexpr win32::UINT kTabChanged = 865;    // first argument 1 when the user chose
inline constexpr win32::UINT kDestroyed = 4098;
inline constexpr win32::UINT kClick = 4099;  // buttons, clickable frames, menu items ("name")
inline constexpr win32::UINT kMenuClosed = 4101;  // a popup menu went down, chosen from or not
}  // namespace LqEvent

// Window messages message listeners hear. Enter and leave come as the first id of each group;
// the others are accepted as synonyms by listeners.
namespace LqMessage {
inline constexpr win32::UINT kMouseEnter = 101;
inline constexpr win32::UINT kMouseEnterChild = 102;
inline constexpr win32::UINT kMouseHoverEnter = 804;
inline constexpr win32::UINT kMouseLeave = 103;
inline constexpr win32::UINT kMouseLeaveWindow = 908;
}  // namespace LqMessage

// Settings and states the program applies.
namespace LqSetting {
inline constexpr win32::UINT kEditBorder = 200;   // (0): a plain inset instead of a sunken frame
inline constexpr win32::UINT kEditPadding = 206;  // (left, top, right, bottom) padding
inline constexpr win32::UINT kTabItemTextTop = 192;  // where a tab item's text starts, from its top
inline constexpr win32::UINT kStateSelected = 5;   // tab item state
}  // namespace LqSetting

// {0ECB7E8C-136B-4FAC-9F6D-4E9AD69D6843}
inline constexpr win32::IID IID_ILqElement = {
    0x0ECB7E8C, 0x136B, 0x4FAC, {0x9F, 0x6D, 0x4E, 0x9A, 0xD6, 0x9D, 0x68, 0x43}};
// {4FF1A1C0-C91E-4322-A068-77DA38B1C3D4}: top-level windows.
inline constexpr win32::IID IID_ILqWindow = {
    0x4FF1A1C0, 0xC91E, 0x4322, {0xA0, 0x68, 0x77, 0xDA, 0x38, 0xB1, 0xC3, 0xD4}};
// {5EF9D731-6286-480C-9084-7EED19371A70}: the popup host window (class) and every top-level.
inline constexpr win32::IID IID_ILqHostWindow = {
    0x5EF9D731, 0x6286, 0x480C, {0x90, 0x84, 0x7E, 0xED, 0x19, 0x37, 0x1A, 0x70}};
inline constexpr win32::CLSID CLSID_LqHostWindow = IID_ILqHostWindow;
// {A5DFF81A-B003-4967-A286-87EB38041C7C}: an empty frame the program fills.
inline constexpr win32::IID IID_ILqContainer = {
    0xA5DFF81A, 0xB003, 0x4967, {0xA2, 0x86, 0x87, 0xEB, 0x38, 0x04, 0x1C, 0x7C}};
inline constexpr win32::CLSID CLSID_LqContainer = IID_ILqContainer;
// {6D8A7D0F-DB2D-431E-B439-0802ECF1AABC}: an item of a tab strip.
inline constexpr win32::IID IID_ILqTabItem = {
    0x6D8A7D0F, 0xDB2D, 0x431E, {0xB4, 0x39, 0x08, 0x02, 0xEC, 0xF1, 0xAA, 0xBC}};
inline constexpr win32::CLSID CLSID_LqTabItem = IID_ILqTabItem;
// {99191728-BEDC-4D94-ADB2-B530E6CA691B}
inline constexpr win32::IID IID_ILqMenu = {
    0x99191728, 0xBEDC, 0x4D94, {0xAD, 0xB2, 0xB5, 0x30, 0xE6, 0xCA, 0x69, 0x1B}};
inline constexpr win32::CLSID CLSID_LqMenu = IID_ILqMenu;
// {40C0A0B4-33E3-4091-AE36-918F9C09E350}
inline constexpr win32::IID IID_ILqImage = {
    0x40C0A0B4, 0x33E3, 0x4091, {0xAE, 0x36, 0x91, 0x8F, 0x9C, 0x09, 0xE3, 0x50}};
inline constexpr win32::CLSID CLSID_LqImage = IID_ILqImage;
// {6CCBBC7B-5C0A-49AA-B199-6733FDCD7DD4}
inline constexpr win32::IID IID_ILqEventSource = {
    0x6CCBBC7B, 0x5C0A, 0x49AA, {0xB1, 0x99, 0x67, 0x33, 0xFD, 0xCD, 0x7D, 0xD4}};
// {85675A56-F6F5-4D26-8334-888FF31DDE43}
inline constexpr win32::IID IID_ILqMessageSource = {
    0x85675A56, 0xF6F5, 0x4D26, {0x83, 0x34, 0x88, 0x8F, 0xF3, 0x1D, 0xDE, 0x43}};
// {5A5BDE05-234A-4089-ABD5-98AC3719A8B7}
inline constexpr win32::IID IID_ILqEventListener = {
    0x5A5BDE05, 0x234A, 0x4089, {0xAB, 0xD5, 0x98, 0xAC, 0x37, 0x19, 0xA8, 0xB7}};
// {FFEF08F8-21BF-4DD8-B942-FB0B868DB1AB}
inline constexpr win32::IID IID_ILqElementDestroyListener = {
    0xFFEF08F8, 0x21BF, 0x4DD8, {0xB9, 0x42, 0xFB, 0x0B, 0x86, 0x8D, 0xB1, 0xAB}};
// {685075F8-3F80-4EB6-B368-653E9A879339}
inline constexpr win32::IID IID_ILqMessageListener = {
    0x685075F8, 0x3F80, 0x4EB6, {0xB3, 0x68, 0x65, 0x3E, 0x9A, 0x87, 0x93, 0x39}};
// {0361D45E-54D1-4A83-A2DF-97667079073F}
inline constexpr win32::IID IID_ILqEvent = {
    0x0361D45E, 0x54D1, 0x4A83, {0xA2, 0xDF, 0x97, 0x66, 0x70, 0x79, 0x07, 0x3F}};
// {3F0C6E52-9A41-4B8D-B6E4-2C7A51D0E9A3}
inline constexpr win32::IID IID_ILqPixels = {
    0x3F0C6E52, 0x9A41, 0x4B8D, {0xB6, 0xE4, 0x2C, 0x7A, 0x51, 0xD0, 0xE9, 0xA3}};
// {CEDFF8CB-9074-495F-87E5-6785D12A42DD}
inline constexpr win32::IID IID_ILqScrollView = {
    0xCEDFF8CB, 0x9074, 0x495F, {0x87, 0xE5, 0x67, 0x85, 0xD1, 0x2A, 0x42, 0xDD}};
// {ED1474C0-A45D-44BE-90B7-160AF8A10DD8}
inline constexpr win32::IID IID_ILqTabStrip = {
    0xED1474C0, 0xA45D, 0x44BE, {0x90, 0xB7, 0x16, 0x0A, 0xF8, 0xA1, 0x0D, 0xD8}};
// {FF888BA8-0F65-4C47-A529-4C87F074C3F1}
inline constexpr win32::IID IID_ILqEdit = {
    0xFF888BA8, 0x0F65, 0x4C47, {0xA5, 0x29, 0x4C, 0x87, 0xF0, 0x74, 0xC3, 0xF1}};
// {01EC20CD-0960-41D1-B25B-6479F931334D}
inline constexpr win32::IID IID_ILqCheck = {
    0x01EC20CD, 0x0960, 0x41D1, {0xB2, 0x5B, 0x64, 0x79, 0xF9, 0x31, 0x33, 0x4D}};

struct ILqElement;

// What an event carries: the element, the first argument and named properties ("name" of a
// clicked menu item; "bCancelClose" set by a closing handler).
struct ILqEvent : win32::IUnknown {
  virtual win32::HRESULT STDMETHODCALLTYPE GetEventId(win32::UINT* pEventId) = 0;
  // One reference for the caller.
  virtual win32::HRESULT STDMETHODCALLTYPE GetElement(ILqElement** ppElement) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE GetArgument(win32::INT_PTR* pValue) = 0;
  // S_FALSE and a null string when the property holds no string. The caller frees the string.
  virtual win32::HRESULT STDMETHODCALLTYPE GetString(const win32::WCHAR* pName,
                                                     win32::BSTR* pValue) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE SetString(const win32::WCHAR* pName,
                                                     const win32::WCHAR* pValue) = 0;
  // S_FALSE and 0 when the property holds no number.
  virtual win32::HRESULT STDMETHODCALLTYPE GetInt(const win32::WCHAR* pName, win32::INT* pValue) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE SetInt(const win32::WCHAR* pName, win32::INT value) = 0;
};

// The program's receivers. Slots 3 to 6 are IDispatch's, which the framework never calls.
struct ILqEventListener : win32::IDispatch {
  virtual win32::HRESULT STDMETHODCALLTYPE OnLqEvent(win32::UINT eventId, ILqElement* pElement,
                                                     ILqEvent* pEvent) = 0;
};

struct ILqElementDestroyListener : win32::IDispatch {
  virtual win32::HRESULT STDMETHODCALLTYPE OnLqElementDestroy(ILqElement* pElement) = 0;
};

// Window messages of an element: the message id is read through pMessage; a listener that
// handled the message sets *pHandled and *pResult.
struct ILqMessageListener : win32::IDispatch {
  virtual win32::HRESULT STDMETHODCALLTYPE OnMessage(ILqElement* pElement, win32::UINT* pMessage,
                                                     win32::WPARAM wParam, win32::LPARAM lParam,
                                                     win32::BOOL* pHandled,
                                                     win32::LRESULT* pResult) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE PreMessage(ILqElement* pElement, win32::UINT* pMessage,
                                                      win32::WPARAM wParam, win32::LPARAM lParam,
                                                      win32::BOOL* pHandled,
                                                      win32::LRESULT* pResult) = 0;
};

// Each (event id, listener) pair is registered once: adding it again answers S_FALSE and changes
// nothing. Removing a listener drops every event id it was registered for. The source holds one
// reference per registered listener.
struct ILqEventSource : win32::IUnknown {
  virtual win32::HRESULT STDMETHODCALLTYPE AddListener(win32::UINT eventId,
                                                       ILqEventListener* pListener) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE RemoveListener(ILqEventListener* pListener) = 0;
};

struct ILqMessageSource : win32::IUnknown {
  virtual win32::HRESULT STDMETHODCALLTYPE AddListener(ILqMessageListener* pListener) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE RemoveListener(ILqMessageListener* pListener) = 0;
};

// An element of a window. Rectangles are (left, top, right, bottom): a top-level's in screen
// pixels, a child's in its parent's. Texts are plain text, shown as given (never markup).
struct ILqElement : win32::IUnknown {
  // --- Tree ---
  // Depth-first in document order below this element (itself excluded); the first match wins.
  // S_FALSE and null when no element has the id.
  virtual win32::HRESULT STDMETHODCALLTYPE FindChild(const win32::WCHAR* pId,
                                                     ILqElement** ppFound) = 0;
  // Appends a detached element (E_INVALIDARG when it has a parent or would contain this one).
  virtual win32::HRESULT STDMETHODCALLTYPE AddChild(ILqElement* pChild) = 0;
  // Takes the child out and destroys it.
  virtual win32::HRESULT STDMETHODCALLTYPE RemoveChild(ILqElement* pChild) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE GetChildCount(win32::UINT* pCount) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE GetChild(win32::UINT index, ILqElement** ppChild) = 0;
  // S_FALSE and null for a root.
  virtual win32::HRESULT STDMETHODCALLTYPE GetParent(ILqElement** ppParent) = 0;

  // --- Identity ---
  virtual win32::HRESULT STDMETHODCALLTYPE SetId(const win32::WCHAR* pId) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE GetId(win32::BSTR* pId) = 0;
  // The element name is the program's own tag, apart from the id.
  virtual win32::HRESULT STDMETHODCALLTYPE SetName(const win32::WCHAR* pName) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE GetName(win32::BSTR* pName) = 0;
  // The layout's kind name ("Blue_TipsWindow"), else the element kind ("button").
  virtual win32::HRESULT STDMETHODCALLTYPE GetKindName(win32::BSTR* pKind) = 0;
  // A style of the layout file ("dirButtonTab").
  virtual win32::HRESULT STDMETHODCALLTYPE SetStyleName(const win32::WCHAR* pStyle) = 0;

  // --- Visibility and input ---
  // 0 hides; 1, 4 and 5 show (4 without activating a top-level); other codes act as 5.
  virtual win32::HRESULT STDMETHODCALLTYPE Show(win32::INT showCode) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE SetHidden(win32::BOOL hidden) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE IsHidden(win32::BOOL* pHidden) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE Enable(win32::BOOL enable) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE IsEnabled(win32::BOOL* pEnabled) = 0;

  // --- Content ---
  // A top-level's text is its title.
  virtual win32::HRESULT STDMETHODCALLTYPE SetText(const win32::WCHAR* pText) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE GetText(win32::BSTR* pText) = 0;
  // A "platformres:" path (backslashes or slashes) or a file path; null or empty clears.
  virtual win32::HRESULT STDMETHODCALLTYPE SetPicture(const win32::WCHAR* pPath) = 0;
  // A picture object (ILqImage) or a buffer (IKwBuffer) holding a BMP or PNG file's bytes; the
  // element keeps a reference.
  virtual win32::HRESULT STDMETHODCALLTYPE SetPictureObject(win32::IUnknown* pPicture) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE SetBackground(const win32::WCHAR* pPath) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE SetBackgroundObject(win32::IUnknown* pPicture) = 0;
  // "hand" or "arrow".
  virtual win32::HRESULT STDMETHODCALLTYPE SetCursor(const win32::WCHAR* pCursor) = 0;
  // 0 transparent to 255 opaque.
  virtual win32::HRESULT STDMETHODCALLTYPE SetOpacity(win32::BYTE opacity) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE SetSetting(win32::UINT setting, win32::INT a,
                                                      win32::INT b, win32::INT c, win32::INT d) = 0;

  // --- Geometry ---
  virtual win32::HRESULT STDMETHODCALLTYPE SetRect(const win32::RECT* pRect) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE GetRect(win32::RECT* pRect) = 0;
  // The top-level's handle, for a child too; null before the window exists.
  virtual win32::HRESULT STDMETHODCALLTYPE GetWindowHandle(win32::HWND* pHwnd) = 0;
  // Asks for a redraw.
  virtual win32::HRESULT STDMETHODCALLTYPE Refresh() = 0;

  // --- Lifetime ---
  // Each listener is held once (adding it again answers S_FALSE), with one reference, and hears
  // the element's destruction after the element's event listeners heard event 4098.
  virtual win32::HRESULT STDMETHODCALLTYPE AddDestroyListener(
      ILqElementDestroyListener* pListener) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE RemoveDestroyListener(
      ILqElementDestroyListener* pListener) = 0;

  // --- Top-level windows ---
  // Shows the window modally over `owner` (which takes no input meanwhile) and returns when the
  // run ended: *pResult is the value given to EndModal, 0 when the window was closed otherwise or
  // WM_QUIT came (which stays set for the loops outside). Runs nest like a stack. The window is
  // destroyed when its run ends. `flags` 1: the usual modal run.
  virtual win32::HRESULT STDMETHODCALLTYPE RunModal(win32::HWND owner, win32::UINT flags,
                                                    win32::INT* pResult) = 0;
  // Ends this window's modal run (the innermost frame running it) with `result`.
  virtual win32::HRESULT STDMETHODCALLTYPE EndModal(win32::INT result) = 0;
  // Gives a window element made by the program its native window.
  virtual win32::HRESULT STDMETHODCALLTYPE CreateNativeWindow(win32::DWORD exStyle,
                                                              const win32::WCHAR* pWindowName) = 0;
  // As the system close button: event 256, then destruction unless a handler set "bCancelClose".
  virtual win32::HRESULT STDMETHODCALLTYPE Close() = 0;

  // --- Tab items ---
  virtual win32::HRESULT STDMETHODCALLTYPE SetState(win32::UINT state) = 0;
  // Room left around the item (left, top, right, bottom).
  virtual win32::HRESULT STDMETHODCALLTYPE SetSpacing(const win32::RECT* pSpacing) = 0;
};

using ILqWindow = ILqElement;
using ILqHostWindow = ILqElement;
using ILqContainer = ILqElement;
using ILqTabItem = ILqElement;

// A scroll view (and a tab strip, which scrolls horizontally).
struct ILqScrollView : win32::IUnknown {
  virtual win32::HRESULT STDMETHODCALLTYPE EnableScroll(win32::BOOL vertical,
                                                        win32::BOOL enable) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE GetScrollPos(win32::POINT* pPosition) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE SetScrollPos(const win32::POINT* pPosition) = 0;
  // Clamped to the content.
  virtual win32::HRESULT STDMETHODCALLTYPE ScrollBy(win32::INT dx, win32::INT dy) = 0;
};

struct ILqTabStrip : win32::IUnknown {
  // -1 when no item is selected.
  virtual win32::HRESULT STDMETHODCALLTYPE GetSelectedIndex(win32::INT* pIndex) = 0;
  // Raises 865 with first argument 0 (the program chose).
  virtual win32::HRESULT STDMETHODCALLTYPE SelectIndex(win32::INT index) = 0;
  // Scrolls by whole items (negative: back).
  virtual win32::HRESULT STDMETHODCALLTYPE ScrollItems(win32::INT items) = 0;
};

struct ILqEdit : win32::IUnknown {
  // Longer texts are cut at a character boundary; 0: no limit.
  virtual win32::HRESULT STDMETHODCALLTYPE SetMaxLength(win32::UINT maxLength) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE GetMaxLength(win32::UINT* pMaxLength) = 0;
};

struct ILqCheck : win32::IUnknown {
  virtual win32::HRESULT STDMETHODCALLTYPE GetChecked(win32::BOOL* pChecked) = 0;
  // Raises 352 when the state changes.
  virtual win32::HRESULT STDMETHODCALLTYPE SetChecked(win32::BOOL checked) = 0;
};

// A popup menu; an element of kind "menu" outside any window, so listeners register on it as on
// any element. Clicking an enabled item raises 4099 on the menu with the item's "name".
struct ILqMenu : win32::IUnknown {
  virtual win32::HRESULT STDMETHODCALLTYPE SetMenuStyle(const win32::WCHAR* pStyle) = 0;
  // `textColor` 0xAARRGGBB; `pIcon` a "platformres:" path or null.
  virtual win32::HRESULT STDMETHODCALLTYPE AddItem(win32::UINT height, win32::UINT width,
                                                   const win32::WCHAR* pStyle,
                                                   win32::DWORD textColor,
                                                   const win32::WCHAR* pText,
                                                   const win32::WCHAR* pIcon,
                                                   const win32::WCHAR* pName) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE EnableItem(const win32::WCHAR* pName,
                                                      win32::BOOL enable) = 0;
  // With an anchor, (x, y) count from the anchor's top-level's client origin; without one, they
  // are screen pixels.
  virtual win32::HRESULT STDMETHODCALLTYPE Popup(ILqElement* pAnchor, win32::INT x,
                                                 win32::INT y) = 0;
};

// A picture: loaded from a path or from a buffer's file bytes (BMP or PNG).
struct ILqImage : win32::IUnknown {
  virtual win32::HRESULT STDMETHODCALLTYPE LoadFile(const win32::WCHAR* pPath) = 0;
  virtual win32::HRESULT STDMETHODCALLTYPE LoadBuffer(IKwBuffer* pBuffer) = 0;
  // E_FAIL when nothing usable is loaded.
  virtual win32::HRESULT STDMETHODCALLTYPE GetSize(win32::INT* pWidth, win32::INT* pHeight) = 0;
};

// A picture that is pixels already, as picture objects of other libraries hand them to the
// painter: premultiplied 32-bit ARGB in native byte order, rows `stride` bytes apart. The pixels
// never change and stay valid while the object lives. E_FAIL when there are none.
struct ILqPixels : win32::IUnknown {
  virtual win32::HRESULT STDMETHODCALLTYPE GetPixels(const win32::BYTE** ppData, win32::INT* pWidth,
                                                     win32::INT* pHeight, win32::INT* pStride) = 0;
};
