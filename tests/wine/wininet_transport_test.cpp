// HttpFetchFile over WinInet against the loopback test server (tools/testserver/fault_server.py), whose
// port arrives in BRISKO_TEST_PORT. Each object name asks the server for one behaviour.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "common/constants.h"
#include "support/memory_view.h"
#include "support/temp_dir.h"
#include "transfer/http_fetch.h"
#include "transfer/http_transport.h"

namespace {

class WinInetTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* port = getenv("BRISKO_TEST_PORT");
    ASSERT_NE(nullptr, port) << "run through tools/testserver/with_test_server.py";
    m_port = static_cast<unsigned short>(atoi(port));
  }
  int Fetch(const std::string& object, CMemoryProgressBar* bar = nullptr, int binary = 1, long long maxBytes = -1,
            const std::atomic<int>* stop = nullptr) {
    return HttpFetchFile("127.0.0.1", m_port, object.c_str(), m_local.c_str(), binary, m_error, bar, 1024, stop,
                         nullptr, maxBytes);
  }
  // The test server's bodies: byte i of a body is (i * 7 + 3) mod 251.
  static std::string Pattern(size_t size) {
    std::string body(size, '\0');
    for (size_t i = 0; i < size; ++i) body[i] = static_cast<char>((i * 7 + 3) % 251);
    return body;
  }
  unsigned short m_port = 0;
  CTempDir m_dir;
  std::string m_local = m_dir / "fetched.bin";
  std::string m_error;
};

TEST_F(WinInetTransportTest, FetchesABodyWholeAndMovesTheBarPerBlock) {
  CMemoryProgressBar bar;
  bar.SetRange(0, 1000);
  ASSERT_EQ(1, Fetch("/pattern/9000", &bar)) << m_error;
  EXPECT_EQ(Pattern(9000), ReadFile(m_local));
  EXPECT_GE(bar.Pos(), 12);  // at least three blocks of 4 units; the network may cut finer
  EXPECT_EQ(0, bar.Pos() % 4);
}

TEST_F(WinInetTransportTest, EmptyBodyIsAnEmptyFile) {
  ASSERT_EQ(1, Fetch("/pattern/0")) << m_error;
  EXPECT_EQ("", ReadFile(m_local));
}

TEST_F(WinInetTransportTest, ErrorStatusesFailAndKeepTheEarlierFile) {
  for (const char* object : {"/status/404", "/status/500", "/status/302"}) {
    WriteFile(m_local, "earlier");
    EXPECT_EQ(0, Fetch(object)) << object;
    EXPECT_EQ("Failed to connect to the server.", m_error) << object;
    EXPECT_EQ("earlier", ReadFile(m_local)) << object;
  }
}

TEST_F(WinInetTransportTest, BodyCutShortOfItsLengthFails) {
  EXPECT_EQ(0, Fetch("/short/20000"));
  EXPECT_EQ("The download was interrupted: received 10000 of 20000 bytes.", m_error);
  EXPECT_EQ(0, Fetch("/cut/20000"));  // connection reset mid-body
  EXPECT_FALSE(m_error.empty());
}

TEST_F(WinInetTransportTest, StalledServerBecomesAFailureAfterTheReceiveTimeout) {
  // The server sends its headers and then nothing for 90 s; the 60 s receive timeout ends it.
  EXPECT_EQ(0, Fetch("/stall"));
  EXPECT_FALSE(m_error.empty());
}

TEST_F(WinInetTransportTest, RedirectsAreFollowedAndALoopIsAFailure) {
  ASSERT_EQ(1, Fetch("/moved/5000")) << m_error;
  EXPECT_EQ(Pattern(5000), ReadFile(m_local));
  EXPECT_EQ(0, Fetch("/redirect-loop"));
  EXPECT_EQ("The download server redirected the request too many times.", m_error);
  // The plain build follows plain HTTP only: a redirect to HTTPS is the answer itself, a failure.
  EXPECT_EQ(0, Fetch("/moved-https/5000"));
  EXPECT_EQ("Failed to connect to the server.", m_error);
}

