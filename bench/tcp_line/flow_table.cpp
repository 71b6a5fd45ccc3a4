#include "bench/tcp_line/flow_table.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint8_t kFin = 0x01, kSyn = 0x02, kRst = 0x04, kAck = 0x10;
constexpr uint8_t kTcp = 6;

}  // namespace

CFlowTable::CFlowTable(int limit) : m_limit(limit) {}

bool CFlowTable::Pass(const uint8_t* packet, size_t length, bool fromClient) {
  if (length < 20 || (packet[0] >> 4) != 4 || packet[9] != kTcp) return true;
  const size_t headerLength = (packet[0] & 0x0F) * 4u;
  const bool laterFragment = ((packet[6] & 0x1F) | packet[7]) != 0;
  if (laterFragment || length < headerLength + 14) return true;
  const uint8_t* tcp = packet + headerLength;
  const uint8_t flags = tcp[13];

  // The key names the client's end first whichever way the packet travels.
  Key key;
  const uint8_t* source = packet + 12;
  const uint8_t* destination = packet + 16;
  const uint8_t* client = fromClient ? source : destination;
  const uint8_t* server = fromClient ? destination : source;
  const uint8_t* clientPort = fromClient ? tcp : tcp + 2;
  const uint8_t* serverPort = fromClient ? tcp + 2 : tcp;
  std::memcpy(key.data(), client, 4);
  std::memcpy(key.data() + 4, clientPort, 2);
  std::memcpy(key.data() + 6, server, 4);
  std::memcpy(key.data() + 10, serverPort, 2);

  auto flow = m_flows.find(key);
  if (flow == m_flows.end()) {
    if (!fromClient || (flags & kSyn) == 0 || (flags & (kAck | kRst)) != 0) return true;
    if (m_limit > 0 && Current() >= m_limit) {
      ++m_refused;
      return false;
    }
    m_flows.emplace(key, Flow());
    ++m_total;
    m_most = std::max(m_most, Current());
    return true;
  }
  if (flags & kRst) {
    m_flows.erase(flow);
  } else if (flags & kFin) {
    (fromClient ? flow->second.clientFin : flow->second.serverFin) = true;
    if (flow->second.clientFin && flow->second.serverFin) m_flows.erase(flow);
  }
  return true;
}
