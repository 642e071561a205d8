#include "win32/window.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "handles.h"
#include "win32/message_pump.h"
#include "win32/thread.h"
#include "win32/toplevel.h"
#include "win32/ui_backend.h"
#include "window_state.h"

namespace win32 {
namespace {

// HWND values: 0xE0000000 | generation (13 bits) << 16 | slot index (16 bits). They fit in 32
// bits like Windows handles, never look like a kernel handle of our table (multiples of 4 below
// that range), and a reused slot answers only to its new generation.
constexpr uintptr_t kHwndTag = 0xE0000000;
// X window ids have 29 bits; anything in that range that is not a window of ours may be another
// process's top-level.
constexpr uintptr_t kMaxXid = 0x1FFFFFFF;
constexpr uint32_t kGenerationMask = 0x1FFF;
constexpr size_t kMaxWindows = 0xFFFF;
// Fresh slots are used until this many exist, so a freed slot (and its handle value) comes back
// as late as possible.
constexpr size_t kSlotsBeforeReuse = 4096;
constexpr size_t kMaxPostedMessages = 10000;
constexpr ATOM kFirstAtom = 0xC000;
constexpr DWORD kPostedBits = QS_POSTMESSAGE | QS_ALLPOSTMESSAGE;
const HWND kThreadMessagesOnly = reinterpret_cast<HWND>(static_cast<intptr_t>(-1));

uint64_t NowMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

// Cached: the id is needed on every dispatch and send.
DWORD CurrentThreadId() {
  thread_local DWORD id = GetCurrentThreadId();
  return id;
}

std::u16string ClassKey(LPCWSTR name) {
  std::u16string key;
  for (; *name; ++name) {
    char16_t c = *name;
    key.push_back(c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c);
  }
  return key;
}

bool IsAtomName(LPCWSTR name) { return reinterpret_cast<uintptr_t>(name) < 0x10000; }

struct WindowClass {
  std::u16string key;
  HINSTANCE instance;
  ATOM atom;
  WNDPROC proc;
  int windowCount = 0;  // registry lock
};

// A message sent from another thread; the owner runs it and hands the result back.
struct SentMessage {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  detail::Doorbell* pSenderDoorbell;
  // The sender reads `done` under this lock, so once it sees it set, the owner has finished
  // ringing its doorbell (which dies with the sender's thread).
  std::mutex lock;
  bool done = false;
  LRESULT result = 0;
};

struct Timer {
  HWND hwnd;
  UINT_PTR id;
  uint64_t interval;
  uint64_t due;
};

// One per thread that used a window or queue call.
// Lifetime: registered by thread id until the thread exits; posters may hold it longer.
// Threading: everything below `lock` is guarded by it; the doorbell is rung only under it while
//   `alive`, because it is closed when the owner thread ends.
struct ThreadQueue {
  DWORD threadId = 0;
  detail::Doorbell* pDoorbell = nullptr;

  std::mutex lock;
  bool alive = true;
  std::deque<MSG> posted;
  std::deque<std::shared_ptr<SentMessage>> sent;
  std::vector<Timer> timers;
  bool quitPending = false;
  int quitCode = 0;
  DWORD changeBits = 0;   // kinds of input arrived since the owner last looked
  uint64_t lastLook = 0;  // when the owner last looked; timers due later count as new input

  void RingLocked() { detail::RingDoorbell(pDoorbell); }
};

struct Window {
  // Set at creation, then constant.
  HWND hwnd = nullptr;
  DWORD threadId = 0;
  std::shared_ptr<ThreadQueue> queue;
  std::shared_ptr<WindowClass> windowClass;  // null for a registered top-level
  HWND parent = nullptr;
  DWORD style = 0;
  DWORD exStyle = 0;
  bool topLevel = false;  // a real window the GUI half registered under its X id

  std::atomic<WNDPROC> proc{nullptr};  // swapped by subclassing from any thread
  std::atomic<LONG_PTR> userData{0};
  std::mutex uiLock;
  detail::WindowUiState ui;  // uiLock: what ShowWindow and friends keep when nothing draws
  bool destroying = false;  // owner thread only
  bool destroyed = false;   // queue->lock: no more posts or timers
};

// Process-wide tables: windows by handle, classes, queues by thread id. Leaky, so windows can be
// used from dependents' static constructors and exit handlers.
class WindowRegistry {
 public:
  HWND Insert(const std::shared_ptr<Window>& window) {
    std::lock_guard<std::mutex> guard(m_lock);
    size_t index;
    if ((m_slots.size() < kSlotsBeforeReuse || m_free.empty()) && m_slots.size() < kMaxWindows) {
      m_slots.emplace_back();
      index = m_slots.size();
    } else if (!m_free.empty()) {
      index = m_free.front();
      m_free.pop_front();
    } else {
      return nullptr;
    }
    Slot& slot = m_slots[index - 1];
    slot.window = window;
    window->hwnd = reinterpret_cast<HWND>(kHwndTag | (uintptr_t{slot.generation} << 16) | index);
    ++window->windowClass->windowCount;
    return window->hwnd;
  }