// Requests sent ahead from one thread, each on its own connection, are answered in turn: a
// redirect followed, an error status as it is. One ended unanswered, on a connection kept from
// those, leaves its answer to nobody: every connection kept is used again after it. One whose
// server stays silent ends in a moment; one to where nothing listens fails with a text.
TEST_F(WinInetTransportTest, RequestsSentAheadAreAnsweredInTurn) {
  IHttpTransport& transport = CurrentHttpTransport();
  const auto body = [](IHttpResponse& response) {
    std::string text;
    char buffer[4096];
    for (size_t got; (got = response.Read(buffer, sizeof buffer)) > 0;) text.append(buffer, got);
    return text;
  };
  // The four connections the worker asks for are the limits in effect, per server and per proxy.
  EXPECT_EQ(kMaxConnectionsPerServer, transport.ConnectionLimit());
  auto first = transport.Send("127.0.0.1", m_port, "/pattern/9000", nullptr);
  auto moved = transport.Send("127.0.0.1", m_port, "/moved/5000", nullptr);
  auto second = transport.Send("127.0.0.1", m_port, "/pattern/7000", nullptr);
  auto missing = transport.Send("127.0.0.1", m_port, "/status/404", nullptr);
  auto response = first->Answer();
  EXPECT_EQ(200, response->StatusCode());
  EXPECT_EQ(Pattern(9000), body(*response));
  response = moved->Answer();
  EXPECT_EQ(200, response->StatusCode());
  EXPECT_EQ(Pattern(5000), body(*response));
  response = second->Answer();
  EXPECT_EQ(Pattern(7000), body(*response));
  response = missing->Answer();
  EXPECT_EQ(404, response->StatusCode());
  body(*response);
  response.reset();

  transport.Send("127.0.0.1", m_port, "/pattern/70000", nullptr).reset();
  for (size_t size = 10; size < 10 + 2 * kMaxConnectionsPerServer; ++size) {
    ASSERT_EQ(1, Fetch("/pattern/" + std::to_string(size))) << m_error;
    const std::string fetched = ReadFile(m_local);
    ASSERT_EQ(size, fetched.size()) << "another request's answer";
    EXPECT_TRUE(fetched == Pattern(size));
  }
  const auto began = std::chrono::steady_clock::now();
  transport.Send("127.0.0.1", m_port, "/silent", nullptr).reset();
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(10));  // not the minute's timeout
  try {
    transport.Send("127.0.0.1", 1, "/pattern/10", nullptr)->Answer();
    ADD_FAILURE() << "answered from a port where nothing listens";
  } catch (const CHttpTransportError& failure) {
    EXPECT_STRNE("", failure.what());
  }
}

TEST_F(WinInetTransportTest, UnreachableServerGivesTheSystemsText) {
  m_port = 1;  // nothing listens there
  EXPECT_EQ(0, Fetch("/pattern/10"));
  EXPECT_FALSE(m_error.empty());
}

TEST_F(WinInetTransportTest, TextModeStoresLinesWithWindowsLineEnds) {
  ASSERT_EQ(1, Fetch("/text", nullptr, 0)) << m_error;
  EXPECT_EQ("1\r\n4.2\r\n", ReadFile(m_local));
}

TEST_F(WinInetTransportTest, RequestsBypassTheCache) {
  // The server numbers its answers: two fetches of the same object must both reach it.
  ASSERT_EQ(1, Fetch("/counter"));
  const std::string first = ReadFile(m_local);
  ASSERT_EQ(1, Fetch("/counter"));
  EXPECT_NE(first, ReadFile(m_local));
}

TEST_F(WinInetTransportTest, NoCookiesKeptOrSent) {
  ASSERT_EQ(1, Fetch("/cookie/set")) << m_error;
  ASSERT_EQ(1, Fetch("/cookie/echo")) << m_error;
  EXPECT_EQ("none", ReadFile(m_local));
}

