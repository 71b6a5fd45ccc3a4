// The HTTP client under HttpFetchFile: one GET, its status, its body in blocks. Every call may
// throw CHttpTransportError with a text for the user. WinInet serves on Windows; tests put a
// scripted transport in its place. Several threads may each have a request under way at once.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>

class CHttpTransportError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class IHttpResponse {
 public:
  virtual ~IHttpResponse() = default;
  // The HTTP status, or 0 when it cannot be read.
  virtual int StatusCode() = 0;
  // The Content-Length the response announced, or -1 when it announced none.
  virtual long long ContentLength() = 0;
  // Up to `size` bytes of the body; 0 at its end.
  virtual size_t Read(char* buffer, size_t size) = 0;
  // As Read, but returns what has come so far without waiting for the rest of `size` (waiting
  // only while nothing has come): for reading several bodies in turn, none held up by another.
  virtual size_t ReadSome(char* buffer, size_t size) { return Read(buffer, size); }
};

// A GET sent, its answer not yet read: the response waits in the connection until asked for.
// Destroying it ends the request, within a moment, and never leaves its answer to be read by a
// later request on the same connection.
class IHttpRequestSent {
 public:
  virtual ~IHttpRequestSent() = default;
  // The response once its headers have arrived, redirects followed as Get follows them. Throws
  // CHttpTransportError for a failed request.
  virtual std::unique_ptr<IHttpResponse> Answer() = 0;
};

// The most connections the program opens to the server at once: one part being written and the
// requests sent ahead for the next ones. WinInet is told the same limit.
constexpr unsigned kMaxConnectionsPerServer = 4;

class IHttpTransport {
 public:
  virtual ~IHttpTransport() = default;
  // Opens the connection, sends a GET for `object` and returns the response once its headers
  // have arrived. A request begun while `stopFlag` is set fails, so that one starting on another
  // thread as Cancel runs is never missed.
  virtual std::unique_ptr<IHttpResponse> Get(const std::string& host, unsigned short port, const std::string& object,
                                             const std::atomic<int>* stopFlag) = 0;
  // Sends a GET for `object` without waiting for its answer (the connection is opened first if
  // none is free, within `connectTimeoutMs` when it is not 0), so that one thread can have several
  // requests on their way. As Get, a request begun while `stopFlag` is set fails.
  virtual std::unique_ptr<IHttpRequestSent> Send(const std::string& host, unsigned short port,
                                                 const std::string& object, const std::atomic<int>* stopFlag,
                                                 unsigned connectTimeoutMs = 0) = 0;
  // The most connections to one server this client keeps at once; a request beyond them waits
  // for one of them to be free.
  virtual unsigned ConnectionLimit() { return kMaxConnectionsPerServer; }
  // From any thread: ends every transfer under way at once, those still waiting for their headers
  // too (their next or current call throws). A request sent whose answer nobody is reading yet is
  // left to its owner, who ends it by destroying it.
  virtual void Cancel() {}
};

// The platform's transport (WinInet on Windows).
IHttpTransport& PlatformHttpTransport();

// An attempt that receives fewer than kSlowTransferBytes in this many seconds fails: a server
// that sends a byte now and then is no better than a silent one. Tests shorten it.
constexpr long long kSlowTransferBytes = 4096;
void SetSlowTransferSeconds(unsigned seconds);

// The transport HttpFetchFile uses: the platform's, unless a test set another (nullptr restores).
IHttpTransport& CurrentHttpTransport();
void SetHttpTransport(IHttpTransport* transport);