  // Registered top-levels keep their X id as handle. False when the id is taken.
  bool InsertTopLevel(const std::shared_ptr<Window>& window) {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_topLevels.emplace(reinterpret_cast<uintptr_t>(window->hwnd), window).second;
  }

  std::shared_ptr<Window> Find(HWND hwnd) {
    std::lock_guard<std::mutex> guard(m_lock);
    return FindLocked(hwnd);
  }

  void Remove(HWND hwnd) {
    std::lock_guard<std::mutex> guard(m_lock);
    RemoveLocked(hwnd);
  }

  // Removes every window of a thread that is ending; returns them.
  std::vector<std::shared_ptr<Window>> RemoveThreadWindows(DWORD threadId) {
    std::vector<std::shared_ptr<Window>> removed;
    std::lock_guard<std::mutex> guard(m_lock);
    for (Slot& slot : m_slots) {
      if (slot.window && slot.window->threadId == threadId) removed.push_back(slot.window);
    }
    for (const auto& [xid, window] : m_topLevels) {
      if (window->threadId == threadId) removed.push_back(window);
    }
    for (const auto& window : removed) RemoveLocked(window->hwnd);
    return removed;
  }

  // Returns 0 with the last error set on failure.
  ATOM RegisterClass(const WNDCLASSEXW& wc) {
    std::lock_guard<std::mutex> guard(m_lock);
    std::u16string key = ClassKey(wc.lpszClassName);
    if (FindClassLocked(key, 0, wc.hInstance)) {
      SetLastError(ERROR_CLASS_ALREADY_EXISTS);
      return 0;
    }
    ATOM atom = kFirstAtom;
    while (atom != 0 && FindClassLocked(u"", atom, nullptr)) ++atom;
    if (atom == 0) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    auto cls = std::make_shared<WindowClass>();
    cls->key = std::move(key);
    cls->instance = wc.hInstance;
    cls->atom = atom;
    cls->proc = wc.lpfnWndProc;
    m_classes.push_back(std::move(cls));
    return atom;
  }

  BOOL UnregisterClass(LPCWSTR name, HINSTANCE instance) {
    std::lock_guard<std::mutex> guard(m_lock);
    std::shared_ptr<WindowClass> cls = FindClassByNameLocked(name, instance);
    if (!cls) return detail::Fail(ERROR_CLASS_DOES_NOT_EXIST);
    if (cls->windowCount > 0) return detail::Fail(ERROR_CLASS_HAS_WINDOWS);
    m_classes.erase(std::find(m_classes.begin(), m_classes.end(), cls));
    return TRUE;
  }

  std::shared_ptr<WindowClass> FindClass(LPCWSTR name, HINSTANCE instance) {
    std::lock_guard<std::mutex> guard(m_lock);
    return FindClassByNameLocked(name, instance);
  }

  std::shared_ptr<ThreadQueue> FindQueue(DWORD threadId) {
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_queues.find(threadId);
    return it == m_queues.end() ? nullptr : it->second;
  }

  void AddQueue(const std::shared_ptr<ThreadQueue>& queue) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_queues[queue->threadId] = queue;
  }

  void RemoveQueue(const std::shared_ptr<ThreadQueue>& queue) {
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_queues.find(queue->threadId);
    if (it != m_queues.end() && it->second == queue) m_queues.erase(it);
  }

 private:
  struct Slot {
    std::shared_ptr<Window> window;
    uint32_t generation = 1;
  };

  Slot* SlotOf(HWND hwnd) {
    uintptr_t value = reinterpret_cast<uintptr_t>(hwnd);
    if ((value & ~uintptr_t{0x1FFFFFFF}) != kHwndTag) return nullptr;
    size_t index = value & 0xFFFF;
    uint32_t generation = static_cast<uint32_t>(value >> 16) & kGenerationMask;
    if (index == 0 || index > m_slots.size()) return nullptr;
    Slot& slot = m_slots[index - 1];
    if (!slot.window || slot.generation != generation) return nullptr;
    return &slot;
  }

  std::shared_ptr<Window> FindLocked(HWND hwnd) {
    Slot* pSlot = SlotOf(hwnd);
    if (pSlot) return pSlot->window;
    auto it = m_topLevels.find(reinterpret_cast<uintptr_t>(hwnd));
    return it == m_topLevels.end() ? nullptr : it->second;
  }

  void RemoveLocked(HWND hwnd) {
    if (m_topLevels.erase(reinterpret_cast<uintptr_t>(hwnd))) return;
    Slot* pSlot = SlotOf(hwnd);
    if (!pSlot) return;
    --pSlot->window->windowClass->windowCount;
    pSlot->window.reset();
    pSlot->generation = (pSlot->generation + 1) & kGenerationMask;
    if (pSlot->generation == 0) pSlot->generation = 1;
    m_free.push_back(static_cast<size_t>(pSlot - m_slots.data()) + 1);
  }

