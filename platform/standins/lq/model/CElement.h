#pragma once
// An element of the model: a node of a window's tree (or of a detached subtree the program builds
// and attaches later) with its identity, state, content, rectangle, listeners and look.
//
// Lifetime: counted. A parent holds one reference to each child, the window table one to each
// top-level with a native window. Destruction (a window closed, a child removed, the last
// reference of a live element dropped) runs in this order, parent before children: event 4098 to
// the event listeners, then the destroy listeners, then the children, then the listeners are
// dropped and the element leaves its parent. A destroyed element stays allocated while someone
// holds it and answers every operation with E_FAIL. An element holds itself while it raises an
// event, so a handler may destroy or release it.
// Threading: UI thread only; COM methods check (LqThread.h). The reference count is atomic.

#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ElementKind.h"
#include "Look.h"
#include "Lq/LqInterfaces.h"
#include "PictureRef.h"

namespace lq {

class CLqEvent;
class CWindowElement;

// {73379995-7F0A-4AA2-B7B1-26CC453516DF}: answers the model object itself, without a reference.
inline constexpr win32::IID IID_LqModelElement = {
    0x73379995, 0x7F0A, 0x4AA2, {0xB7, 0xB1, 0x26, 0xCC, 0x45, 0x35, 0x16, 0xDF}};

class CElement : public ILqElement, public ILqEventSource, public ILqMessageSource {
 public:
  enum class State : uint8_t { kAlive, kDestroying, kDestroyed };

  // A new detached element of the kind's class; one reference for the caller, null without
  // memory.
  static CElement* Create(ElementKind kind);
  // Our element behind an interface pointer, or null for anything else.
  static CElement* FromInterface(win32::IUnknown* pUnknown);

  CElement(const CElement&) = delete;
  CElement& operator=(const CElement&) = delete;

  // --- Read by views, painters, the builder and the test port ---
  ElementKind Kind() const { return m_kind; }
  State GetState() const { return m_state; }
  bool IsDestroyed() const { return m_state == State::kDestroyed; }
  const std::u16string& IdText() const { return m_id; }
  const std::u16string& NameText() const { return m_name; }
  const std::u16string& TextValue() const { return m_text; }
  const win32::RECT& Rect() const { return m_rect; }
  bool HiddenFlag() const { return m_hidden; }
  bool EnabledFlag() const { return m_enabled; }
  bool IsClickable() const;
  bool IsHovered() const { return m_hovered; }
  bool HasHandCursor() const { return m_handCursor; }
  win32::BYTE OpacityValue() const { return m_opacity; }
  CElement* Parent() const { return m_pParent; }
  const std::vector<CElement*>& Children() const { return m_children; }
  const Look& GetLook() const;
  const PictureRef& Picture() const { return m_picture; }
  // Null when none was set.
  const PictureRef* Background() const;
  const std::u16string& StyleNameText() const;
  std::u16string KindNameText() const;
  // The top-level at the root of the tree, or null for a detached subtree.
  CWindowElement* TopLevel();
  // Shown, with every ancestor shown (a top-level: its native window shown).
  bool IsShownInTree();
  // Enabled, with every ancestor enabled, in a top-level that takes input.
  bool TakesInput();
  // Position of the element's top-left corner in its top-level's coordinates.
  win32::POINT OffsetInTopLevel();
  // Depth-first, document order, below this element; null when none.
  CElement* FindById(std::u16string_view id);

  // --- Set by the layout builder before the element is handed out ---
  void InitIdentity(std::u16string id, std::u16string name);
  void InitText(std::u16string text) { m_text = std::move(text); }
  void InitRect(const win32::RECT& rect) { m_rect = rect; }
  void InitFlags(bool hidden, bool enabled, bool clickable, bool handCursor);
  void InitLook(const Look* pLook, std::u16string kindName, std::u16string styleName);
  void InitPicture(std::u16string path) { m_picture.SetPath(std::move(path)); }
  // A tab item's state, without telling its strip.
  void InitState(win32::UINT state);
  void InitBackground(std::u16string path);
  // Appends a child the builder made (takes over the caller's reference).
  void AppendBuiltChild(CElement* pChild);

  // --- The user's input, from views and the test port ---
  // What a click does to this element (4099, 1, a toggle, a selection); false when the element
  // takes no input now or clicks mean nothing to it.
  virtual bool UserClick();
  // The pointer entered or left: messages 101 or 103 to the message listeners.
  void UserHover(bool inside);

