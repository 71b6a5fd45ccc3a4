// One direction of the bench's line: a router's queue in front of a link of a fixed rate, then
// the way to the far end. Times are seconds on one steady clock; no I/O here.
#pragma once

#include <cstddef>
#include <cstdint>

struct LineSettings {
  double oneWaySeconds = 0;  // half the round trip
  double bitsPerSecond = 0;  // the link's rate; 0 is no limit (and no queue)
  double bufferSeconds = 0;  // what the router's queue holds, in seconds of the rate
  double loss = 0;           // the fraction of packets lost on the way, at random
  uint64_t seed = 1;         // the same seed loses the same packets
};

enum class Fate { kDelivered, kLost, kQueueFull };

struct Verdict {
  Fate fate;
  double arrivesAt;  // when it reaches the far end (delivered packets only)
};

struct DirectionCounters {
  long long delivered = 0;
  long long deliveredBytes = 0;
  long long lost = 0;
  long long queueFull = 0;
};

class CLineDirection {
 public:
  explicit CLineDirection(const LineSettings& settings);

  // What becomes of a packet of `bytes` offered at `now`: dropped at the tail of a full queue,
  // sent at the rate after what is queued before it and then lost at random, or delivered one
  // way's delay after its last bit left. Offers come in the order of `now`.
  Verdict Offer(double now, size_t bytes);

  const DirectionCounters& Counters() const { return m_counters; }

 private:
  double NextUniform();  // in [0, 1), from the seed

  LineSettings m_settings;
  double m_linkFreeAt = 0;  // when the link has sent every packet queued so far
  uint64_t m_random;
  DirectionCounters m_counters;
};
