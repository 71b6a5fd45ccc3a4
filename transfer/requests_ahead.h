// Requests sent ahead of the download worker.
//
// While the worker writes one part, the GETs for the next parts are already on their way, each
// on a connection of its own, so that a line with a long round trip never stands idle between
// parts. A request waits for its response's headers, so each is sent on a short-lived thread of
// its own; what the thread leaves is the response, its body unread in the socket until the
// worker reaches that part and reads it as it would read its own request's. Nothing of a body is
// held here and nothing is written but by the worker, in order, so parts are written, checked
// and recorded exactly as before. Used by the worker's thread only.
#pragma once

#include <atomic>
#include <exception>
#include <list>
#include <memory>
#include <string>
#include <thread>

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
  ~CRequestsAhead();  // ends every request still out, as EndAll
  CRequestsAhead(const CRequestsAhead&) = delete;
  CRequestsAhead& operator=(const CRequestsAhead&) = delete;

  // Sends a GET for `object` unless one is already out for it. Without a thread to send it on,
  // nothing is sent: the worker then asks for the part itself when it gets there.
  void Send(const std::string& object);
  bool IsOut(const std::string& object) const;

  // The response to the request sent for `object`, once its headers are in; nullptr when none
  // was sent. Throws what the request threw (CHttpTransportError for a failed request).
  std::unique_ptr<IHttpResponse> Take(const std::string& object);

  // Ends every request still out (the transport's Cancel) and waits for their threads. The
  // worker has no request of its own under way when it calls this.
  void EndAll();

 private:
  struct CRequest {
    std::string object;
    std::thread thread;
    // Written by the thread, read by the worker after joining it.
    std::unique_ptr<IHttpResponse> response;
    std::exception_ptr failure;
  };

  std::string m_strHost;
  unsigned short m_nPort;
  const std::atomic<int>& m_bStop;
  std::list<CRequest> m_requests;
};
