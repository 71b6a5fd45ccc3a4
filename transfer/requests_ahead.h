// Requests sent ahead of the download worker.
//
// While the worker writes one part, the GETs for the next parts are already on their way, each
// on a connection of its own, so that a line with a long round trip never stands idle between
// parts. The worker sends them itself without waiting for their answers (the transport's Send);
// each answer and its body wait in the socket until the worker reaches that part and reads it as
// it would read its own request's. Nothing of a body is held here and nothing is written but by
// the worker, in order, so parts are written, checked and recorded exactly as before.
//
// No thread is started for them: a thread waiting for each answer would cost the program its
// memory (about 1 MiB each under Wine, whatever its stack) and its start (milliseconds under
// Wine) on every part's round trip. Used by the worker's thread only.
#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <list>
#include <memory>
#include <string>

#include "transfer/http_transport.h"

// Requests sent ahead while one part is written: with that part's own, kMaxConnectionsPerServer
// at most. A build setting (BRISKO_REQUESTS_AHEAD; 0 asks for each part only once the one before
// it is written).
#ifndef BRISKO_REQUESTS_AHEAD
#define BRISKO_REQUESTS_AHEAD 3
#endif
constexpr int kRequestsAhead = BRISKO_REQUESTS_AHEAD;
static_assert(kRequestsAhead >= 0 && kRequestsAhead < static_cast<int>(kMaxConnectionsPerServer),
              "one connection is the part being written");

class CRequestsAhead {
 public:
  // `stopFlag` is the user's stop: a request it finds set is not sent.
  CRequestsAhead(std::string host, unsigned short port, const std::atomic<int>& stopFlag);
  ~CRequestsAhead() { EndAll(); }
  CRequestsAhead(const CRequestsAhead&) = delete;
  CRequestsAhead& operator=(const CRequestsAhead&) = delete;

  // Sends a GET for `object` unless one is already out for it. A request that could not be sent
  // is kept as its part's failed attempt, for the worker to meet when it gets there.
  void Send(const std::string& object);

  // The response to the request sent for `object`, once its headers are in; nullptr when none
  // was sent. Throws what the request threw (CHttpTransportError for a failed request).
  std::unique_ptr<IHttpResponse> Take(const std::string& object);

  // What to do once the part being read has its whole body in and its request closed: its
  // connection is free for the next request before the part is flushed and recorded.
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
    std::unique_ptr<IHttpRequestSent> sent;
    std::exception_ptr failure;  // the send's, when it failed
  };
  std::list<CRequest>::iterator Find(const std::string& object);

  std::string m_strHost;
  unsigned short m_nPort;
  const std::atomic<int>& m_bStop;
  std::list<CRequest> m_requests;  // in the order sent
  std::function<void()> m_sendNext;
};