// The proxy the user's Internet settings name, while it lives; the program has no proxy setting
// of its own.
class CUserProxySetting {
 public:
  explicit CUserProxySetting(const std::string& server) {
    RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings", 0, nullptr, 0,
                    KEY_SET_VALUE, nullptr, &m_key, nullptr);
    const DWORD enable = 1;
    RegSetValueExA(m_key, "ProxyEnable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&enable), sizeof enable);
    RegSetValueExA(m_key, "ProxyServer", 0, REG_SZ, reinterpret_cast<const BYTE*>(server.c_str()),
                   static_cast<DWORD>(server.size() + 1));
  }
  ~CUserProxySetting() {
    RegDeleteValueA(m_key, "ProxyEnable");
    RegDeleteValueA(m_key, "ProxyServer");
    RegCloseKey(m_key);
  }
  CUserProxySetting(const CUserProxySetting&) = delete;
  CUserProxySetting& operator=(const CUserProxySetting&) = delete;

 private:
  HKEY m_key = nullptr;
};

TEST_F(WinInetTransportTest, RequestsTakeTheUsersProxyAndNoServerGetsTheUsersLogon) {
  // A server asking for a Windows logon, or Basic credentials, gets none and no dialog: a failed
  // attempt (the test server answers 200 to any request that carries credentials). So does a
  // host a redirect names.
  EXPECT_EQ(0, Fetch("/auth"));
  EXPECT_EQ("Failed to connect to the server.", m_error);
  EXPECT_EQ(0, Fetch("/moved-auth"));
  EXPECT_EQ("Failed to connect to the server.", m_error);
  ASSERT_EQ(1, Fetch("/via")) << m_error;
  EXPECT_EQ("direct", ReadFile(m_local));
  // Through the proxy the user's settings name (the test server stands for it and for the
  // servers behind it): the requests take it, and the servers behind it still get no logon.
  CUserProxySetting proxy("127.0.0.1:" + std::to_string(m_port));
  ASSERT_EQ(1, Fetch("/via")) << m_error;
  EXPECT_EQ("proxy", ReadFile(m_local));
  EXPECT_EQ(0, Fetch("/auth"));
  EXPECT_EQ("Failed to connect to the server.", m_error);
  EXPECT_EQ(0, Fetch("/moved-auth"));
  EXPECT_EQ("Failed to connect to the server.", m_error);
}

TEST_F(WinInetTransportTest, NothingRunsPastWhatTheObjectCanBe) {
  EXPECT_EQ(0, Fetch("/pattern/100000", nullptr, 1, 50000));  // announced too long: not even read
  EXPECT_EQ(TooLongDownloadText(50000), m_error);
  EXPECT_EQ(0, Fetch("/endless", nullptr, 1, 1 << 20));  // 16 MiB, none announced: stops at the limit
  EXPECT_EQ(TooLongDownloadText(1 << 20), m_error);
  EXPECT_LE(ReadFile(m_local).size(), static_cast<size_t>((1 << 20) + 4096));
  ASSERT_EQ(1, Fetch("/pattern/50000", nullptr, 1, 50000)) << m_error;  // exactly the limit is fine
}

TEST_F(WinInetTransportTest, AServerSendingTooLittleForTooLongFailsTheAttempt) {
  SetSlowTransferSeconds(3);
  EXPECT_EQ(0, Fetch("/drip"));  // one byte every half second
  SetSlowTransferSeconds(kNetworkTimeoutMs / 1000);
  EXPECT_EQ("The download server sent too little for too long.", m_error);
}

TEST_F(WinInetTransportTest, StopEndsATransferWithoutAnErrorTextAndLeavesTheNextAlone) {
  // One byte every half second: a whole 4 KiB block would take half an hour. Stop closes the
  // request, and the transfer ends at the next byte at the latest (on Windows at once).
  std::atomic<int> stop{0};
  m_error = "earlier";
  int result = -1;
  const auto start = std::chrono::steady_clock::now();
  std::thread fetch([&] { result = Fetch("/drip", nullptr, 1, -1, &stop); });
  std::this_thread::sleep_for(std::chrono::seconds(2));
  stop = 1;
  CurrentHttpTransport().Cancel();
  fetch.join();
  EXPECT_EQ(0, result);
  EXPECT_EQ("earlier", m_error);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  ASSERT_EQ(1, Fetch("/pattern/10")) << m_error;  // the next transfer is not touched
}

}  // namespace
