#include "transfer/fetch_pace.h"

#include <chrono>

#include "common/constants.h"

namespace {

constexpr long long kSampleSpacingMs = 1000;

long long SteadyClockMs() {
  return static_cast<long long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

}  // namespace

FetchPaceLimits StartupPaceLimits() {
  return {kNetworkTimeoutMs, kStartupStallMs, kStartupRateWindowMs, kStartupMinBytesPerSecond};
}

CFetchPace::CFetchPace(const FetchPaceLimits& limits, std::function<long long()> clockMs)
    : m_limits(limits), m_clockMs(clockMs ? std::move(clockMs) : SteadyClockMs) {
  m_startMs = m_clockMs();
}

bool CFetchPace::Received(long long bytes, bool complete) {
  std::lock_guard<std::mutex> hold(m_lock);
  const long long now = m_clockMs();
  if (m_bFailed) return false;
  if (bytes > 0) {
    // A block after too long a wait is late, as the watchdog would have found had it looked then.
    if (m_lastBlockMs < 0 ? now - m_startMs >= m_limits.firstBlockMs : now - m_lastBlockMs >= m_limits.stallMs) {
      m_bFailed = true;
      return false;
    }
    // The first block's bytes count from its arrival: the time before it was the connection's.
    if (m_lastBlockMs < 0) m_samples.push_back({now, 0});
    m_lastBlockMs = now;
    m_total += bytes;
    if (now - m_samples.back().ms >= kSampleSpacingMs) m_samples.push_back({now, m_total});
    if (m_pReport != nullptr) m_pReport->store(m_total);
  }
  // A whole body is too short to show a rate: it is judged by its waits alone.
  if (complete) return true;
  return HoldsAt(now);
}

bool CFetchPace::Holds() {
  std::lock_guard<std::mutex> hold(m_lock);
  return !m_bFailed && HoldsAt(m_clockMs());
}

bool CFetchPace::HoldsAt(long long now) {
  bool holds;
  if (m_lastBlockMs < 0) {
    holds = now - m_startMs < m_limits.firstBlockMs;
  } else if (now - m_lastBlockMs >= m_limits.stallMs) {
    holds = false;
  } else if (now - m_samples.front().ms < m_limits.windowMs) {
    holds = true;  // too early to judge the rate
  } else {
    while (m_samples.size() > 1 && m_samples[1].ms <= now - m_limits.windowMs) m_samples.pop_front();
    const Sample& from = m_samples.front();
    holds = (m_total - from.total) * 1000 >= m_limits.minBytesPerSecond * (now - from.ms);
  }
  if (!holds) m_bFailed = true;
  return holds;
}

bool CFetchPace::Failed() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_bFailed;
}

void CFetchPace::ReportTo(std::atomic<long long>* total) {
  std::lock_guard<std::mutex> hold(m_lock);
  m_pReport = total;
}
