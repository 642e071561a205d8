#pragma once
// What the confirmation boxes share: a window built from a layout, an OK button "okbtn" and a
// cancel button "canclbtn", a modal run over an owner, and a result that is 1 once OK was
// pressed. T adds its own DoModal and OnCancel.
//
// Lifetime: counted, starting at 1 for the creator, who calls Release instead of delete. A run
// holds the box too, so a box released (or closed) from inside a nested run, while its own run
// is still on the stack, lives until that run has returned.
// Threading: UI thread only; DoModal blocks in the framework's modal loop, which keeps
// dispatching messages.

#include <atomic>

#include "CLqEventListenerHelper.h"
#include "Lq/LqInterfaces.h"
#include "WindowHelpers.h"

template <class T>
class CLqModalBox {
 public:
  // `pSelf` is the box itself, handed in by T while it is being made.
  explicit CLqModalBox(T* pSelf) : m_listener(pSelf) {}
  CLqModalBox(const CLqModalBox&) = delete;
  CLqModalBox& operator=(const CLqModalBox&) = delete;

  win32::ULONG AddRef() { return ++m_refCount; }
  win32::ULONG Release() {
    win32::ULONG count = --m_refCount;
    if (count == 0) delete this;
    return count;
  }
  // 1 when the last run ended through OK, else 0.
  int Result() const { return m_result; }
  // Closes the box's window while it runs: the run ends, the result stays as it was.
  void Close() {
    if (m_pRoot) m_pRoot->Close();
  }

  // Click on "okbtn": result 1, and the run ends.
  win32::HRESULT OnOk(ILqEvent*) {
    m_result = 1;
    if (m_pRoot) m_pRoot->EndModal(1);
    return 0;
  }

 protected:
  virtual ~CLqModalBox() { ReleaseElements(); }

  // The run both boxes make; `prepare` sees the root before it is shown. True when the modal
  // run could be started.
  template <class TPrepare>
  bool RunBox(const win32::WCHAR* pLayout, win32::HWND owner,
              win32::HRESULT (T::*onCancel)(ILqEvent*), TPrepare&& prepare) {
    AddRef();  // the run's
    // A root left from an earlier run (destroyed when that run ended) goes first.
    ReleaseElements();
    win32::HRESULT hr = CreateLqElementFromLayout(pLayout, IID_ILqWindow,
                                           reinterpret_cast<void**>(&m_pRoot), nullptr, nullptr);
    m_listener.RemoveAll();
    m_result = 0;
    bool started = false;
    if (win32::SUCCEEDED(hr) && m_pRoot) {
      m_pRoot->FindChild(u"okbtn", &m_pOkBtn);
      m_pRoot->FindChild(u"canclbtn", &m_pCancelBtn);
      if (m_pOkBtn) m_listener.AddListener(m_pOkBtn, LqEvent::kClick, &T::OnOk);
      if (m_pOkBtn && m_pCancelBtn) m_listener.AddListener(m_pCancelBtn, LqEvent::kClick, onCancel);
      prepare(m_pRoot);
      win32::INT runResult = 0;
      started = win32::SUCCEEDED(m_pRoot->RunModal(owner, 1, &runResult));
    }
    Release();
    return started;
  }

  // Ends the run without touching the result.
  void EndRun() {
    if (m_pRoot) m_pRoot->EndModal(0);
  }

  CLqEventListenerHelper<T> m_listener;
  ILqElement* m_pOkBtn = nullptr;      // one reference, or null
  ILqElement* m_pCancelBtn = nullptr;  // one reference, or null
  int m_result = 0;
  ILqElement* m_pRoot = nullptr;  // the window; one reference, or null

 private:
  void ReleaseElements() {
    for (ILqElement** ppElement : {&m_pOkBtn, &m_pCancelBtn, &m_pRoot}) {
      if (*ppElement) (*ppElement)->Release();
      *ppElement = nullptr;
    }
  }

  std::atomic<win32::ULONG> m_refCount{1};
};
