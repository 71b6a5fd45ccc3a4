// The TCP connections crossing the bench's line, counted from the client's first SYN to a reset
// or a FIN from each end. With a limit it is the firewall in front of a server that counts
// connections: a SYN that would open one more is dropped without an answer, and so are the
// client's repeats of it while the others stay open.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>

class CFlowTable {
 public:
  explicit CFlowTable(int limit = 0);  // 0: no limit

  // False when the firewall drops this IPv4 packet. `fromClient`: on its way to the server.
  // Anything that is not TCP over IPv4 passes uncounted.
  bool Pass(const uint8_t* packet, size_t length, bool fromClient);

  int Current() const { return static_cast<int>(m_flows.size()); }
  int Most() const { return m_most; }
  long long Total() const { return m_total; }
  long long RefusedSyns() const { return m_refused; }

 private:
  using Key = std::array<uint8_t, 12>;  // client address and port, server address and port
  struct Flow {
    bool clientFin = false;
    bool serverFin = false;
  };

  int m_limit;
  std::map<Key, Flow> m_flows;
  int m_most = 0;
  long long m_total = 0;
  long long m_refused = 0;
};
