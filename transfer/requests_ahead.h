// Requests sent ahead of the download worker.
//
// While the worker writes one part, the GETs for the next parts may already be on their way, so
// that a line with a long round trip never stands idle between parts. The worker sends them
// itself without waiting for their answers (the transport's Send), and between the blocks of the
// part it reads it reads a block of each of their bodies too, each into its own part's file: no
// answer waits unread behind a closed window (on real TCP a connection's window grows only as its
// data is read), and no part is held in memory. The parts are still checked and recorded only by
// the worker, in order, each once its turn comes and its own file is flushed.
//
// A request sent ahead is a hint, never an attempt. Whatever becomes of it (refused, cut, a
// failed connect, a write that failed), its part is asked for again as its own first attempt when
// its turn comes, and nothing more is asked ahead in this run: a server that limits its clients is
// then asked one part at a time, as it wants. The same holds for a hint that costs time: a part
// asked ahead that takes the worker longer to finish than the quickest part asked at its turn
// ends the asking ahead, so that it never costs what asking each part at its turn would not. How
// far ahead to ask follows the line: no answer should take longer than about kAheadHorizonMs to
// come at the rate delivered so far, and never more connections than the smallest limit the
// platform's client keeps.
//
// No thread is started for them: the worker's own thread reads every body (a thread costs about
// 1 MiB of memory each under Wine, whatever its stack). Used by the worker's thread only.
#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <list>
#include <memory>
#include <string>

#include "index/package_verifier.h"
#include "transfer/body_to_file.h"
#include "transfer/http_transport.h"

// The most requests sent ahead while one part is written. A build setting (BRISKO_REQUESTS_AHEAD;
// 0 asks for each part only once the one before it is written).
#ifndef BRISKO_REQUESTS_AHEAD
#define BRISKO_REQUESTS_AHEAD 3
#endif
constexpr int kRequestsAhead = BRISKO_REQUESTS_AHEAD;
static_assert(kRequestsAhead >= 0 && kRequestsAhead < static_cast<int>(kMaxConnectionsPerServer),
              "one connection is the part being written");

// No answer sent ahead should wait unread longer than this, at the rate delivered so far.
constexpr long long kAheadHorizonMs = 10000;
// A request ahead that cannot connect within this long is given up (its part waits for its turn):
// a firewall that drops connections beyond a limit never answers at all.
constexpr unsigned kAheadConnectTimeoutMs = 3000;
// Asking ahead is weighed against the best pace of a part asked at its turn over the parts asked
// ahead in a row, leaving out the first this many (as many as are out at once: their waits fall
// on the new connections' first round trips, paid once), once as many more have come, and only
// when that took longer than kHintLeewayMs.
constexpr int kHintPartsWeighed = kRequestsAhead + 1;
constexpr long long kHintLeewayMs = 20;

class CRequestsAhead {
 public:
  // `stopFlag` is the user's stop: a request it finds set is not sent. `clockMs` counts
  // milliseconds for the rate (the system's steady clock when empty).
  CRequestsAhead(std::string host, unsigned short port, const std::atomic<int>& stopFlag,
                 std::function<long long()> clockMs = nullptr);
  ~CRequestsAhead() { EndAll(); }
  CRequestsAhead(const CRequestsAhead&) = delete;
  CRequestsAhead& operator=(const CRequestsAhead&) = delete;

  // The part's own request, sent at its turn. One that could not be sent is kept as the
  // attempt's failure, thrown when the worker takes it.
  void SendOwn(const std::string& object);
  // A request ahead for a later part, unless one is out for it already; its body goes to
  // `localPath`, given to `hash` and bounded by `maxBytes` as the part's own would be. One that
  // could not be sent is a failed hint: nothing is kept, and nothing more is asked ahead.
  void SendHint(const std::string& object, const std::string& localPath, std::unique_ptr<IPartHash> hash,
                long long maxBytes);
  bool IsOut(const std::string& object) const;
  // The worker has reached the part of `object`: a request out for it stays when other requests
  // ahead fail. `hash` becomes the hint's, which has seen what of the body was read before.
  void Reach(const std::string& object, std::unique_ptr<IPartHash>& hash);
  // True when the request out for `object` was sent ahead of its part's turn.
  bool IsHint(const std::string& object) const;

