#include <windows.h>
#include <wininet.h>

#include <cstdlib>
#include <string>

#include "common/constants.h"
#include "common/system_library_win.h"
#include "transfer/http_transport.h"

#define BRISKO_WININET_FUNCTIONS                                                                            \
  BRISKO_WININET_FUNCTION(InternetOpenA) BRISKO_WININET_FUNCTION(InternetConnectA)                          \
  BRISKO_WININET_FUNCTION(HttpOpenRequestA) BRISKO_WININET_FUNCTION(HttpSendRequestA)                       \
  BRISKO_WININET_FUNCTION(HttpQueryInfoA) BRISKO_WININET_FUNCTION(InternetReadFile)                         \
  BRISKO_WININET_FUNCTION(InternetCloseHandle) BRISKO_WININET_FUNCTION(InternetSetOptionA)                  \
  BRISKO_WININET_FUNCTION(InternetCrackUrlA)

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

  CWinInet() {
    module = LoadSystemLibrary("wininet.dll");
    loaded = module != nullptr;
#define BRISKO_WININET_FUNCTION(name) \
  name = SystemFunction<decltype(&::name)>(module, #name); \
  loaded = loaded && name != nullptr;
    BRISKO_WININET_FUNCTIONS
#undef BRISKO_WININET_FUNCTION
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

class CWinInetResponse : public IHttpResponse {
 public:
  CWinInetResponse(HINTERNET session, HINTERNET connection, HINTERNET request)
      : m_session(session), m_connection(connection), m_request(request) {}

  int StatusCode() override {
    DWORD status = 0, size = sizeof status;
    if (!WinInet().HttpQueryInfoA(m_request.Get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr))
      return 0;
    return static_cast<int>(status);
  }

  long long ContentLength() override {
    char text[32] = "";
    DWORD size = sizeof text;
    if (!WinInet().HttpQueryInfoA(m_request.Get(), HTTP_QUERY_CONTENT_LENGTH, text, &size, nullptr)) return -1;
    char* end = nullptr;
    long long length = strtoll(text, &end, 10);
    return (end == text || length < 0) ? -1 : length;
  }

  // Where a redirect points, or "" when the response carries no Location.
  std::string Location() {
    char text[2048] = "";
    DWORD size = sizeof text;
    if (!WinInet().HttpQueryInfoA(m_request.Get(), HTTP_QUERY_LOCATION, text, &size, nullptr)) return "";
    return std::string(text, size);
  }

  size_t Read(char* buffer, size_t size) override {
    DWORD got = 0;
    if (!WinInet().InternetReadFile(m_request.Get(), buffer, static_cast<DWORD>(size), &got)) ThrowLastError();
    return got;
  }

 private:
  // Declared in opening order, so the request closes first and the session last.
  CInternetHandle m_session;
  CInternetHandle m_connection;
  CInternetHandle m_request;
};

class CWinInetTransport : public IHttpTransport {
 public:
  std::unique_ptr<IHttpResponse> Get(const std::string& host, unsigned short port, const std::string& object) override {
    // Redirects are followed here, a bounded number of times: a server that redirects a request
    // to itself must end as a failure, not as an endless loop.
    std::string currentHost = host, currentObject = object;
    unsigned short currentPort = port;
    for (int redirects = 0;; ++redirects) {
      std::unique_ptr<CWinInetResponse> response = Open(currentHost, currentPort, currentObject);
      const int status = response->StatusCode();
      if (status != 301 && status != 302 && status != 303 && status != 307 && status != 308) return response;
      if (!ResolveRedirect(response->Location(), currentHost, currentPort, currentObject)) return response;
      if (redirects == kMaxRedirects) throw CHttpTransportError("The download server redirected the request too many times.");
    }
  }

 private:
  static constexpr int kMaxRedirects = 10;

  // A stalled server must become a failed attempt, not a hang. Set on every handle: clients
  // differ in which handle's setting they take.
  static void SetTimeouts(HINTERNET handle) {
    DWORD timeout = kNetworkTimeoutMs;
    for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT})
      WinInet().InternetSetOptionA(handle, option, &timeout, sizeof timeout);
  }

  std::unique_ptr<CWinInetResponse> Open(const std::string& host, unsigned short port, const std::string& object) {
    CInternetHandle session(Check(WinInet().InternetOpenA(kMessageCaption, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0)));
    SetTimeouts(session.Get());
    CInternetHandle connection(Check(WinInet().InternetConnectA(session.Get(), host.c_str(), port, nullptr, nullptr,
                                                      INTERNET_SERVICE_HTTP, 0, 1)));
    SetTimeouts(connection.Get());
    // Always from the server, never into the user's internet cache: a stale cached index would
    // hide a new version, and every part would be stored twice.
    const DWORD flags = INTERNET_FLAG_EXISTING_CONNECT | INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                        INTERNET_FLAG_NO_AUTO_REDIRECT;
    CInternetHandle request(Check(WinInet().HttpOpenRequestA(connection.Get(), "GET", object.c_str(), nullptr, nullptr, nullptr,
                                                   flags, 1)));
    SetTimeouts(request.Get());
    if (!WinInet().HttpSendRequestA(request.Get(), nullptr, 0, nullptr, 0)) ThrowLastError();
    // The response owns the handles from here on.
    return std::make_unique<CWinInetResponse>(session.Release(), connection.Release(), request.Release());
  }

  // Points host, port and object at a redirect's target; false for a target this client does not
  // follow (none given, or not plain HTTP), so that the redirect itself is the answer.
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
    if (!WinInet().InternetCrackUrlA(location.c_str(), 0, 0, &parts) || parts.nScheme != INTERNET_SCHEME_HTTP) return false;
    host = hostName;
    port = parts.nPort;
    object = path[0] ? path : "/";
    return true;
  }
};

}  // namespace

IHttpTransport& PlatformHttpTransport() {
  static CWinInetTransport transport;
  return transport;
}
