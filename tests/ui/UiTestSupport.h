#pragma once
// Shared by the UI tests: a sandbox root, the test's thread as the UI thread, a running platform
// core whose layout and resource folders are the runtime folder's (the built layout file and the
// drawn art), the null view reset, and a check that no window outlives its test. Plus a listener
// that records what the framework raises.

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "../common/PlatformBoot.h"
#include "../common/SandboxTest.h"
#include "../common/TestFiles.h"
#include "Basalt/BasaltTesting.h"
#include "Basalt/Util.h"
#include "CComSink.h"
#include "CElement.h"
#include "CNullView.h"
#include "CWindowElement.h"
#include "Lq/Lq.h"
#include "win32/oleauto.h"
#include "win32/thread.h"

namespace ui_test {

using test_files::WindowsFromPosix;

inline std::u16string Frame(const char16_t* pName) {
  return std::u16string(u"platformskein:Harborlight.xml|") + pName;
}

class CUiTest : public test_common::SandboxTest {
 protected:
  CUiTest() : SandboxTest("ui-test") {}

  void SetUp() override {
    SandboxTest::SetUp();
    BasaltTesting::Reset();
    lq::CNullView::Instance().Reset();
    m_pCore = test_common::StartPlatform(Root(), LUMIDOCK_BIN_DIR);
    ASSERT_NE(m_pCore, nullptr);
  }

  void TearDown() override {
    std::vector<lq::CWindowElement*> windows = lq::CWindowElement::AllWindows();
    EXPECT_TRUE(windows.empty()) << windows.size() << " window(s) left";
    for (lq::CWindowElement* pWindow : windows) pWindow->DestroyElement();
    EXPECT_EQ(lq::CWindowElement::ModalStack().size(), 0u);
    lq::CNullView::Instance().Reset();
    if (m_pCore) {
      m_pCore->Shutdown();
      m_pCore->Release();
    }
    BasaltTesting::Reset();
    SandboxTest::TearDown();
  }

  // A frame of the layout file, built through the framework; null on failure.
  ILqElement* Build(const char16_t* pFrame, ILqElement* pParent = nullptr) {
    ILqElement* pElement = nullptr;
    Util::Lq::RawCreateLqElementBySkein(Frame(pFrame).c_str(), &pElement, pParent, nullptr, 0);
    return pElement;
  }

  lq::CNullView& Script() { return lq::CNullView::Instance(); }

  IKwCore* m_pCore = nullptr;
};

// The element with `id` below `pRoot` (a model element, not held), or null.
inline lq::CElement* Find(ILqElement* pRoot, const char16_t* pId) {
  lq::CElement* pElement = lq::CElement::FromInterface(pRoot);
  return pElement ? pElement->FindById(pId) : nullptr;
}

inline std::u16string TextOf(ILqElement* pElement) {
  win32::BSTR text = nullptr;
  pElement->GetText(&text);
  std::u16string value = text ? text : u"";
  win32::SysFreeString(text);
  return value;
}

// Records every event and destruction it hears, in order, as "<event id>:<element id>" and
// "destroy:<element id>"; an optional action runs inside each event. Lives on the test's stack:
// Count() tells how many references sources hold to it (1 when none does).
class CRecordingListener {
 public:
  std::vector<std::string> m_heard;
  std::function<void(win32::UINT, ILqElement*, ILqEvent*)> m_onEvent;

  CRecordingListener() : m_events(this), m_destroys(this) {}

  win32::ULONG Count() const { return m_refCount; }
  ILqEventListener* Events() { return &m_events; }
  ILqElementDestroyListener* Destroys() { return &m_destroys; }

 private:
  template <class TInterface>
  class CFace : public CNoDispatch<TInterface> {
   public:
    explicit CFace(CRecordingListener* pOwner) : m_pOwner(pOwner) {}
    win32::HRESULT STDMETHODCALLTYPE QueryInterface(win32::REFIID, void**) override {
      return win32::E_NOINTERFACE;
    }
    win32::ULONG STDMETHODCALLTYPE AddRef() override { return ++m_pOwner->m_refCount; }
    win32::ULONG STDMETHODCALLTYPE Release() override { return --m_pOwner->m_refCount; }

   protected:
    CRecordingListener* m_pOwner;
  };
  class CEvents final : public CFace<ILqEventListener> {
   public:
    using CFace::CFace;
    win32::HRESULT STDMETHODCALLTYPE OnLqEvent(win32::UINT eventId, ILqElement* pElement,
                                               ILqEvent* pEvent) override {
      m_pOwner->m_heard.push_back(std::to_string(eventId) + ":" + IdOf(pElement));
      if (m_pOwner->m_onEvent) m_pOwner->m_onEvent(eventId, pElement, pEvent);
      return 0;
    }
  };
  class CDestroys final : public CFace<ILqElementDestroyListener> {
   public:
    using CFace::CFace;
    win32::HRESULT STDMETHODCALLTYPE OnLqElementDestroy(ILqElement* pElement) override {
      m_pOwner->m_heard.push_back("destroy:" + IdOf(pElement));
      return 0;
    }
  };

  static std::string IdOf(ILqElement* pElement) {
    lq::CElement* p = lq::CElement::FromInterface(pElement);
    return p ? win32::Utf16ToUtf8(p->IdText()) : "?";
  }

  std::atomic<win32::ULONG> m_refCount{1};
  CEvents m_events;
  CDestroys m_destroys;
};

// A test around the main window, built, shown, and closed afterwards.
class CMainWindowTest : public CUiTest {
 protected:
  void SetUp() override {
    CUiTest::SetUp();
    m_pMain = Build(u"MainWnd");
    ASSERT_NE(m_pMain, nullptr);
    m_pMain->Show(5);
    m_pMain->GetWindowHandle(&m_mainHwnd);
  }
  void TearDown() override {
    if (m_pMain) {
      m_pMain->Close();
      m_pMain->Release();
    }
    CUiTest::TearDown();
  }

  ILqElement* m_pMain = nullptr;
  win32::HWND m_mainHwnd = nullptr;
};

inline ILqEventSource* EventSource(ILqElement* pElement) {
  ILqEventSource* pSource = nullptr;
  pElement->QueryInterface(IID_ILqEventSource, reinterpret_cast<void**>(&pSource));
  return pSource;
}

}  // namespace ui_test
