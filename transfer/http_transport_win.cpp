#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "common/constants.h"
#include "common/system_library_win.h"
#include "transfer/certificate_problem_win.h"
#include "transfer/http_transport.h"

#define BRISKO_WININET_FUNCTIONS                                                                            \
  BRISKO_WININET_FUNCTION(InternetOpenA) BRISKO_WININET_FUNCTION(InternetConnectA)                          \
  BRISKO_WININET_FUNCTION(HttpOpenRequestA) BRISKO_WININET_FUNCTION(HttpSendRequestA)                       \
  BRISKO_WININET_FUNCTION(HttpQueryInfoA) BRISKO_WININET_FUNCTION(InternetReadFile)                         \
  BRISKO_WININET_FUNCTION(InternetCloseHandle) BRISKO_WININET_FUNCTION(InternetSetOptionA)                  \
  BRISKO_WININET_FUNCTION(InternetCrackUrlA) BRISKO_WININET_FUNCTION(InternetQueryDataAvailable)            \
  BRISKO_WININET_FUNCTION(HttpSendRequestExA) BRISKO_WININET_FUNCTION(HttpEndRequestA)                     \
  BRISKO_WININET_FUNCTION(InternetQueryOptionA)

namespace {

// WinInet's entry points, from the system folder's wininet.dll, loaded on first use. The program
// does not import it: Windows would look for it beside the program first, and the program often
// lies in a Downloads folder that any web page can drop a wininet.dll into.
struct CWinInet {
#define BRISKO_WININET_FUNCTION(name) decltype(&::name) name = nullptr;
  BRISKO_WININET_FUNCTIONS
#undef BRISKO_WININET_FUNCTION
  HMODULE module = nullptr;
  bool loaded = false;
  DWORD connectionLimit = kMaxConnectionsPerServer;  // the smallest of the limits in effect

  CWinInet() {
    module = LoadSystemLibrary("wininet.dll");
    loaded = module != nullptr;
#define BRISKO_WININET_FUNCTION(name) \
  name = SystemFunction<decltype(&::name)>(module, #name); \
  loaded = loaded && name != nullptr;
    BRISKO_WININET_FUNCTIONS
#undef BRISKO_WININET_FUNCTION
    if (!loaded) return;
    // WinInet lets a process keep only two connections to one HTTP/1.1 server (or to the proxy
    // in between) unless told otherwise; the worker has one part being written and the next
    // parts' requests out at once. Set for the whole process, before any connection is made, and
    // read back: a request beyond the limit in effect would wait for a connection that only the
    // waiting worker could free, so the worker keeps below the smallest.
    const DWORD options[] = {INTERNET_OPTION_MAX_CONNS_PER_SERVER, INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER,
                             INTERNET_OPTION_MAX_CONNS_PER_PROXY};
    for (DWORD option : options) {
      DWORD most = kMaxConnectionsPerServer;
      InternetSetOptionA(nullptr, option, &most, sizeof most);
      DWORD inEffect = 0, size = sizeof inEffect;
      if (InternetQueryOptionA(nullptr, option, &inEffect, &size) && inEffect > 0)
        connectionLimit = std::min(connectionLimit, inEffect);
    }
  }
};

const CWinInet& WinInet() {
  static const CWinInet api;
  if (!api.loaded)
    throw CHttpTransportError("This computer's internet client (wininet.dll) could not be loaded from the system folder.");
  return api;
}

// Closes an internet handle when it goes out of scope, whichever way the fetch ends.
class CInternetHandle {
 public:
  explicit CInternetHandle(HINTERNET handle = nullptr) : m_handle(handle) {}
  ~CInternetHandle() {
    if (m_handle != nullptr) WinInet().InternetCloseHandle(m_handle);
  }
  CInternetHandle(CInternetHandle&& other) noexcept : m_handle(other.Release()) {}
  CInternetHandle(const CInternetHandle&) = delete;
  CInternetHandle& operator=(const CInternetHandle&) = delete;
  HINTERNET Get() const { return m_handle; }
  HINTERNET Release() {
    HINTERNET handle = m_handle;
    m_handle = nullptr;
    return handle;
  }