  // Places the children whose place the element decides (a tab strip's items); painters, hit
  // tests and the test port call it before reading rectangles.
  virtual void ArrangeChildren() {}

  // Destroys the element and its subtree (see the class comment); nothing when already done.
  void DestroyElement();
  // Raises an event to the event listeners; the event object is handed back (one reference) when
  // asked for, so the caller can read what handlers set.
  void RaiseEvent(win32::UINT eventId, win32::INT_PTR argument, CLqEvent** ppEvent = nullptr);
  // Hands an event object made for this element to its event listeners.
  void DispatchEvent(CLqEvent* pEvent);
  // Tells the message listeners (PreMessage, then OnMessage unless handled); the result of the
  // listener that handled it, else 0.
  win32::LRESULT SendLqMessage(win32::UINT message, win32::WPARAM wParam, win32::LPARAM lParam);

  // IUnknown:
  win32::HRESULT STDMETHODCALLTYPE QueryInterface(win32::REFIID riid, void** ppObject) override;
  win32::ULONG STDMETHODCALLTYPE AddRef() override;
  win32::ULONG STDMETHODCALLTYPE Release() override;

  // ILqElement:
  win32::HRESULT STDMETHODCALLTYPE FindChild(const win32::WCHAR* pId,
                                             ILqElement** ppFound) override;
  win32::HRESULT STDMETHODCALLTYPE AddChild(ILqElement* pChild) override;
  win32::HRESULT STDMETHODCALLTYPE RemoveChild(ILqElement* pChild) override;
  win32::HRESULT STDMETHODCALLTYPE GetChildCount(win32::UINT* pCount) override;
  win32::HRESULT STDMETHODCALLTYPE GetChild(win32::UINT index, ILqElement** ppChild) override;
  win32::HRESULT STDMETHODCALLTYPE GetParent(ILqElement** ppParent) override;
  win32::HRESULT STDMETHODCALLTYPE SetId(const win32::WCHAR* pId) override;
  win32::HRESULT STDMETHODCALLTYPE GetId(win32::BSTR* pId) override;
  win32::HRESULT STDMETHODCALLTYPE SetName(const win32::WCHAR* pName) override;
  win32::HRESULT STDMETHODCALLTYPE GetName(win32::BSTR* pName) override;
  win32::HRESULT STDMETHODCALLTYPE GetKindName(win32::BSTR* pKind) override;
  win32::HRESULT STDMETHODCALLTYPE SetStyleName(const win32::WCHAR* pStyle) override;
  win32::HRESULT STDMETHODCALLTYPE Show(win32::INT showCode) override;
  win32::HRESULT STDMETHODCALLTYPE SetHidden(win32::BOOL hidden) override;
  win32::HRESULT STDMETHODCALLTYPE IsHidden(win32::BOOL* pHidden) override;
  win32::HRESULT STDMETHODCALLTYPE Enable(win32::BOOL enable) override;
  win32::HRESULT STDMETHODCALLTYPE IsEnabled(win32::BOOL* pEnabled) override;
  win32::HRESULT STDMETHODCALLTYPE SetText(const win32::WCHAR* pText) override;
  win32::HRESULT STDMETHODCALLTYPE GetText(win32::BSTR* pText) override;
  win32::HRESULT STDMETHODCALLTYPE SetPicture(const win32::WCHAR* pPath) override;
  win32::HRESULT STDMETHODCALLTYPE SetPictureObject(win32::IUnknown* pPicture) override;
  win32::HRESULT STDMETHODCALLTYPE SetBackground(const win32::WCHAR* pPath) override;
  win32::HRESULT STDMETHODCALLTYPE SetBackgroundObject(win32::IUnknown* pPicture) override;
  win32::HRESULT STDMETHODCALLTYPE SetCursor(const win32::WCHAR* pCursor) override;
  win32::HRESULT STDMETHODCALLTYPE SetOpacity(win32::BYTE opacity) override;
  win32::HRESULT STDMETHODCALLTYPE SetSetting(win32::UINT setting, win32::INT a, win32::INT b,
                                              win32::INT c, win32::INT d) override;
  win32::HRESULT STDMETHODCALLTYPE SetRect(const win32::RECT* pRect) override;
  win32::HRESULT STDMETHODCALLTYPE GetRect(win32::RECT* pRect) override;
  win32::HRESULT STDMETHODCALLTYPE GetWindowHandle(win32::HWND* pHwnd) override;
  win32::HRESULT STDMETHODCALLTYPE Refresh() override;
  win32::HRESULT STDMETHODCALLTYPE AddDestroyListener(
      ILqElementDestroyListener* pListener) override;
  win32::HRESULT STDMETHODCALLTYPE RemoveDestroyListener(
      ILqElementDestroyListener* pListener) override;
  win32::HRESULT STDMETHODCALLTYPE RunModal(win32::HWND owner, win32::UINT flags,
                                            win32::INT* pResult) override;
  win32::HRESULT STDMETHODCALLTYPE EndModal(win32::INT result) override;
  win32::HRESULT STDMETHODCALLTYPE CreateNativeWindow(win32::DWORD exStyle,
                                                      const win32::WCHAR* pWindowName) override;
  win32::HRESULT STDMETHODCALLTYPE Close() override;
  win32::HRESULT STDMETHODCALLTYPE SetState(win32::UINT state) override;
  win32::HRESULT STDMETHODCALLTYPE SetSpacing(const win32::RECT* pSpacing) override;