  // By key and instance, or by atom when `atom` is not 0.
  std::shared_ptr<WindowClass> FindClassLocked(const std::u16string& key, ATOM atom,
                                               HINSTANCE instance) {
    for (const auto& cls : m_classes) {
      if (atom != 0 ? cls->atom == atom : (cls->key == key && cls->instance == instance)) {
        return cls;
      }
    }
    return nullptr;
  }

  std::shared_ptr<WindowClass> FindClassByNameLocked(LPCWSTR name, HINSTANCE instance) {
    if (!name) return nullptr;
    if (IsAtomName(name)) {
      return FindClassLocked(u"", static_cast<ATOM>(reinterpret_cast<uintptr_t>(name)), nullptr);
    }
    return FindClassLocked(ClassKey(name), 0, instance);
  }

  std::mutex m_lock;
  std::vector<Slot> m_slots;
  std::deque<size_t> m_free;
  std::vector<std::shared_ptr<WindowClass>> m_classes;
  std::unordered_map<DWORD, std::shared_ptr<ThreadQueue>> m_queues;
  std::unordered_map<uintptr_t, std::shared_ptr<Window>> m_topLevels;
};

WindowRegistry& Registry() {
  static WindowRegistry* registry = new WindowRegistry;
  return *registry;
}

void CompleteSent(SentMessage& sent, LRESULT result) {
  std::lock_guard<std::mutex> guard(sent.lock);
  sent.result = result;
  sent.done = true;
  detail::RingDoorbell(sent.pSenderDoorbell);
}

// The calling thread's queue, created on first use and torn down at thread exit: its windows
// are invalidated without calling their procedures (their code may be gone by then), and
// senders still waiting on it get 0.
class ThreadState {
 public:
  ThreadState() {
    // Taking the doorbell first makes it outlive this object (thread-exit destructors run in
    // reverse order of construction).
    detail::Doorbell* pDoorbell = detail::CurrentDoorbell();
    m_queue = std::make_shared<ThreadQueue>();
    m_queue->threadId = CurrentThreadId();
    m_queue->pDoorbell = pDoorbell;
    m_queue->lastLook = NowMs();
    Registry().AddQueue(m_queue);
  }
  ThreadState(const ThreadState&) = delete;
  ThreadState& operator=(const ThreadState&) = delete;
  ~ThreadState();

  const std::shared_ptr<ThreadQueue>& Queue() const { return m_queue; }