 private:
  HINTERNET m_handle;
};

std::string InternetErrorText(DWORD code) {
#if BRISKO_SERVER_HTTPS  // only there: the plain build's code stays exactly as it was
  // An HTTPS build's certificate problems are the user's to judge, said in plain words: the
  // system's texts name the error, not what it means for the download.
  std::string certificate = CertificateProblemText(code);
  if (!certificate.empty()) return certificate;
#endif
  char buffer[1024] = "";
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                WinInet().module, code, 0, buffer, sizeof buffer, nullptr);
  std::string text(buffer, length);
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) text.pop_back();
  if (text.empty()) text = "The connection to the download server failed (error " + std::to_string(code) + ").";
  return text;
}

[[noreturn]] void ThrowLastError() { throw CHttpTransportError(InternetErrorText(GetLastError())); }

HINTERNET Check(HINTERNET handle) {
  if (handle == nullptr) ThrowLastError();
  return handle;
}

std::atomic<unsigned> g_slowTransferSeconds{kNetworkTimeoutMs / 1000};

// The requests under way, so that Stop on the dialog's thread can close them all: closing a
// request's handle is how WinInet ends a call that is waiting for the network, whether for the
// headers or for the body. The request's owner closes it otherwise, and never twice.
//
// A request sent ahead whose answer nobody is reading yet is left to its owner, who reads the
// answer's headers before closing it (CWinInetRequestSent): a request closed unanswered can leave
// its connection open (Wine's WinInet puts it back among its kept-alive connections), and the next
// request on it would read this one's answer, another part's bytes.
class CRequestHandle;

class CActiveRequests {
 public:
  // False when the request must not go on: its stop flag was set before it could be cancelled.
  bool Begin(CRequestHandle* request, const std::atomic<int>* stopFlag);
  // Closes the request unless Cancel already did; the owner's last word on it.
  void End(CRequestHandle* request);
  void Cancel();
  // Marks a request sent and not being answered (Cancel passes it by), or, with `idle` false,
  // about to be answered: false then when it must not go on (stopped, or cancelled while it was
  // being sent).
  bool SetIdle(CRequestHandle* request, bool idle, const std::atomic<int>* stopFlag);

 private:
  std::mutex m_lock;
  std::vector<CRequestHandle*> m_requests;
};

CActiveRequests g_active;

// The request's handle, registered for Cancel while it lives.
class CRequestHandle {
 public:
  CRequestHandle(HINTERNET request, const std::atomic<int>* stopFlag) : m_request(request) {
    if (!g_active.Begin(this, stopFlag)) {
      g_active.End(this);
      throw CHttpTransportError("The download was stopped.");
    }
  }
  ~CRequestHandle() { g_active.End(this); }
  CRequestHandle(const CRequestHandle&) = delete;
  CRequestHandle& operator=(const CRequestHandle&) = delete;
  HINTERNET Get() const { return m_request; }

 private:
  friend class CActiveRequests;
  HINTERNET m_request;
  bool m_bCancelled = false;  // guarded by g_active's lock
  bool m_bIdle = false;       // the same
};

bool CActiveRequests::Begin(CRequestHandle* request, const std::atomic<int>* stopFlag) {
  std::lock_guard<std::mutex> hold(m_lock);
  m_requests.push_back(request);
  // Stop sets the flag before it cancels: a request registered after that Cancel sees the flag.
  return stopFlag == nullptr || stopFlag->load() == 0;
}

void CActiveRequests::End(CRequestHandle* request) {
  std::lock_guard<std::mutex> hold(m_lock);
  auto found = std::find(m_requests.begin(), m_requests.end(), request);
  if (found == m_requests.end()) return;
  m_requests.erase(found);
  if (!request->m_bCancelled) WinInet().InternetCloseHandle(request->m_request);
}

bool CActiveRequests::SetIdle(CRequestHandle* request, bool idle, const std::atomic<int>* stopFlag) {
  std::lock_guard<std::mutex> hold(m_lock);
  if (request->m_bCancelled) return false;
  if (!idle && stopFlag != nullptr && stopFlag->load() != 0) return false;  // it stays with its owner
  request->m_bIdle = idle;
  return true;
}

void CActiveRequests::Cancel() {
  std::lock_guard<std::mutex> hold(m_lock);
  for (CRequestHandle* request : m_requests) {
    if (request->m_bCancelled || request->m_bIdle) continue;
    request->m_bCancelled = true;
    WinInet().InternetCloseHandle(request->m_request);
  }
}

class CWinInetResponse : public IHttpResponse {
 public:
  CWinInetResponse(CInternetHandle session, CInternetHandle connection, std::unique_ptr<CRequestHandle> request)
      : m_session(std::move(session)), m_connection(std::move(connection)), m_request(std::move(request)) {}

