// bench-tasks: tasks from a worker to the main thread and back. The main thread is the program's
// thread 0, pumping with the program's own message loop while its queue is a GLib source (under
// GTK when a display is there); each of its tasks posts a reply to task thread 2. Baseline: the
// same round trip through a plain thread pumping with GetMessageW.
// Cases: burst (posted as fast as possible; round trips per second) and paced (5,000 a second;
// round-trip latency p50 / p99 / max). --short: smaller cases, for CI.

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "Application.h"
#include "AsyncFrame/AsyncFrame.h"
#include "AsyncFrame/MessageLoopForUI.h"
#include "AsyncFrame/MessageLoopProxyImpl.h"
#include "BenchSupport.h"
#include "win32/gui.h"
#include "win32/window.h"

using namespace AsyncFrame;
using namespace bench;
using namespace win32;

namespace {

// One case's replies. Written by task thread 2 only; read by the main thread after the quit
// that the last reply posts.
struct Replies {
  bench::Arrivals arrivals;
  MessageLoopProxy* pMain = nullptr;  // the receiving side's loop, told to quit at the end
};
Replies g_replies;

void OnReply(int64_t postedNs) {
  if (g_replies.arrivals.Arrive(postedNs)) {
    g_replies.pMain->PostTask(FROM_HERE, NewTask([] { PostQuitMessage(0); }));
  }
}

// Posts `count` round trips, `perSecond` a second (0: as fast as possible).
void Produce(MessageLoopProxy* pMain, MessageLoopProxy* pWorker, size_t count, int perSecond,
             int64_t* pStartNs) {
  *pStartNs = NowNs();
  for (size_t i = 0; i < count; ++i) {
    WaitForTurn(*pStartNs, i, perSecond);
    int64_t posted = NowNs();
    pMain->PostTask(FROM_HERE, NewTask([pWorker, posted] {
                      pWorker->PostTask(FROM_HERE, NewTask([posted] { OnReply(posted); }));
                    }));
  }
}

struct Result {
  double perSecond = 0;
  Latencies latency;
  bool complete = false;
};

// `mainThread`: the receiving side is thread 0 and the program's loop; otherwise a plain thread
// with a window loop of its own, pumping with GetMessageW.
Result RunCase(bool mainThread, size_t count, int perSecond) {
  g_replies = Replies{};
  g_replies.arrivals.Start(count, perSecond != 0);
  MessageLoopProxy* pWorker = GetThreadProxy(kThreadMainLogic);
  int64_t startNs = 0;
  if (mainThread) {
    g_replies.pMain = GetThreadProxy(kThreadMain);
    std::thread producer([&] { Produce(g_replies.pMain, pWorker, count, perSecond, &startNs); });
    CApplication::PumpMessages();
    producer.join();
  } else {
    std::atomic<MessageLoopProxy*> pPlain{nullptr};
    std::thread plain([&pPlain] {
      auto* pLoop = new MessageLoopForUI;
      pLoop->Proxy()->AddRef();
      pPlain = pLoop->Proxy();
      MSG msg;
      while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
      delete pLoop;
    });
    while (!pPlain) std::this_thread::yield();
    g_replies.pMain = pPlain;
    Produce(g_replies.pMain, pWorker, count, perSecond, &startNs);
    plain.join();
  }
  g_replies.pMain->Release();
  pWorker->Release();

  Result result;
  result.complete = g_replies.arrivals.received == count;
  result.perSecond = count / ((g_replies.arrivals.lastNs - startNs) / 1e9);
  result.latency = Percentiles(&g_replies.arrivals.latenciesNs);
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  bool shortRun = false;
  if (!ParseShortOption(argc, argv, &shortRun)) return 2;
  const bool gtk = InitializeGui(&argc, &argv);
  if (!gtk) AttachMessagePump(g_main_context_default());
  StartThreads();
  const size_t burst = shortRun ? 50000 : 500000;
  const size_t paced = shortRun ? 5000 : 25000;

  printf("bench-tasks: worker -> thread 0 -> worker, thread 0 %s\n",
         gtk ? "under GTK (X11)" : "on GLib only (no display)");
  Result plainBurst = RunCase(false, burst, 0);
  Result mainBurst = RunCase(true, burst, 0);
  printf("%-34s %14s\n", "burst", "round trips/s");
  printf("%-34s %14.0f\n", "  plain GetMessageW thread", plainBurst.perSecond);
  printf("%-34s %14.0f   (target: >= 50000)\n", "  thread 0, program loop on GLib",
         mainBurst.perSecond);

  Result plainPaced = RunCase(false, paced, 5000);
  Result mainPaced = RunCase(true, paced, 5000);
  printf("%-34s %9s %9s %9s\n", "paced 5,000/s, round trip", "p50 ms", "p99 ms", "max ms");
  printf("%-34s %9.3f %9.3f %9.3f\n", "  plain GetMessageW thread", plainPaced.latency.p50Ms,
         plainPaced.latency.p99Ms, plainPaced.latency.maxMs);
  printf("%-34s %9.3f %9.3f %9.3f   (target: p99 < 5 ms)\n", "  thread 0, program loop on GLib",
         mainPaced.latency.p50Ms, mainPaced.latency.p99Ms, mainPaced.latency.maxMs);
  StopAllThreads();

  const bool targets = mainBurst.perSecond >= 50000 && mainPaced.latency.p99Ms < 5;
  printf("%s\n", targets ? "targets met" : "TARGETS MISSED");
  // A lost round trip fails every run; the timing targets only full runs.
  const bool complete =
      plainBurst.complete && mainBurst.complete && plainPaced.complete && mainPaced.complete;
  return complete && (shortRun || targets) ? 0 : 1;
}