 private:
  std::shared_ptr<ThreadQueue> m_queue;
};

thread_local bool t_exited = false;
thread_local MessageWaitHook t_waitHook = nullptr;

ThreadState::~ThreadState() {
  t_exited = true;
  std::vector<std::shared_ptr<Window>> windows = Registry().RemoveThreadWindows(m_queue->threadId);
  std::deque<std::shared_ptr<SentMessage>> sent;
  {
    std::lock_guard<std::mutex> guard(m_queue->lock);
    m_queue->alive = false;
    for (const auto& window : windows) window->destroyed = true;
    m_queue->posted.clear();
    m_queue->timers.clear();
    sent.swap(m_queue->sent);
  }
  for (const auto& pSent : sent) CompleteSent(*pSent, 0);
  Registry().RemoveQueue(m_queue);
  const UiBackend* pBackend = GetUiBackend();
  for (const auto& window : windows) {
    if (window->topLevel && pBackend && pBackend->topLevelDestroyed) {
      pBackend->topLevelDestroyed(window->hwnd);
    }
  }
}

// Null once the thread's exit has begun.
ThreadState* CurrentState() {
  if (t_exited) return nullptr;
  thread_local ThreadState state;
  return &state;
}

ThreadQueue* CurrentQueue() {
  ThreadState* pState = CurrentState();
  return pState ? pState->Queue().get() : nullptr;
}

bool Matches(const MSG& msg, HWND filter, UINT filterMin, UINT filterMax) {
  if (filter == kThreadMessagesOnly) {
    if (msg.hwnd) return false;
  } else if (filter && msg.hwnd != filter) {
    return false;
  }
  if (filterMin == 0 && filterMax == 0) return true;
  return msg.message >= filterMin && msg.message <= filterMax;
}

bool TimerMatches(const Timer& timer, HWND filter, UINT filterMin, UINT filterMax) {
  MSG msg{};
  msg.hwnd = timer.hwnd;
  msg.message = WM_TIMER;
  return Matches(msg, filter, filterMin, filterMax);
}

LRESULT CallProcedure(const Window& window, UINT message, WPARAM wParam, LPARAM lParam) {
  WNDPROC proc = window.proc.load();
  return proc ? proc(window.hwnd, message, wParam, lParam) : 0;
}

// Runs the messages other threads sent to this one, oldest first.
void RunSentMessages(ThreadQueue& queue) {
  for (;;) {
    std::shared_ptr<SentMessage> pSent;
    {
      std::lock_guard<std::mutex> guard(queue.lock);
      if (queue.sent.empty()) return;
      pSent = std::move(queue.sent.front());
      queue.sent.pop_front();
    }
    LRESULT result = 0;
    std::shared_ptr<Window> pWindow = Registry().Find(pSent->hwnd);
    if (pWindow && pWindow->threadId == queue.threadId) {
      result = CallProcedure(*pWindow, pSent->message, pSent->wParam, pSent->lParam);
    }
    CompleteSent(*pSent, result);
  }
}

// Looks at the queue as Get/Peek do (after running sent messages): posted, then WM_QUIT, then
// a due timer. Also records that the owner looked.
bool TakeMessage(ThreadQueue& queue, MSG* pMsg, HWND filter, UINT filterMin, UINT filterMax,
                 bool remove, bool takeQuit = true) {
  std::lock_guard<std::mutex> guard(queue.lock);
  uint64_t now = NowMs();
  queue.lastLook = now;
  queue.changeBits = 0;
  for (auto it = queue.posted.begin(); it != queue.posted.end(); ++it) {
    if (!Matches(*it, filter, filterMin, filterMax)) continue;
    *pMsg = *it;
    if (remove) queue.posted.erase(it);
    return true;
  }
  if (queue.quitPending && takeQuit) {
    *pMsg = MSG{};
    pMsg->message = WM_QUIT;
    pMsg->wParam = static_cast<WPARAM>(static_cast<intptr_t>(queue.quitCode));
    pMsg->time = static_cast<DWORD>(now);
    if (remove) queue.quitPending = false;
    return true;
  }
  Timer* pDue = nullptr;
  for (Timer& timer : queue.timers) {
    if (timer.due > now || !TimerMatches(timer, filter, filterMin, filterMax)) continue;
    if (!pDue || timer.due < pDue->due) pDue = &timer;
  }
  if (!pDue) return false;
  *pMsg = MSG{};
  pMsg->hwnd = pDue->hwnd;
  pMsg->message = WM_TIMER;
  pMsg->wParam = pDue->id;
  pMsg->time = static_cast<DWORD>(now);
  if (remove) pDue->due = now + pDue->interval;
  return true;
}

// Milliseconds until the next timer the filter lets through is due (INFINITE: none).
DWORD TimeToNextTimer(ThreadQueue& queue, HWND filter, UINT filterMin, UINT filterMax,
                      bool onlyNew) {
  std::lock_guard<std::mutex> guard(queue.lock);
  uint64_t now = NowMs();
  uint64_t best = UINT64_MAX;
  for (const Timer& timer : queue.timers) {
    if (!TimerMatches(timer, filter, filterMin, filterMax)) continue;
    if (onlyNew && timer.due <= queue.lastLook) continue;
    best = std::min(best, timer.due <= now ? 0 : timer.due - now);
  }
  return best >= INFINITE ? INFINITE : static_cast<DWORD>(best);
}

void DefaultMessageWait(int wakeFd, DWORD milliseconds) {
  pollfd pfd{wakeFd, POLLIN, 0};
  int timeout =
      milliseconds == INFINITE ? -1 : static_cast<int>(std::min<DWORD>(milliseconds, INT_MAX));
  poll(&pfd, 1, timeout);  // EINTR simply returns early; callers re-check
}

// Sleeps until the thread's doorbell rings or `milliseconds` pass. The hook is used only by the
// queue waits (a toolkit loop there may dispatch other work); sender waits always poll.
void ParkThread(DWORD milliseconds, bool useHook) {
  detail::Doorbell* pDoorbell = detail::CurrentDoorbell();
  MessageWaitHook hook = useHook && t_waitHook ? t_waitHook : DefaultMessageWait;
  hook(detail::DoorbellFd(pDoorbell), milliseconds);
  detail::DrainDoorbell(pDoorbell);
}

bool FilterIsValid(HWND filter) {
  return !filter || filter == kThreadMessagesOnly || Registry().Find(filter) != nullptr;
}

BOOL PostToQueue(ThreadQueue& queue, const Window* pWindow, const MSG& msg, DWORD deadError) {
  std::lock_guard<std::mutex> guard(queue.lock);
  if (!queue.alive || (pWindow && pWindow->destroyed)) return detail::Fail(deadError);
  if (queue.posted.size() >= kMaxPostedMessages) return detail::Fail(ERROR_NOT_ENOUGH_QUOTA);
  queue.posted.push_back(msg);
  // Only the first post since the owner last looked rings: the owner takes every waiting
  // message before it sleeps again, so one ring per look is enough and a burst costs one write.
  if (!(queue.changeBits & kPostedBits)) queue.RingLocked();
  queue.changeBits |= kPostedBits;
  return TRUE;
}

MSG MakeMsg(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  MSG msg{};
  msg.hwnd = hwnd;
  msg.message = message;
  msg.wParam = wParam;
  msg.lParam = lParam;
  msg.time = static_cast<DWORD>(NowMs());
  return msg;
}

// What MsgWaitForMultipleObjectsEx counts as queue input.
struct InputQuery {
  ThreadQueue* pQueue;
  DWORD wakeMask;
  bool anyWaiting;  // MWMO_INPUTAVAILABLE: input already there counts, not only new input
};

bool QueueHasInput(void* context) {
  const InputQuery& query = *static_cast<InputQuery*>(context);
  ThreadQueue& queue = *query.pQueue;
  std::lock_guard<std::mutex> guard(queue.lock);
  if ((query.wakeMask & QS_SENDMESSAGE) && !queue.sent.empty()) return true;
  if (query.wakeMask & kPostedBits) {
    if (query.anyWaiting ? (!queue.posted.empty() || queue.quitPending)
                         : (queue.changeBits & kPostedBits) != 0) {
      return true;
    }
  }
  if (query.wakeMask & QS_TIMER) {
    uint64_t now = NowMs();
    for (const Timer& timer : queue.timers) {
      if (timer.due <= now && (query.anyWaiting || timer.due > queue.lastLook)) return true;
    }
  }
  return false;
}

}  // namespace