  int StatusCode() override {
    DWORD status = 0, size = sizeof status;
    if (!WinInet().HttpQueryInfoA(m_request->Get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr))
      return 0;
    return static_cast<int>(status);
  }

  long long ContentLength() override {
    char text[32] = "";
    DWORD size = sizeof text;
    if (!WinInet().HttpQueryInfoA(m_request->Get(), HTTP_QUERY_CONTENT_LENGTH, text, &size, nullptr)) return -1;
    char* end = nullptr;
    long long length = strtoll(text, &end, 10);
    return (end == text || length < 0) ? -1 : length;
  }

  HINTERNET Request() const { return m_request->Get(); }
  std::vector<HINTERNET> Handles() const { return {m_request->Get(), m_connection.Get(), m_session.Get()}; }
  CRequestHandle& Handle() { return *m_request; }

  // Where a redirect points, or "" when the response carries no Location.
  std::string Location() {
    char text[2048] = "";
    DWORD size = sizeof text;
    if (!WinInet().HttpQueryInfoA(m_request->Get(), HTTP_QUERY_LOCATION, text, &size, nullptr)) return "";
    return std::string(text, size);
  }

  // Fills the block as one read of the whole size would, but a piece at a time as the data
  // arrives, so that a server sending too little for too long fails the attempt.
  size_t Read(char* buffer, size_t size) override {
    size_t got = 0;
    while (got < size) {
      const size_t piece = ReadSome(buffer + got, size - got);
      if (piece == 0) break;  // the end of the body
      got += piece;
    }
    return got;
  }

  size_t ReadSome(char* buffer, size_t size) override {
    DWORD available = 0;
    if (!WinInet().InternetQueryDataAvailable(m_request->Get(), &available, 0, 0)) ThrowLastError();
    if (available == 0) return 0;  // the end of the body
    DWORD piece = 0;
    const DWORD wanted = static_cast<DWORD>(std::min<size_t>(available, size));
    if (!WinInet().InternetReadFile(m_request->Get(), buffer, wanted, &piece)) ThrowLastError();
    CheckProgress(piece);
    return piece;
  }

 private:
  void CheckProgress(DWORD piece) {
    const ULONGLONG now = GetTickCount64();
    if (m_nWindowStart == 0) m_nWindowStart = now;
    m_nWindowBytes += piece;
    if (now - m_nWindowStart < g_slowTransferSeconds.load() * 1000ULL) return;
    if (m_nWindowBytes < kSlowTransferBytes)
      throw CHttpTransportError("The download server sent too little for too long.");
    m_nWindowStart = now;
    m_nWindowBytes = 0;
  }

  // Declared in opening order, so the request closes first and the session last.
  CInternetHandle m_session;
  CInternetHandle m_connection;
  std::unique_ptr<CRequestHandle> m_request;
  ULONGLONG m_nWindowStart = 0;
  long long m_nWindowBytes = 0;
};

class CWinInetTransport : public IHttpTransport {
 public:
  void Cancel() override { g_active.Cancel(); }
  unsigned ConnectionLimit() override { return WinInet().connectionLimit; }

  std::unique_ptr<IHttpResponse> Get(const std::string& host, unsigned short port, const std::string& object,
                                     const std::atomic<int>* stopFlag) override {
    return FollowRedirects(SendWhole(host, port, object, stopFlag), host, port, object, stopFlag);
  }

  std::unique_ptr<IHttpRequestSent> Send(const std::string& host, unsigned short port, const std::string& object,
                                         const std::atomic<int>* stopFlag, unsigned connectTimeoutMs) override;

  // Redirects are followed here, a bounded number of times: a server that redirects a request
  // to itself must end as a failure, not as an endless loop.
  std::unique_ptr<IHttpResponse> FollowRedirects(std::unique_ptr<CWinInetResponse> response, std::string host,
                                                 unsigned short port, std::string object,
                                                 const std::atomic<int>* stopFlag) {
    for (int redirects = 0;; ++redirects) {
      const int status = response->StatusCode();
      if (status != 301 && status != 302 && status != 303 && status != 307 && status != 308) return response;
      if (!ResolveRedirect(response->Location(), host, port, object)) return response;
      if (redirects == kMaxRedirects) throw CHttpTransportError("The download server redirected the request too many times.");
      response.reset();  // its connection is free before the next request
      response = SendWhole(host, port, object, stopFlag);
    }
  }

