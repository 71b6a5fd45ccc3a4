// The bench's line with real TCP (bench/tcp_line): what the forwarder does to each packet, told
// with the clock as a number, so no test here waits for anything.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "bench/tcp_line/flow_table.h"
#include "bench/tcp_line/line_direction.h"
#include "bench/tcp_line/packet_queue.h"

namespace {

constexpr double kMillisecond = 0.001;

LineSettings Line(double rttMs, double mbit, double bufferMs, double loss = 0, uint64_t seed = 1) {
  LineSettings settings;
  settings.oneWaySeconds = rttMs / 2000.0;
  settings.bitsPerSecond = mbit * 1e6;
  settings.bufferSeconds = bufferMs / 1000.0;
  settings.loss = loss;
  settings.seed = seed;
  return settings;
}

TEST(TcpLineDirection, PacketsQueueBehindEachOtherAtTheRateAndTheFullQueueDropsTheTail) {
  // 8 Mbit/s: a 1,000-byte packet is 1 ms on the link; the router holds 3.5 ms of it, the packet
  // being sent included.
  CLineDirection line(Line(50, 8, 3.5));
  const Verdict first = line.Offer(10.0, 1000);
  ASSERT_EQ(Fate::kDelivered, first.fate);
  EXPECT_NEAR(10.0 + 1 * kMillisecond + 0.025, first.arrivesAt, 1e-9) << "its last bit, then half the round trip";

  // Two more at the same moment wait behind it in turn; the fourth finds no room.
  double last = first.arrivesAt;
  for (int i = 0; i < 2; ++i) {
    const Verdict queued = line.Offer(10.0, 1000);
    ASSERT_EQ(Fate::kDelivered, queued.fate) << "packet " << i + 2;
    EXPECT_NEAR(last + kMillisecond, queued.arrivesAt, 1e-9);
    last = queued.arrivesAt;
  }
  EXPECT_EQ(Fate::kQueueFull, line.Offer(10.0, 1000).fate);
  EXPECT_EQ(Fate::kQueueFull, line.Offer(10.0004, 1000).fate) << "still no room before a packet has left";

  // Once the queue has drained by a packet there is room for one again, sent after the rest.
  const Verdict later = line.Offer(10.0 + 1.5 * kMillisecond, 1000);
  ASSERT_EQ(Fate::kDelivered, later.fate);
  EXPECT_NEAR(last + kMillisecond, later.arrivesAt, 1e-9);

  // An idle link again: no waiting, only the way itself.
  const Verdict idle = line.Offer(20.0, 500);
  ASSERT_EQ(Fate::kDelivered, idle.fate);
  EXPECT_NEAR(20.0 + 0.5 * kMillisecond + 0.025, idle.arrivesAt, 1e-9);

  EXPECT_EQ(5, line.Counters().delivered);
  EXPECT_EQ(4500, line.Counters().deliveredBytes);
  EXPECT_EQ(2, line.Counters().queueFull);
  EXPECT_EQ(0, line.Counters().lost);

  // A router that holds less than one packet still passes one that finds the link idle.
  CLineDirection tiny(Line(50, 8, 0.5));
  EXPECT_EQ(Fate::kDelivered, tiny.Offer(0, 1000).fate);
  EXPECT_EQ(Fate::kQueueFull, tiny.Offer(0, 1000).fate);
}

TEST(TcpLineDirection, WithoutARateAPacketOnlyTravelsAndNothingQueues) {
  CLineDirection line(Line(600, 0, 0));
  for (int i = 0; i < 100; ++i) {
    const Verdict verdict = line.Offer(1.0, 65535);
    ASSERT_EQ(Fate::kDelivered, verdict.fate);
    EXPECT_NEAR(1.3, verdict.arrivesAt, 1e-9);
  }
}

TEST(TcpLineDirection, RandomLossTakesItsFractionTheSameWayForTheSameSeed) {
  auto lostOnes = [](double loss, uint64_t seed) {
    CLineDirection line(Line(10, 0, 0, loss, seed));
    std::vector<int> lost;
    for (int i = 0; i < 20000; ++i) {
      if (line.Offer(i * kMillisecond, 1500).fate == Fate::kLost) lost.push_back(i);
    }
    EXPECT_EQ(static_cast<long long>(lost.size()), line.Counters().lost);
    EXPECT_EQ(20000 - static_cast<long long>(lost.size()), line.Counters().delivered);
    return lost;
  };
  const std::vector<int> onePercent = lostOnes(0.01, 7);
  EXPECT_GT(onePercent.size(), 140u);  // 200 expected; far outside these is a broken draw
  EXPECT_LT(onePercent.size(), 260u);
  EXPECT_EQ(onePercent, lostOnes(0.01, 7)) << "a seed repeats its losses";
  EXPECT_NE(onePercent, lostOnes(0.01, 8)) << "another seed loses other packets";
  EXPECT_TRUE(lostOnes(0, 7).empty());
  EXPECT_EQ(20000u, lostOnes(1, 7).size());
}

TEST(TcpLineDirection, ALostPacketHasTakenItsTimeOnTheLink) {
  // Half of them lost on the way; each delivered one still leaves after every packet before it.
  CLineDirection line(Line(0, 8, 100, 0.5, 3));
  int lost = 0;
  for (int i = 0; i < 50; ++i) {
    const Verdict verdict = line.Offer(0, 1000);
    if (verdict.fate == Fate::kLost) {
      ++lost;
      continue;
    }
    ASSERT_EQ(Fate::kDelivered, verdict.fate);
    EXPECT_NEAR((i + 1) * kMillisecond, verdict.arrivesAt, 1e-9) << "packet " << i;
  }
  EXPECT_GT(lost, 0);
  EXPECT_LT(lost, 50);
}

// An IPv4 TCP packet between 10.201.0.1 (the client) and 10.201.0.2:80.
std::vector<uint8_t> Tcp(bool fromClient, uint16_t clientPort, uint8_t flags) {
  std::vector<uint8_t> packet(40, 0);
  packet[0] = 0x45;
  packet[3] = 40;
  packet[9] = 6;
  const uint8_t client[4] = {10, 201, 0, 1}, server[4] = {10, 201, 0, 2};
  for (int i = 0; i < 4; ++i) {
    packet[12 + i] = fromClient ? client[i] : server[i];
    packet[16 + i] = fromClient ? server[i] : client[i];
  }
  const uint16_t source = fromClient ? clientPort : 80, destination = fromClient ? 80 : clientPort;
  packet[20] = source >> 8;
  packet[21] = source & 0xFF;
  packet[22] = destination >> 8;
  packet[23] = destination & 0xFF;
  packet[33] = flags;
  return packet;
}

constexpr uint8_t kFin = 0x01, kSyn = 0x02, kRst = 0x04, kAck = 0x10;

bool Pass(CFlowTable& flows, const std::vector<uint8_t>& packet, bool fromClient) {
  return flows.Pass(packet.data(), packet.size(), fromClient);
}

TEST(TcpLineFlows, AFirewallOfThreeConnectionsLeavesTheFourthUnansweredUntilOneCloses) {
  CFlowTable flows(3);
  for (uint16_t port : {40001, 40002, 40003}) {
    EXPECT_TRUE(Pass(flows, Tcp(true, port, kSyn), true));
    EXPECT_TRUE(Pass(flows, Tcp(false, port, kSyn | kAck), false));
    EXPECT_TRUE(Pass(flows, Tcp(true, port, kAck), true));
  }
  EXPECT_TRUE(Pass(flows, Tcp(true, 40001, kSyn), true)) << "a repeated SYN of an open connection";
  EXPECT_EQ(3, flows.Current());
  EXPECT_EQ(3, flows.Total());

  EXPECT_FALSE(Pass(flows, Tcp(true, 40004, kSyn), true));
  EXPECT_FALSE(Pass(flows, Tcp(true, 40004, kSyn), true)) << "the client's repeat meets the same wall";
  EXPECT_EQ(2, flows.RefusedSyns());
  EXPECT_TRUE(Pass(flows, Tcp(false, 40001, kAck), false)) << "open connections go on";

  // A FIN from one end only leaves the connection counted; from the other end too, it is gone.
  EXPECT_TRUE(Pass(flows, Tcp(true, 40002, kFin | kAck), true));
  EXPECT_FALSE(Pass(flows, Tcp(true, 40004, kSyn), true));
  EXPECT_TRUE(Pass(flows, Tcp(false, 40002, kFin | kAck), false));
  EXPECT_EQ(2, flows.Current());
  EXPECT_TRUE(Pass(flows, Tcp(true, 40002, kAck), true)) << "the last ACK of a closed one passes";
  EXPECT_TRUE(Pass(flows, Tcp(true, 40004, kSyn), true));
  EXPECT_EQ(3, flows.Current());

  // A reset from either end closes at once.
  EXPECT_TRUE(Pass(flows, Tcp(false, 40003, kRst), false));
  EXPECT_EQ(2, flows.Current());
  EXPECT_TRUE(Pass(flows, Tcp(true, 40005, kSyn), true));
  EXPECT_EQ(3, flows.Most());
  EXPECT_EQ(5, flows.Total());
  EXPECT_EQ(3, flows.RefusedSyns());
}

TEST(TcpLineFlows, WithoutALimitEveryConnectionIsCountedAndNothingElseIs) {
  CFlowTable flows;
  for (uint16_t port = 41000; port < 41010; ++port) EXPECT_TRUE(Pass(flows, Tcp(true, port, kSyn), true));
  EXPECT_EQ(10, flows.Most());
  EXPECT_TRUE(Pass(flows, Tcp(false, 42000, kSyn | kAck), false)) << "an answer to nothing seen opens nothing";
  EXPECT_TRUE(Pass(flows, Tcp(true, 42001, kAck), true));
  std::vector<uint8_t> udp = Tcp(true, 42002, kSyn);
  udp[9] = 17;
  EXPECT_TRUE(Pass(flows, udp, true));
  std::vector<uint8_t> ipv6(60, 0);
  ipv6[0] = 0x60;
  EXPECT_TRUE(Pass(flows, ipv6, true));
  EXPECT_TRUE(Pass(flows, std::vector<uint8_t>(10, 0x45), true)) << "a runt passes uncounted";
  EXPECT_EQ(10, flows.Current());
  EXPECT_EQ(10, flows.Total());
  EXPECT_EQ(0, flows.RefusedSyns());
}

TEST(TcpLinePacketQueue, PacketsLeaveInTheOrderTheyArriveAndOnlyWhenDue) {
  CPacketQueue queue;
  queue.Put(2.0, {1, {'b'}});
  queue.Put(1.0, {2, {'a'}});
  queue.Put(2.0, {3, {'c'}});
  ASSERT_FALSE(queue.Empty());
  EXPECT_EQ(1.0, queue.NextAt());
  CPacketQueue::Packet packet;
  EXPECT_FALSE(queue.TakeDue(0.5, packet));
  ASSERT_TRUE(queue.TakeDue(1.5, packet));
  EXPECT_EQ(2, packet.toDevice);
  EXPECT_FALSE(queue.TakeDue(1.5, packet));
  std::vector<uint8_t> order;
  while (queue.TakeDue(2.0, packet)) order.push_back(packet.bytes[0]);
  EXPECT_EQ((std::vector<uint8_t>{'b', 'c'}), order) << "ties keep the order they were put in";
  EXPECT_TRUE(queue.Empty());
}

}  // namespace
