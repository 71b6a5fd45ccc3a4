// How start-up tells a slow honest line from a trickle, for one fetch. The wait for the first
// block is the connection's (as long as the transport's own timeout); from the first block on, a
// fetch fails when no block has come for `stallMs`, or, once bytes have flowed for `windowMs`,
// when the last `windowMs` brought less than `minBytesPerSecond` on average. There is no total:
// a large index on a slow mobile line takes as long as it takes, and the user can cancel.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>

struct FetchPaceLimits {
  long long firstBlockMs;
  long long stallMs;
  long long windowMs;
  long long minBytesPerSecond;
};

// Start-up's limits (common/constants.h).
FetchPaceLimits StartupPaceLimits();

// Shared by the fetching thread, which counts what arrives, and a watchdog thread, which asks
// between blocks. The clock counts milliseconds: the system's steady clock unless a test gives
// another. Once the pace has failed it stays failed.
class CFetchPace {
 public:
  explicit CFetchPace(const FetchPaceLimits& limits, std::function<long long()> clockMs = nullptr);
  CFetchPace(const CFetchPace&) = delete;
  CFetchPace& operator=(const CFetchPace&) = delete;

  // Counts a block received; true while the pace holds. A body `complete` (all its announced
  // length arrived) is judged by its waits alone, not by its rate.
  bool Received(long long bytes, bool complete = false);
  // True while the pace holds now, with nothing more received: the watchdog's question.
  bool Holds();
  // True once a check has found the pace failed.
  bool Failed() const;
  // Every block counted from now on also sets `total` to all bytes received (for the start-up
  // window, on another thread).
  void ReportTo(std::atomic<long long>* total);

 private:
  bool HoldsAt(long long now);  // the lock held

  struct Sample {
    long long ms;
    long long total;  // bytes received by then
  };
  FetchPaceLimits m_limits;
  std::function<long long()> m_clockMs;
  mutable std::mutex m_lock;
  long long m_startMs;
  long long m_lastBlockMs = -1;  // -1 until the first block
  long long m_total = 0;
  bool m_bFailed = false;
  std::atomic<long long>* m_pReport = nullptr;
  // One sample a second at most, from the first block on: the rate is judged from the newest one
  // at least a window old.
  std::deque<Sample> m_samples;
};