 private:
  static constexpr int kMaxRedirects = 10;

  // A stalled server must become a failed attempt, not a hang. Set on every handle: clients
  // differ in which handle's setting they take.
  static void SetTimeouts(HINTERNET handle, unsigned connectTimeoutMs) {
    for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT}) {
      DWORD timeout = option == INTERNET_OPTION_CONNECT_TIMEOUT && connectTimeoutMs != 0 ? connectTimeoutMs
                                                                                         : kNetworkTimeoutMs;
      WinInet().InternetSetOptionA(handle, option, &timeout, sizeof timeout);
    }
  }

  // A request sent, once its answer's headers are in.
  std::unique_ptr<CWinInetResponse> SendWhole(const std::string& host, unsigned short port, const std::string& object,
                                              const std::atomic<int>* stopFlag) {
    std::unique_ptr<CWinInetResponse> response = OpenRequest(host, port, object, stopFlag);
    if (!WinInet().HttpSendRequestA(response->Request(), nullptr, 0, nullptr, 0)) ThrowLastError();
    return response;
  }

  // A request's handles, ready to send; registered for Cancel.
  std::unique_ptr<CWinInetResponse> OpenRequest(const std::string& host, unsigned short port, const std::string& object,
                                                const std::atomic<int>* stopFlag, unsigned connectTimeoutMs = 0) {
    CInternetHandle session(Check(WinInet().InternetOpenA(kMessageCaption, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0)));
    SetTimeouts(session.Get(), connectTimeoutMs);
    // Never a dial-up connection of its own: a download that finds no network fails instead.
    BOOL noAutoDial = TRUE;
    WinInet().InternetSetOptionA(session.Get(), INTERNET_OPTION_DISABLE_AUTODIAL, &noAutoDial, sizeof noAutoDial);
    CInternetHandle connection(Check(WinInet().InternetConnectA(session.Get(), host.c_str(), port, nullptr, nullptr,
                                                      INTERNET_SERVICE_HTTP, 0, 1)));
    SetTimeouts(connection.Get(), connectTimeoutMs);
    // Always from the server, never into the user's internet cache: a stale cached index would
    // hide a new version, and every part would be stored twice. No cookies kept or sent, and no
    // dialog of WinInet's own. An HTTPS build's requests go over TLS, the server's certificate
    // checked by Windows with none of the flags that would let a problem pass.
    const DWORD flags = INTERNET_FLAG_EXISTING_CONNECT | INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                        INTERNET_FLAG_NO_AUTO_REDIRECT | INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_UI |
                        (kServerUsesHttps ? INTERNET_FLAG_SECURE : 0);
    // The user's Windows logon goes to the proxy the user's settings name (a company proxy that
    // asks for NTLM or Negotiate answers 407, and WinInet answers it), never to a server: with
    // server authentication suppressed, a server's 401 is the answer, a failed attempt. The
    // download server and every host a redirect names are servers. A WinInet that cannot
    // suppress server authentication alone (before Internet Explorer 8) authenticates to nobody.
    auto request = OpenRequestHandle(connection.Get(), object, flags, stopFlag, connectTimeoutMs);
    if (!WinInet().InternetSetOptionA(request->Get(), INTERNET_OPTION_SUPPRESS_SERVER_AUTH, nullptr, 0)) {
      request.reset();
      request = OpenRequestHandle(connection.Get(), object, flags | INTERNET_FLAG_NO_AUTH, stopFlag, connectTimeoutMs);
    }
    // The response owns the handles from here on.
    return std::make_unique<CWinInetResponse>(std::move(session), std::move(connection), std::move(request));
  }

  static std::unique_ptr<CRequestHandle> OpenRequestHandle(HINTERNET connection, const std::string& object, DWORD flags,
                                                     const std::atomic<int>* stopFlag, unsigned connectTimeoutMs) {
    auto request = std::make_unique<CRequestHandle>(
        Check(WinInet().HttpOpenRequestA(connection, "GET", object.c_str(), nullptr, nullptr, nullptr, flags, 1)),
        stopFlag);
    SetTimeouts(request->Get(), connectTimeoutMs);
    return request;
  }

  // Points host, port and object at a redirect's target; false for a target this client does not
  // follow (none given, or another scheme than the build's: an HTTPS build never goes down to
  // plain HTTP), so that the redirect itself is the answer.
  static bool ResolveRedirect(const std::string& location, std::string& host, unsigned short& port,
                              std::string& object) {
    if (location.empty()) return false;
    if (location[0] == '/') {
      object = location;
      return true;
    }
    char hostName[256] = "", path[2048] = "";
    URL_COMPONENTSA parts = {};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = hostName;
    parts.dwHostNameLength = sizeof hostName;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = sizeof path;
    const INTERNET_SCHEME scheme = kServerUsesHttps ? INTERNET_SCHEME_HTTPS : INTERNET_SCHEME_HTTP;
    if (!WinInet().InternetCrackUrlA(location.c_str(), 0, 0, &parts) || parts.nScheme != scheme) return false;
    host = hostName;
    port = parts.nPort;
    object = path[0] ? path : "/";
    return true;
  }
};