ATOM RegisterClassExW(const WNDCLASSEXW* wndClass) {
  if (!wndClass || wndClass->cbSize != sizeof(WNDCLASSEXW) || !wndClass->lpfnWndProc ||
      !wndClass->lpszClassName || IsAtomName(wndClass->lpszClassName)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return Registry().RegisterClass(*wndClass);
}

BOOL UnregisterClassW(LPCWSTR className, HINSTANCE instance) {
  return Registry().UnregisterClass(className, instance);
}

HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x,
                     int y, int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID param) {
  ThreadState* pState = CurrentState();
  if (!pState) {
    SetLastError(ERROR_INVALID_THREAD_ID);
    return nullptr;
  }
  std::shared_ptr<WindowClass> cls = Registry().FindClass(className, instance);
  if (!cls) {
    SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
    return nullptr;
  }
  if (parent && parent != HWND_MESSAGE && !Registry().Find(parent)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  auto pWindow = std::make_shared<Window>();
  pWindow->threadId = pState->Queue()->threadId;
  pWindow->queue = pState->Queue();
  pWindow->windowClass = cls;
  pWindow->proc = cls->proc;
  pWindow->parent = parent;
  pWindow->style = style;
  pWindow->exStyle = exStyle;
  HWND hwnd = Registry().Insert(pWindow);
  if (!hwnd) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  CREATESTRUCTW create{};
  create.lpCreateParams = param;
  create.hInstance = instance;
  create.hMenu = menu;
  create.hwndParent = parent;
  create.cy = height;
  create.cx = width;
  create.y = y;
  create.x = x;
  create.style = static_cast<LONG>(style);
  create.lpszName = windowName;
  create.lpszClass = className;
  create.dwExStyle = exStyle;
  if (CallProcedure(*pWindow, WM_CREATE, 0, reinterpret_cast<LPARAM>(&create)) == -1) {
    DestroyWindow(hwnd);
    return nullptr;
  }
  return hwnd;
}

BOOL DestroyWindow(HWND hwnd) {
  std::shared_ptr<Window> pWindow = Registry().Find(hwnd);
  if (!pWindow) return detail::Fail(ERROR_INVALID_WINDOW_HANDLE);
  if (pWindow->threadId != CurrentThreadId()) return detail::Fail(ERROR_ACCESS_DENIED);
  if (pWindow->destroying) return TRUE;
  pWindow->destroying = true;
  {
    ThreadQueue& queue = *pWindow->queue;
    std::lock_guard<std::mutex> guard(queue.lock);
    pWindow->destroyed = true;
    std::erase_if(queue.posted, [hwnd](const MSG& msg) { return msg.hwnd == hwnd; });
    std::erase_if(queue.timers, [hwnd](const Timer& timer) { return timer.hwnd == hwnd; });
  }
  CallProcedure(*pWindow, WM_DESTROY, 0, 0);
  CallProcedure(*pWindow, WM_NCDESTROY, 0, 0);
  // Callers still inside the procedure keep `pWindow` alive; the handle is dead from here on.
  Registry().Remove(hwnd);
  const UiBackend* pBackend = GetUiBackend();
  if (pWindow->topLevel && pBackend && pBackend->topLevelDestroyed) {
    pBackend->topLevelDestroyed(hwnd);
  }
  return TRUE;
}

BOOL IsWindow(HWND hwnd) {
  if (Registry().Find(hwnd)) return TRUE;
  const UiBackend* pBackend = GetUiBackend();
  if (detail::MayBeForeignWindow(hwnd) && pBackend && pBackend->isForeignWindow) {
    return pBackend->isForeignWindow(hwnd);
  }
  return FALSE;
}

DWORD GetWindowThreadProcessId(HWND hwnd, LPDWORD processId) {
  std::shared_ptr<Window> pWindow = Registry().Find(hwnd);
  if (!pWindow) {
    // Another process's window: its process id stands for the thread too.
    const UiBackend* pBackend = GetUiBackend();
    DWORD pid = 0;
    if (detail::MayBeForeignWindow(hwnd) && pBackend && pBackend->getForeignWindowProcessId) {
      pid = pBackend->getForeignWindowProcessId(hwnd);
    }
    if (!pid) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    if (processId) *processId = pid;
    return pid;
  }
  if (processId) *processId = static_cast<DWORD>(getpid());
  return pWindow->threadId;
}

LONG_PTR SetWindowLongPtrW(HWND hwnd, int index, LONG_PTR value) {
  std::shared_ptr<Window> pWindow = Registry().Find(hwnd);
  if (!pWindow) return detail::Fail(ERROR_INVALID_WINDOW_HANDLE);
  switch (index) {
    case GWLP_USERDATA:
      return pWindow->userData.exchange(value);
    case GWLP_WNDPROC:
      if (!value) return detail::Fail(ERROR_INVALID_PARAMETER);
      return reinterpret_cast<LONG_PTR>(pWindow->proc.exchange(reinterpret_cast<WNDPROC>(value)));
    default:
      return detail::Fail(ERROR_INVALID_INDEX);
  }
}

LONG_PTR GetWindowLongPtrW(HWND hwnd, int index) {
  std::shared_ptr<Window> pWindow = Registry().Find(hwnd);
  if (!pWindow) return detail::Fail(ERROR_INVALID_WINDOW_HANDLE);
  switch (index) {
    case GWLP_USERDATA:
      return pWindow->userData.load();
    case GWLP_WNDPROC:
      return reinterpret_cast<LONG_PTR>(pWindow->proc.load());
    default:
      return detail::Fail(ERROR_INVALID_INDEX);
  }
}

LRESULT CallWindowProcW(WNDPROC proc, HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  return proc ? proc(hwnd, message, wParam, lParam) : 0;
}

LRESULT DefWindowProcW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_NCCREATE:
      return TRUE;
    case WM_CLOSE:
      DestroyWindow(hwnd);
      return 0;
    case WM_NCLBUTTONDOWN: {
      // A press on the caption moves the window (a registered top-level: the desktop's move).
      const UiBackend* pBackend = GetUiBackend();
      if (static_cast<LRESULT>(wParam) == HTCAPTION && pBackend && pBackend->beginMoveDrag &&
          IsRegisteredTopLevel(hwnd)) {
        const auto x = static_cast<int16_t>(LOWORD(static_cast<DWORD_PTR>(lParam)));
        const auto y = static_cast<int16_t>(LOWORD(static_cast<DWORD_PTR>(lParam) >> 16));
        pBackend->beginMoveDrag(hwnd, x, y);
      }
      return 0;
    }
    default:
      return 0;
  }
}

