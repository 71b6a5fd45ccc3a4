#include "bench/tcp_line/line_direction.h"

#include <algorithm>

CLineDirection::CLineDirection(const LineSettings& settings) : m_settings(settings), m_random(settings.seed) {}

Verdict CLineDirection::Offer(double now, size_t bytes) {
  double leaves = now;
  if (m_settings.bitsPerSecond > 0) {
    const double start = std::max(now, m_linkFreeAt);
    const double sending = bytes * 8.0 / m_settings.bitsPerSecond;
    // The router holds what the link has still to send and this packet, at most its buffer;
    // a packet that finds the link idle goes straight onto it whatever its size.
    if (start > now && start - now + sending > m_settings.bufferSeconds) {
      ++m_counters.queueFull;
      return {Fate::kQueueFull, 0};
    }
    m_linkFreeAt = start + sending;
    leaves = m_linkFreeAt;
  }
  if (m_settings.loss > 0 && NextUniform() < m_settings.loss) {
    ++m_counters.lost;  // it took its time on the link all the same
    return {Fate::kLost, 0};
  }
  ++m_counters.delivered;
  m_counters.deliveredBytes += static_cast<long long>(bytes);
  return {Fate::kDelivered, leaves + m_settings.oneWaySeconds};
}

double CLineDirection::NextUniform() {
  // splitmix64: the same sequence from the same seed with any compiler.
  uint64_t z = (m_random += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  z ^= z >> 31;
  return static_cast<double>(z >> 11) / 9007199254740992.0;  // 53 bits over 2^53
}
