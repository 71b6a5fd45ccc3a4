// The packets on their way across the bench's line, in the order they arrive at the far end;
// packets due at the same moment keep the order they were put in.
#pragma once

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

class CPacketQueue {
 public:
  struct Packet {
    int toDevice;  // the descriptor of the far end's device
    std::vector<uint8_t> bytes;
  };

  void Put(double arrivesAt, Packet packet) { m_packets.emplace(arrivesAt, std::move(packet)); }

  bool Empty() const { return m_packets.empty(); }
  double NextAt() const { return m_packets.begin()->first; }  // not on an empty queue

  // Takes the first packet due by `now`; false when none is.
  bool TakeDue(double now, Packet& packet) {
    if (m_packets.empty() || m_packets.begin()->first > now) return false;
    packet = std::move(m_packets.begin()->second);
    m_packets.erase(m_packets.begin());
    return true;
  }

 private:
  std::multimap<double, Packet> m_packets;  // equal keys stay in insertion order
};