BOOL PostMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (!hwnd) {
    ThreadQueue* pQueue = CurrentQueue();
    if (!pQueue) return detail::Fail(ERROR_INVALID_THREAD_ID);
    return PostToQueue(*pQueue, nullptr, MakeMsg(nullptr, message, wParam, lParam),
                       ERROR_INVALID_THREAD_ID);
  }
  std::shared_ptr<Window> pWindow = Registry().Find(hwnd);
  if (!pWindow) {
    const UiBackend* pBackend = GetUiBackend();
    if (detail::MayBeForeignWindow(hwnd) && pBackend && pBackend->postForeignMessage) {
      return pBackend->postForeignMessage(hwnd, message, wParam, lParam);
    }
    return detail::Fail(ERROR_INVALID_WINDOW_HANDLE);
  }
  return PostToQueue(*pWindow->queue, pWindow.get(), MakeMsg(hwnd, message, wParam, lParam),
                     ERROR_INVALID_WINDOW_HANDLE);
}

BOOL PostThreadMessageW(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<ThreadQueue> pQueue = Registry().FindQueue(threadId);
  if (!pQueue) return detail::Fail(ERROR_INVALID_THREAD_ID);
  return PostToQueue(*pQueue, nullptr, MakeMsg(nullptr, message, wParam, lParam),
                     ERROR_INVALID_THREAD_ID);
}

LRESULT SendMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<Window> pWindow = Registry().Find(hwnd);
  if (!pWindow) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (pWindow->threadId == CurrentThreadId()) {
    return CallProcedure(*pWindow, message, wParam, lParam);
  }
  ThreadQueue* pOwnQueue = CurrentQueue();
  if (!pOwnQueue) return 0;
  auto pSent = std::make_shared<SentMessage>();
  pSent->hwnd = hwnd;
  pSent->message = message;
  pSent->wParam = wParam;
  pSent->lParam = lParam;
  pSent->pSenderDoorbell = detail::CurrentDoorbell();
  {
    ThreadQueue& target = *pWindow->queue;
    std::lock_guard<std::mutex> guard(target.lock);
    if (!target.alive || pWindow->destroyed) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    target.sent.push_back(pSent);
    target.changeBits |= QS_SENDMESSAGE;
    target.RingLocked();
  }
  // While waiting, run what others send to us, so two threads sending to each other go on.
  for (;;) {
    RunSentMessages(*pOwnQueue);
    {
      std::lock_guard<std::mutex> guard(pSent->lock);
      if (pSent->done) return pSent->result;
    }
    ParkThread(INFINITE, false);
  }
}

void PostQuitMessage(int exitCode) {
  ThreadQueue* pQueue = CurrentQueue();
  if (!pQueue) return;
  std::lock_guard<std::mutex> guard(pQueue->lock);
  pQueue->quitPending = true;
  pQueue->quitCode = exitCode;
  pQueue->changeBits |= kPostedBits;
  pQueue->RingLocked();
}

