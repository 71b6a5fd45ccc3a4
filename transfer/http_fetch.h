#pragma once

#include <atomic>
#include <functional>
#include <string>

class CRequestsAhead;
class IPartHash;
class IProgressBar;

// A limit shared by several fetches: past `totalMs` since it was made, or slower on average than
// `minBytesPerSecond` once `graceMs` have passed, a fetch fails as if the server were unreachable.
// The clock counts milliseconds: the system's steady clock unless a test gives another.
class CFetchDeadline {
 public:
  CFetchDeadline(long long totalMs, long long graceMs, long long minBytesPerSecond,
                 std::function<long long()> clockMs = nullptr);
  // Counts bytes received; true while the limit holds. A body `complete` (all its announced
  // length arrived) is held to the total time only: a small index dripping in slowly is still an
  // index.
  bool Holds(long long received = 0, bool complete = false);
  // True once the total time has passed.
  bool TimeIsUp() const;

 private:
  std::function<long long()> m_clockMs;
  long long m_startMs, m_totalMs, m_graceMs, m_minBytesPerSecond, m_received = 0;
};

// The error text of a fetch past its deadline.
std::string TooSlowDownloadText();

// One HTTP GET of `object` on host:port into localPath ("wb" when binary, else "w").
// Returns 1 when the whole body was received and written; 0 otherwise, with `error` set — except
// after a stop, which leaves `error` as it was. The progress bar, if given, moves by
// 4096 / unitBytes after every written block; the stop flag, if given, is read after every block.
// Never shows a message. A signed build passes `hash`, which is given every block as it is written.
// With `deadline`, the fetch fails once the deadline no longer holds. With `ahead`, a request
// already sent there for `object` is this fetch's request, and once its announced length is in,
// the request is closed and `ahead` told that its connection is free.
int HttpFetchFile(const char* host, unsigned short port, const char* object, const char* localPath, int binary,
                  std::string& error, IProgressBar* progress, int unitBytes, const std::atomic<int>* stopFlag,
                  IPartHash* hash = nullptr, long long maxBytes = -1, CFetchDeadline* deadline = nullptr,
                  CRequestsAhead* ahead = nullptr);

// The most an index fetch takes: a 65,534-part index is about 2 MiB.
constexpr long long kMaxIndexBytes = 16 * 1024 * 1024;

// The error text for a body that runs past what the object can be.
std::string TooLongDownloadText(long long limit);

// The error text for a body that stopped short of (or ran past) its known length.
std::string IncompleteDownloadText(long long received, long long expected);
