#include "Logic/LogicCenter.h"

#include <new>
#include <utility>

#include "Logic/PhotoMessage.h"
#include "NetEngine/DllLog.h"
#include "NetEngine/Lock.h"
#include "win32/module_name.h"

using namespace win32;

namespace {

constexpr WCHAR kWindowClassName[] = u"{C758F4F2-844F-467d-9AA4-7B2B063F7FFF}";
// The background brush value the class has always carried.
constexpr intptr_t kWindowBackground = 6;

// The module that holds this code: the window class belongs to it.
HINSTANCE OwnModule() {
  HMODULE hModule = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&OwnModule), &hModule);
  return hModule;
}

}  // namespace

CLogicCenter::CLogicCenter() {
  InitCriticalSection(&m_queueLock);
  InitCriticalSection(&m_channelLock);
}

CLogicCenter::~CLogicCenter() {
  // The sink belongs to the host, which may be gone at exit; it is left alone.
  ClearUiMessages();
  DeleteCriticalSection(&m_channelLock);
  DeleteCriticalSection(&m_queueLock);
}

bool CLogicCenter::Start() {
  {
    ScopedLock lock(&m_channelLock);
    if (!m_hWnd) {
      HINSTANCE hInstance = OwnModule();
      WNDCLASSEXW windowClass{};
      windowClass.cbSize = sizeof(windowClass);
      windowClass.lpfnWndProc = &CLogicCenter::WindowProc;
      windowClass.hInstance = hInstance;
      windowClass.hbrBackground = reinterpret_cast<HBRUSH>(kWindowBackground);
      windowClass.lpszClassName = kWindowClassName;
      // Ignored: a class left registered by an earlier Start is simply reused.
      RegisterClassExW(&windowClass);
      m_hWnd = CreateWindowExW(0, kWindowClassName, nullptr, WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                               hInstance, nullptr);
      if (!m_hWnd) {
        DLL_LOG("CLogicCenter[%p]::Start CreateWindowExW failed: %u", static_cast<void*>(this),
                GetLastError());
        return false;
      }
    }
  }
  // Messages queued while there was no window were never announced.
  bool waiting;
  {
    ScopedLock lock(&m_queueLock);
    waiting = !m_uiMessages.empty();
  }
  if (waiting) AnnounceUiMessages();
  return true;
}

void CLogicCenter::Stop() {
  DLL_LOG("LogicCenter uninit!!!");
  {
    ScopedLock lock(&m_channelLock);
    if (m_hWnd) {
      if (!DestroyWindow(m_hWnd)) {
        DLL_LOG("CLogicCenter[%p]::Stop DestroyWindow failed: %u", static_cast<void*>(this),
                GetLastError());
      }
      m_hWnd = nullptr;
    }
  }
  ClearUiMessages();
  if (m_pSink) {
    CPhotoMessage* pMessage = new (std::nothrow) CPhotoMessage(UIMsg_login_state, 0, 0, 0, 0, 0, 0);
    if (pMessage) {
      m_pSink->OnLogicMessage(pMessage);
      pMessage->Release();
    }
  }
}

void CLogicCenter::SetLogicSink(IOrbalynLogicSink* pSink) {
  if (pSink == m_pSink) return;
  if (pSink) pSink->AddRef();
  IOrbalynLogicSink* pOld = std::exchange(m_pSink, pSink);
  if (pOld) pOld->Release();
}

void CLogicCenter::PostUiMessage(int type, int value, int64_t id, int param1, int param2) {
  CPhotoMessage* pMessage = new (std::nothrow) CPhotoMessage(type, value, id, param1, param2, 0, 0);
  if (pMessage) AppendUiMessage(pMessage);
}

void CLogicCenter::PostUiMessagePayload(int value, int64_t id, const void* pBytes, size_t length) {
  CPhotoMessage* pMessage =
      new (std::nothrow) CPhotoMessage(UIMsg_upload_finish, value, id, pBytes, length);
  if (pMessage) AppendUiMessage(pMessage);
}

void CLogicCenter::QueueUiMessage(CPhotoMessage* pMessage) {
  if (!pMessage) return;
  pMessage->AddRef();  // the queue's: passes to whoever pops it
  AppendUiMessage(pMessage);
}

CPhotoMessage* CLogicCenter::PopUiMessage() {
  ScopedLock lock(&m_queueLock);
  if (m_uiMessages.empty()) return nullptr;
  CPhotoMessage* pMessage = m_uiMessages.front();
  m_uiMessages.pop_front();
  return pMessage;
}

void CLogicCenter::ClearUiMessages() {
  std::deque<CPhotoMessage*> dropped;
  {
    ScopedLock lock(&m_queueLock);
    dropped.swap(m_uiMessages);
  }
  for (CPhotoMessage* pMessage : dropped) pMessage->Release();
}

HWND CLogicCenter::WindowForTesting() {
  ScopedLock lock(&m_channelLock);
  return m_hWnd;
}

size_t CLogicCenter::QueuedCountForTesting() {
  ScopedLock lock(&m_queueLock);
  return m_uiMessages.size();
}

LRESULT CLogicCenter::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != kWmUiMessage) return DefWindowProcW(hwnd, message, wParam, lParam);
  Instance()->DeliverUiMessages();
  return 0;
}

void CLogicCenter::AppendUiMessage(CPhotoMessage* pMessage) {
  {
    ScopedLock lock(&m_queueLock);
    m_uiMessages.push_back(pMessage);
  }
  AnnounceUiMessages();
}

void CLogicCenter::AnnounceUiMessages() {
  HWND hWnd;
  {
    ScopedLock lock(&m_channelLock);
    hWnd = m_hWnd;
  }
  // Without a window a null handle would post to this thread's own queue, which nobody pumps;
  // the message waits in the queue for the next Start instead. A window destroyed meanwhile
  // only makes the post fail.
  if (hWnd) PostMessageW(hWnd, kWmUiMessage, 0, 0);
}

void CLogicCenter::DeliverUiMessages() {
  while (CPhotoMessage* pMessage = PopUiMessage()) {
    if (m_pSink) m_pSink->OnLogicMessage(pMessage);
    pMessage->Release();
  }
}