BOOL GetMessageW(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax) {
  ThreadQueue* pQueue = CurrentQueue();
  if (!msg || !pQueue) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  if (!FilterIsValid(hwnd)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return -1;
  }
  for (;;) {
    RunSentMessages(*pQueue);
    if (TakeMessage(*pQueue, msg, hwnd, filterMin, filterMax, true)) {
      return msg->message == WM_QUIT ? FALSE : TRUE;
    }
    ParkThread(TimeToNextTimer(*pQueue, hwnd, filterMin, filterMax, false), true);
  }
}

BOOL PeekMessageW(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeFlags) {
  ThreadQueue* pQueue = CurrentQueue();
  if (!msg || !pQueue) return detail::Fail(ERROR_INVALID_PARAMETER);
  if (!FilterIsValid(hwnd)) return detail::Fail(ERROR_INVALID_WINDOW_HANDLE);
  RunSentMessages(*pQueue);
  return TakeMessage(*pQueue, msg, hwnd, filterMin, filterMax, (removeFlags & PM_REMOVE) != 0)
             ? TRUE
             : FALSE;
}

BOOL TranslateMessage(const MSG*) { return FALSE; }

LRESULT DispatchMessageW(const MSG* msg) {
  if (!msg || !msg->hwnd) return 0;
  std::shared_ptr<Window> pWindow = Registry().Find(msg->hwnd);
  if (!pWindow) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  // Procedures run only on their own thread.
  if (pWindow->threadId != CurrentThreadId()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
  }
  return CallProcedure(*pWindow, msg->message, msg->wParam, msg->lParam);
}

DWORD GetQueueStatus(UINT flags) {
  ThreadQueue* pQueue = CurrentQueue();
  if (!pQueue) return 0;
  std::lock_guard<std::mutex> guard(pQueue->lock);
  DWORD waiting = 0;
  if (!pQueue->sent.empty()) waiting |= QS_SENDMESSAGE;
  if (!pQueue->posted.empty() || pQueue->quitPending) waiting |= kPostedBits;
  uint64_t now = NowMs();
  for (const Timer& timer : pQueue->timers) {
    if (timer.due <= now) waiting |= QS_TIMER;
  }
  DWORD arrived = pQueue->changeBits & waiting & flags;
  pQueue->changeBits &= ~flags;
  return ((waiting & flags & 0xFFFF) << 16) | (arrived & 0xFFFF);
}

BOOL WaitMessage() {
  ThreadQueue* pQueue = CurrentQueue();
  if (!pQueue) return detail::Fail(ERROR_INVALID_THREAD_ID);
  InputQuery query{pQueue, QS_ALLINPUT & ~QS_SENDMESSAGE, false};
  for (;;) {
    RunSentMessages(*pQueue);
    if (QueueHasInput(&query)) return TRUE;
    ParkThread(TimeToNextTimer(*pQueue, nullptr, 0, 0, true), true);
  }
}

DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                DWORD milliseconds, DWORD wakeMask) {
  return MsgWaitForMultipleObjectsEx(count, handles, milliseconds, wakeMask,
                                     waitAll ? MWMO_WAITALL : 0);
}