  // The response to the request sent for `object`, once its headers are in; nullptr when none
  // was sent. Throws what the request threw (CHttpTransportError for a failed request).
  std::unique_ptr<IHttpResponse> Take(const std::string& object);
  // The body of the hint for `object` when it has been read from already (perhaps to its end);
  // nullptr otherwise.
  std::unique_ptr<CBodyToFile> TakeBegun(const std::string& object);
  // Reads one block of every body asked for ahead, their answers taken first. A hint that fails
  // here fails as any hint does.
  void ReadOthers();

  // A hint that came to nothing: every request ahead beyond the part being read ends (but for
  // those whose bodies are whole in their files), and none is sent for the rest of the run.
  void HintFailed();
  // How many parts beyond the one being read may be asked for now: none before a part has come
  // in (the rate is not known yet) or after a failed hint; at most what the line delivers in
  // kAheadHorizonMs of `partSize` parts, kRequestsAhead, and one fewer than the client's limit.
  int Depth(long long partSize) const;
  // A body came to its end: `bytes` more delivered by the line, for the rate; and, for a body
  // that came `whole` (a cut one says nothing of the line's pace), what the line delivered while
  // the worker waited is weighed: for a part's own request, from the request; for hints in a row,
  // from the end of the first kHintPartsWeighed of them. Hint parts at less than four fifths of
  // the best pace of a part asked at its turn cost time, and end the asking ahead.
  void Delivered(long long bytes, bool whole);

  // What to do once the part being read has its whole body in and its request closed: its
  // connection is free for one more request before the part is flushed and recorded.
  void WhenConnectionFree(std::function<void()> sendNext) { m_sendNext = std::move(sendNext); }
  void ConnectionFree() {
    if (m_sendNext) m_sendNext();
  }

  // Keeps the `count` requests sent first and ends the others, so that a part failing after its
  // connection was given to the next request has a connection again for its next attempt.
  void EndBeyond(size_t count);
  // Ends every request still out. The worker has no request of its own under way then.
  void EndAll() { EndBeyond(0); }

 private:
  struct CRequest {
    std::string object;
    bool hint = false;
    bool reached = false;  // its part is the one being read
    std::unique_ptr<IHttpRequestSent> sent;
    long long sentMs = 0;        // when it was on its way
    std::exception_ptr failure;  // the send's, when it failed
    // A hint's body, once read from, and what it is read into.
    std::string localPath;
    std::unique_ptr<IPartHash> hash;
    long long maxBytes = -1;
    std::unique_ptr<CBodyToFile> body;
  };
  // Removes the request at `at` from those out and hands it over.
  CRequest TakeOut(std::list<CRequest>::iterator at);
  // One block more of a hint's body; false when the hint failed.
  bool ReadOn(CRequest& request);
  // The worker begins waiting for a part: asked for now, or (`hint`) reached after a hint.
  void BeginPart(bool hint);
  std::list<CRequest>::iterator Find(const std::string& object);
  std::list<CRequest>::const_iterator Find(const std::string& object) const;

  std::string m_strHost;
  unsigned short m_nPort;
  const std::atomic<int>& m_bStop;
  std::function<long long()> m_clockMs;
  long long m_nStartMs;
  long long m_nDelivered = 0;
  // The least time a part's own request took to be answered (-1 before one was): the answer to a
  // request ahead is not waited for before it has had that long to come.
  long long m_nAnswerMs = -1;
  bool m_bHintsOff = false;
  long long m_nPartBegunMs = 0;         // when the worker began waiting for the part it reads
  long long m_nDeliveredAtBegin = 0;    // what the line had delivered then
  bool m_bReadingHint = false;          // that part was asked for ahead
  // The hint parts read in a row: how many came whole, and when the weighing of them began (as
  // the first kHintPartsWeighed were in) and what had come then.
  long long m_nHintsBegunMs = 0, m_nDeliveredAtHints = 0;
  int m_nHintParts = 0;
  // The best pace of a part asked at its turn: its bytes and its time (-1 before one came).
  long long m_nBestOwnBytes = 0, m_nBestOwnMs = -1;
  std::list<CRequest> m_requests;  // in the order sent
  std::function<void()> m_sendNext;
};