// A GET sent with its headers alone (HttpSendRequestEx); its answer is read when asked for
// (HttpEndRequest), from the connection where it waits. Cancel passes it by until then.
class CWinInetRequestSent : public IHttpRequestSent {
 public:
  CWinInetRequestSent(CWinInetTransport& transport, std::unique_ptr<CWinInetResponse> response, std::string host,
                      unsigned short port, std::string object, const std::atomic<int>* stopFlag)
      : m_transport(transport), m_response(std::move(response)), m_strHost(std::move(host)), m_nPort(port),
        m_strObject(std::move(object)), m_stopFlag(stopFlag) {}

  // Never closed unanswered: the headers are read first, waiting a moment at most, so that the
  // connection closes with the request (its body unread) instead of serving the next one. Under
  // Wine an answer that did not come in time ends the connection too. The moment is set on every
  // handle of the request, since clients differ in whose timeout a read takes.
  ~CWinInetRequestSent() override {
    if (!m_response) return;
    DWORD moment = kEndUnansweredMs;
    for (HINTERNET handle : m_response->Handles())
      WinInet().InternetSetOptionA(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, &moment, sizeof moment);
    WinInet().HttpEndRequestA(m_response->Request(), nullptr, 0, 0);
  }

  std::unique_ptr<IHttpResponse> Answer() override {
    if (!g_active.SetIdle(&m_response->Handle(), false, m_stopFlag))
      throw CHttpTransportError("The download was stopped.");
    std::unique_ptr<CWinInetResponse> response = std::move(m_response);  // answered, however this ends
    if (!WinInet().HttpEndRequestA(response->Request(), nullptr, 0, 0)) {
      // WinInet asks for the request again when it must authenticate to the user's proxy (a
      // 407); a full send answers the proxy as the worker's own requests do.
      if (GetLastError() != ERROR_INTERNET_FORCE_RETRY) ThrowLastError();
      if (!WinInet().HttpSendRequestA(response->Request(), nullptr, 0, nullptr, 0)) ThrowLastError();
    }
    return m_transport.FollowRedirects(std::move(response), m_strHost, m_nPort, m_strObject, m_stopFlag);
  }

 private:
  static constexpr DWORD kEndUnansweredMs = 300;

  CWinInetTransport& m_transport;
  std::unique_ptr<CWinInetResponse> m_response;  // until it is answered
  std::string m_strHost;
  unsigned short m_nPort;
  std::string m_strObject;
  const std::atomic<int>* m_stopFlag;
};

std::unique_ptr<IHttpRequestSent> CWinInetTransport::Send(const std::string& host, unsigned short port,
                                                          const std::string& object, const std::atomic<int>* stopFlag,
                                                          unsigned connectTimeoutMs) {
  std::unique_ptr<CWinInetResponse> response = OpenRequest(host, port, object, stopFlag, connectTimeoutMs);
  INTERNET_BUFFERSA none = {};
  none.dwStructSize = sizeof none;
  if (!WinInet().HttpSendRequestExA(response->Request(), &none, nullptr, 0, 0)) ThrowLastError();
  // Stop closed it while it was being sent (the connect is what takes time).
  if (!g_active.SetIdle(&response->Handle(), true, stopFlag)) throw CHttpTransportError("The download was stopped.");
  return std::make_unique<CWinInetRequestSent>(*this, std::move(response), host, port, object, stopFlag);
}

}  // namespace

void SetSlowTransferSeconds(unsigned seconds) { g_slowTransferSeconds = seconds; }

IHttpTransport& PlatformHttpTransport() {
  static CWinInetTransport transport;
  return transport;
}
