#pragma once
// What the message-pump benchmarks share: the clock, pacing, the receiving side's count,
// latency percentiles, the command line.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace bench {

inline int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Paced runs: waits until the `index`-th post of a run begun at `startNs` is due, `perSecond`
// posts a second (0: at once).
inline void WaitForTurn(int64_t startNs, size_t index, int perSecond) {
  if (!perSecond) return;
  const int64_t due = startNs + static_cast<int64_t>(index) * (1000000000LL / perSecond);
  while (NowNs() < due) std::this_thread::sleep_for(std::chrono::microseconds(20));
}

struct Latencies {
  double p50Ms = 0, p99Ms = 0, maxMs = 0;
};

// What a case's receiving side counts: arrivals, the last one's time and, in paced runs, each
// one's latency.
struct Arrivals {
  size_t expected = 0;
  size_t received = 0;
  int64_t lastNs = 0;
  bool measureLatency = false;
  std::vector<int64_t> latenciesNs;

  void Start(size_t count, bool paced) {
    *this = Arrivals{};
    expected = count;
    measureLatency = paced;
    latenciesNs.reserve(paced ? count : 0);
  }
  // One posted at `postedNs` arrived; true when it was the last expected.
  bool Arrive(int64_t postedNs) {
    ++received;
    lastNs = NowNs();
    if (measureLatency) latenciesNs.push_back(lastNs - postedNs);
    return received == expected;
  }
};

// Sorts the samples (nanoseconds); zeros when there are none.
inline Latencies Percentiles(std::vector<int64_t>* pSamplesNs) {
  std::vector<int64_t>& l = *pSamplesNs;
  Latencies result;
  if (l.empty()) return result;
  std::sort(l.begin(), l.end());
  result.p50Ms = l[l.size() / 2] / 1e6;
  result.p99Ms = l[l.size() * 99 / 100] / 1e6;
  result.maxMs = l.back() / 1e6;
  return result;
}

// "--short" sets *pShortRun; other "--" options are refused (false, usage printed). Other
// arguments are left to the toolkit.
inline bool ParseShortOption(int argc, char** argv, bool* pShortRun) {
  *pShortRun = false;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--short") == 0) {
      *pShortRun = true;
    } else if (strcmp(argv[i], "--") != 0 && argv[i][0] == '-' && argv[i][1] == '-') {
      fprintf(stderr, "usage: %s [--short]\n", argv[0]);
      return false;
    }
  }
  return true;
}

}  // namespace bench