DWORD MsgWaitForMultipleObjectsEx(DWORD count, const HANDLE* handles, DWORD milliseconds,
                                  DWORD wakeMask, DWORD flags) {
  ThreadQueue* pQueue = CurrentQueue();
  if (!pQueue || count >= MAXIMUM_WAIT_OBJECTS || (count > 0 && !handles)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  InputQuery query{pQueue, wakeMask, (flags & MWMO_INPUTAVAILABLE) != 0};
  uint64_t deadline = milliseconds == INFINITE ? UINT64_MAX : NowMs() + milliseconds;
  BOOL waitAll = (flags & MWMO_WAITALL) ? TRUE : FALSE;
  for (;;) {
    // Timers fire without a doorbell ring, so never sleep past the next one.
    uint64_t now = NowMs();
    DWORD slice =
        deadline == UINT64_MAX ? INFINITE : static_cast<DWORD>(deadline > now ? deadline - now : 0);
    if (wakeMask & QS_TIMER) {
      slice = std::min(slice, TimeToNextTimer(*pQueue, nullptr, 0, 0, !query.anyWaiting));
    }
    DWORD result =
        detail::WaitObjects(count, handles, waitAll, slice, QueueHasInput, &query, t_waitHook);
    if (result != WAIT_TIMEOUT) return result;
    if (QueueHasInput(&query)) return WAIT_OBJECT_0 + count;
    if (NowMs() >= deadline) return WAIT_TIMEOUT;
  }
}

UINT_PTR SetTimer(HWND hwnd, UINT_PTR idEvent, UINT elapse, TIMERPROC timerFunc) {
  if (timerFunc) return detail::Fail(ERROR_INVALID_PARAMETER);
  std::shared_ptr<Window> pWindow = Registry().Find(hwnd);
  if (!pWindow) return detail::Fail(ERROR_INVALID_WINDOW_HANDLE);
  uint64_t interval = std::clamp<uint64_t>(elapse, USER_TIMER_MINIMUM, 0x7FFFFFFF);
  ThreadQueue& queue = *pWindow->queue;
  std::lock_guard<std::mutex> guard(queue.lock);
  if (!queue.alive || pWindow->destroyed) return detail::Fail(ERROR_INVALID_WINDOW_HANDLE);
  uint64_t due = NowMs() + interval;
  auto it = std::find_if(queue.timers.begin(), queue.timers.end(), [&](const Timer& timer) {
    return timer.hwnd == hwnd && timer.id == idEvent;
  });
  if (it != queue.timers.end()) {
    it->interval = interval;
    it->due = due;
  } else {
    queue.timers.push_back(Timer{hwnd, idEvent, interval, due});
  }
  // The owner may be sleeping with a deadline computed before this timer existed.
  queue.RingLocked();
  return 1;
}

BOOL KillTimer(HWND hwnd, UINT_PTR idEvent) {
  std::shared_ptr<Window> pWindow = Registry().Find(hwnd);
  if (!pWindow) return detail::Fail(ERROR_INVALID_WINDOW_HANDLE);
  ThreadQueue& queue = *pWindow->queue;
  std::lock_guard<std::mutex> guard(queue.lock);
  size_t removed = std::erase_if(
      queue.timers, [&](const Timer& timer) { return timer.hwnd == hwnd && timer.id == idEvent; });
  return removed ? TRUE : detail::Fail(ERROR_INVALID_PARAMETER);
}

void SetMessageWaitHook(MessageWaitHook hook) { t_waitHook = hook; }

// --- The toolkit seam ---

int GetQueueWakeFd() { return CurrentQueue() ? detail::DoorbellFd(detail::CurrentDoorbell()) : -1; }

void DrainQueueWake() {
  if (CurrentQueue()) detail::DrainDoorbell(detail::CurrentDoorbell());
}

bool IsQueueReady(DWORD* pMsToNextTimer) {
  ThreadQueue* pQueue = CurrentQueue();
  if (pMsToNextTimer) *pMsToNextTimer = INFINITE;
  if (!pQueue) return false;
  {
    std::lock_guard<std::mutex> guard(pQueue->lock);
    if (!pQueue->sent.empty() || !pQueue->posted.empty()) return true;
  }
  DWORD next = TimeToNextTimer(*pQueue, nullptr, 0, 0, false);
  if (pMsToNextTimer) *pMsToNextTimer = next;
  return next == 0;
}

bool DispatchOneMessage() {
  ThreadQueue* pQueue = CurrentQueue();
  if (!pQueue) return false;
  RunSentMessages(*pQueue);
  MSG msg;
  if (!TakeMessage(*pQueue, &msg, nullptr, 0, 0, true, false)) return false;
  DispatchMessageW(&msg);
  return true;
}

bool IsQuitPending() {
  ThreadQueue* pQueue = CurrentQueue();
  if (!pQueue) return false;
  std::lock_guard<std::mutex> guard(pQueue->lock);
  return pQueue->quitPending;
}

// --- Registered top-levels and the state kept on windows ---

HWND RegisterTopLevelWindow(DWORD xid, WNDPROC defaultProc) {
  ThreadState* pState = CurrentState();
  if (!pState) {
    SetLastError(ERROR_INVALID_THREAD_ID);
    return nullptr;
  }
  if (xid == 0 || xid > kMaxXid || !defaultProc) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto pWindow = std::make_shared<Window>();
  pWindow->hwnd = reinterpret_cast<HWND>(static_cast<uintptr_t>(xid));
  pWindow->threadId = pState->Queue()->threadId;
  pWindow->queue = pState->Queue();
  pWindow->topLevel = true;
  pWindow->proc = defaultProc;
  if (!Registry().InsertTopLevel(pWindow)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return pWindow->hwnd;
}

bool IsRegisteredTopLevel(HWND hwnd) {
  std::shared_ptr<Window> pWindow = Registry().Find(hwnd);
  return pWindow && pWindow->topLevel;
}

namespace detail {

bool MayBeForeignWindow(HWND hwnd) {
  uintptr_t value = reinterpret_cast<uintptr_t>(hwnd);
  return value != 0 && value <= kMaxXid;
}

WindowKind ClassifyWindow(HWND hwnd) {
  std::shared_ptr<Window> pWindow = Registry().Find(hwnd);
  if (pWindow) return pWindow->topLevel ? WindowKind::kTopLevel : WindowKind::kLayer;
  return MayBeForeignWindow(hwnd) ? WindowKind::kForeign : WindowKind::kNone;
}

bool UpdateWindowUiState(HWND hwnd, const std::function<void(WindowUiState&)>& update) {
  std::shared_ptr<Window> pWindow = Registry().Find(hwnd);
  if (!pWindow) return false;
  std::lock_guard<std::mutex> guard(pWindow->uiLock);
  update(pWindow->ui);
  return true;
}

}  // namespace detail

}  // namespace win32
