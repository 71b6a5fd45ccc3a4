// Requests sent ahead of the download worker.
//
// While the worker writes one part, the GETs for the next parts are already on their way, each
// on a connection of its own, so that a line with a long round trip never stands idle between
// parts. A request waits for its response's headers, so each is sent by a sender thread; what
// the sender leaves is the response, its body unread in the socket until the worker reaches that
// part and reads it as it would read its own request's. Nothing of a body is held here and
// nothing is written but by the worker, in order, so parts are written, checked and recorded
// exactly as before.
//
// The senders live as long as the download: a thread started for every request would cost its
// start (a few milliseconds under Wine, seen here) on every part's round trip. A sender is
// started only when more requests wait than senders are free, so there are never more senders
// than requests out at once. Used by the worker's thread only.
#pragma once

#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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
  ~CRequestsAhead();  // ends every request still out, as EndAll, and the senders
  CRequestsAhead(const CRequestsAhead&) = delete;
  CRequestsAhead& operator=(const CRequestsAhead&) = delete;

  // Sends a GET for `object` unless one is already out for it. Without a sender to send it on
  // (no thread could be started), nothing is sent: the worker then asks for the part itself when
  // it gets there.
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

  // Keeps the `count` requests sent first and ends the others, waiting for their headers where
  // they are on their way, so that a part failing after its connection was given to the next
  // request has a connection again for its next attempt.
  void EndBeyond(size_t count);

  // Ends every request still out (the transport's Cancel) and waits until none is under way. The
  // worker has no request of its own under way when it calls this.
  void EndAll();

 private:
  enum class EState { kWaiting, kSending, kAnswered };
  struct CRequest {
    std::string object;
    EState state = EState::kWaiting;
    // Written by the sender before kAnswered, read by the worker after.
    std::unique_ptr<IHttpResponse> response;
    std::exception_ptr failure;
  };

  void Serve();  // a sender's life: the oldest waiting request, sent, until the download ends
  // With m_lock held: the request for `object`, and the first in `state`, or the list's end.
  std::list<CRequest>::iterator Find(const std::string& object);
  std::list<CRequest>::iterator FirstIn(EState state);

  std::string m_strHost;
  unsigned short m_nPort;
  const std::atomic<int>& m_bStop;
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::list<CRequest> m_requests;  // never moves its elements: a sender fills one in where it stands
  std::vector<std::thread> m_senders;
  std::function<void()> m_sendNext;
  int m_nIdleSenders = 0;  // senders not sending: starting, or waiting for a request
  bool m_bClosing = false;
};