  // ILqEventSource:
  win32::HRESULT STDMETHODCALLTYPE AddListener(win32::UINT eventId,
                                               ILqEventListener* pListener) override;
  win32::HRESULT STDMETHODCALLTYPE RemoveListener(ILqEventListener* pListener) override;
  // ILqMessageSource:
  win32::HRESULT STDMETHODCALLTYPE AddListener(ILqMessageListener* pListener) override;
  win32::HRESULT STDMETHODCALLTYPE RemoveListener(ILqMessageListener* pListener) override;

  // A setting applied with SetSetting: false when it was never set.
  bool SettingValue(win32::UINT setting, win32::INT values[4]) const;
  win32::UINT StateValue() const;
  win32::RECT SpacingValue() const;

 protected:
  explicit CElement(ElementKind kind);
  virtual ~CElement();

  // Interfaces of the kind besides the element's own; null when none.
  virtual void* QueryKindInterface(win32::REFIID riid);
  // Called once while the element is destroyed, after its listeners and children were told.
  virtual void OnDestroyed() {}
  // The text as stored: an edit cuts it to its maximum length.
  virtual std::u16string AcceptText(const win32::WCHAR* pText);
  // After a text change (an edit raises 448; a top-level retitles its window).
  virtual void OnTextChanged() {}
  // Visibility of a top-level lives in its native window.
  virtual void ApplyShow(win32::INT showCode);
  virtual bool ReadHidden();
  virtual void OnEnabledChanged() {}
  virtual void OnRectChanged() {}
  virtual void OnOpacityChanged() {}
  // Let the view redraw the element.
  void Invalidate();

  bool m_clickable = false;

 private:
  struct EventEntry {
    win32::UINT eventId;
    ILqEventListener* pListener;  // one reference
  };
  struct Setting {
    win32::UINT id;
    win32::INT values[4];
  };
  // What few elements use, allocated on first use.
  struct Extras {
    PictureRef background;
    std::u16string styleName;
    std::u16string kindName;
    std::vector<ILqMessageListener*> messageListeners;  // one reference each
    std::vector<Setting> settings;
    win32::RECT spacing{};
    win32::UINT state = 0;
    const Look* pStyleLook = nullptr;  // a style set by the program
  };

  Extras& MakeExtras();
  void DestroyTree(bool leaveParent);
  bool HasEventListener(win32::UINT eventId, ILqEventListener* pListener) const;
  bool HasDestroyListener(ILqElementDestroyListener* pListener) const;

  std::atomic<win32::ULONG> m_refCount{1};
  const ElementKind m_kind;
  State m_state = State::kAlive;
  bool m_hidden = false;
  bool m_enabled = true;
  bool m_hovered = false;
  bool m_handCursor = false;
  win32::BYTE m_opacity = 255;
  CElement* m_pParent = nullptr;     // holds a reference to this element
  std::vector<CElement*> m_children;  // one reference each
  win32::RECT m_rect{};
  std::u16string m_id;
  std::u16string m_name;
  std::u16string m_text;
  PictureRef m_picture;
  const Look* m_pLook = nullptr;  // the layout's, shared; null: the default look
  std::vector<EventEntry> m_eventListeners;
  std::vector<ILqElementDestroyListener*> m_destroyListeners;  // one reference each
  std::unique_ptr<Extras> m_pExtras;
};

}  // namespace lq
