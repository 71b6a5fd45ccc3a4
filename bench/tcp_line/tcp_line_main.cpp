// tcp_line: the bench's wide-area line between two network namespaces, each holding a TUN device
// of the same name (made and addressed beforehand by bench/tcp_line/namespaces.py). Every IP
// packet one namespace sends through its device is read here and written into the other's after
// the line's delay, at its rate behind a tail-drop queue, or lost at random; so both kernels'
// own TCP does slow start, window growth and loss recovery.
//
//   tcp_line --client NS --server NS [--device line0] --rtt-ms 50 --mbit 100 [--up-mbit 100]
//            [--buffer-ms 50] [--loss 0.01] [--seed 1] [--max-flows 3] [--max-seconds 900]
//
// One thread, one ppoll. It ends on SIGTERM or SIGINT, when its standard input closes (the bench
// that started it has ended), when its parent dies, or after --max-seconds; then it prints its
// counters. It prints "ready" once both devices are attached, and "flows current=C most=M
// total=T refused=R" whenever the count of open TCP connections changes.
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>

#include "bench/tcp_line/flow_table.h"
#include "bench/tcp_line/line_direction.h"
#include "bench/tcp_line/packet_queue.h"

namespace {

volatile sig_atomic_t g_stop = 0;

void OnStopSignal(int) { g_stop = 1; }

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "tcp_line: %s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(1);
}

// Opens the TUN device `name` that already exists in the network namespace `ns` (a name under
// /run/netns, or a path), and comes back to this process's own namespace.
int AttachDevice(const std::string& ns, const std::string& name) {
  const std::string path = ns.find('/') == std::string::npos ? "/run/netns/" + ns : ns;
  const int home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
  const int target = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (home < 0 || target < 0) Fail("cannot open the namespace " + path);
  if (setns(target, CLONE_NEWNET) != 0) Fail("cannot enter " + path);
  const int device = open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (device < 0) Fail("cannot open /dev/net/tun");
  ifreq request = {};
  request.ifr_flags = IFF_TUN | IFF_NO_PI;
  std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
  if (ioctl(device, TUNSETIFF, &request) != 0) Fail("cannot attach " + name + " in " + path);
  if (setns(home, CLONE_NEWNET) != 0) Fail("cannot come back to the bench's namespace");
  close(target);
  close(home);
  return device;
}

std::map<std::string, std::string> ReadOptions(int argc, char** argv) {
  std::map<std::string, std::string> options = {
      {"device", "line0"}, {"rtt-ms", "0"}, {"mbit", "0"}, {"up-mbit", ""}, {"buffer-ms", ""},
      {"loss", "0"}, {"seed", "1"}, {"max-flows", "0"}, {"max-seconds", "900"}, {"client", ""}, {"server", ""}};
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    if (name.rfind("--", 0) != 0 || options.count(name.substr(2)) == 0) {
      std::fprintf(stderr, "tcp_line: unknown option %s\n", argv[i]);
      std::exit(2);
    }
    options[name.substr(2)] = argv[i + 1];
  }
  if (argc % 2 == 0 || options["client"].empty() || options["server"].empty()) {
    std::fprintf(stderr, "usage: tcp_line --client NS --server NS --rtt-ms MS --mbit RATE [options]\n");
    std::exit(2);
  }
  if (options["up-mbit"].empty()) options["up-mbit"] = options["mbit"];
  if (options["buffer-ms"].empty()) options["buffer-ms"] = options["rtt-ms"];
  return options;
}

void PrintFlows(const CFlowTable& flows) {
  std::printf("flows current=%d most=%d total=%lld refused=%lld\n", flows.Current(), flows.Most(), flows.Total(),
              flows.RefusedSyns());
  std::fflush(stdout);
}

void PrintCounters(const char* name, const DirectionCounters& counters) {
  std::printf("%s delivered=%lld bytes=%lld lost=%lld queue-full=%lld\n", name, counters.delivered,
              counters.deliveredBytes, counters.lost, counters.queueFull);
}

}  // namespace

int main(int argc, char** argv) {
  auto options = ReadOptions(argc, argv);
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  sigset_t stopSignals, waitMask;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);  // delivered only while ppoll waits
  signal(SIGTERM, OnStopSignal);
  signal(SIGINT, OnStopSignal);
  if (getppid() == 1) return 0;  // the bench ended before the death signal was asked for

  LineSettings down, up;
  down.oneWaySeconds = up.oneWaySeconds = std::stod(options["rtt-ms"]) / 2000.0;
  down.bufferSeconds = up.bufferSeconds = std::stod(options["buffer-ms"]) / 1000.0;
  down.loss = up.loss = std::stod(options["loss"]);
  down.bitsPerSecond = std::stod(options["mbit"]) * 1e6;
  up.bitsPerSecond = std::stod(options["up-mbit"]) * 1e6;
  down.seed = std::stoull(options["seed"]);
  up.seed = down.seed ^ 0x5DEECE66DULL;
  CLineDirection toServer(up), toClient(down);
  CFlowTable flows(std::stoi(options["max-flows"]));

  const int client = AttachDevice(options["client"], options["device"]);
  const int server = AttachDevice(options["server"], options["device"]);
  std::printf("ready\n");
  std::fflush(stdout);

  CPacketQueue onTheWay;
  const double end = Now() + std::stod(options["max-seconds"]);
  static uint8_t buffer[65536];
  pollfd watched[3] = {{client, POLLIN, 0}, {server, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
  while (!g_stop) {
    double now = Now();
    CPacketQueue::Packet packet;
    while (onTheWay.TakeDue(now, packet)) {
      // A packet the far end's kernel cannot take now is lost, as on a real line.
      (void)!write(packet.toDevice, packet.bytes.data(), packet.bytes.size());
    }
    if (now >= end) break;
    const double until = onTheWay.Empty() ? end : std::min(end, onTheWay.NextAt());
    const double wait = std::max(0.0, until - now);
    timespec timeout = {static_cast<time_t>(wait), static_cast<long>((wait - static_cast<time_t>(wait)) * 1e9)};
    if (ppoll(watched, 3, &timeout, &waitMask) < 0) {
      if (errno == EINTR) continue;
      Fail("ppoll");
    }
    if (watched[2].revents != 0) {
      const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
      if (got <= 0) break;  // whoever started us has gone
    }
    const long long totalBefore = flows.Total(), refusedBefore = flows.RefusedSyns();
    const int before = flows.Current();
    for (int side = 0; side < 2; ++side) {
      if (watched[side].revents == 0) continue;
      const bool fromClient = side == 0;
      // A bounded batch per wake, so that one busy side cannot hold up the other's deliveries.
      for (int n = 0; n < 64; ++n) {
        const ssize_t got = read(watched[side].fd, buffer, sizeof buffer);
        if (got <= 0) break;
        if (!flows.Pass(buffer, static_cast<size_t>(got), fromClient)) continue;
        const Verdict verdict = (fromClient ? toServer : toClient).Offer(Now(), static_cast<size_t>(got));
        if (verdict.fate != Fate::kDelivered) continue;
        onTheWay.Put(verdict.arrivesAt, {fromClient ? server : client, std::vector<uint8_t>(buffer, buffer + got)});
      }
    }
    if (flows.Current() != before || flows.Total() != totalBefore || flows.RefusedSyns() != refusedBefore) {
      PrintFlows(flows);
    }
  }
  PrintFlows(flows);
  PrintCounters("to-client", toClient.Counters());
  PrintCounters("to-server", toServer.Counters());
  std::fflush(stdout);
  return 0;
}
