#include <gtest/gtest.h>

#include <atomic>

#include "support/memory_view.h"
#include "support/scripted_transport.h"
#include "support/temp_dir.h"
#include "transfer/http_fetch.h"
#include "transfer/requests_ahead.h"

namespace {

class HttpFetchTest : public ::testing::Test {
 protected:
  int Fetch(const std::string& object, CMemoryProgressBar* bar = nullptr, const std::atomic<int>* stop = nullptr,
            int binary = 1) {
    return HttpFetchFile("example.test", 80, object.c_str(), m_local.c_str(), binary, m_error, bar, 1024, stop);
  }
  CTempDir m_dir;
  std::string m_local = m_dir / "out.bin";
  std::string m_error = "untouched";
  CScriptedTransport m_server;
};

TEST_F(HttpFetchTest, BodyInThreeBlocksIsStoredAndMovesTheBarFourUnitsEach) {
  const std::string body = std::string(4096, 'a') + std::string(4096, 'b') + std::string(808, 'c');
  m_server.Script("/x", ScriptedResponse::Ok(body));
  CMemoryProgressBar bar;
  bar.SetRange(0, 1000);
  ASSERT_EQ(1, Fetch("/x", &bar));
  EXPECT_EQ(body, ReadFile(m_local));
  EXPECT_EQ(12, bar.Pos());
  EXPECT_EQ("example.test", m_server.LastHost());
}

TEST_F(HttpFetchTest, BarStopsAtItsUpperBound) {
  m_server.Script("/x", ScriptedResponse::Ok(std::string(5 * 4096, 'z')));
  CMemoryProgressBar bar;
  bar.SetRange(0, 8);
  ASSERT_EQ(1, Fetch("/x", &bar));
  EXPECT_EQ(8, bar.Pos());
}

TEST_F(HttpFetchTest, EmptyBodyGivesAnEmptyFile) {
  m_server.Script("/x", ScriptedResponse::Ok(""));
  ASSERT_EQ(1, Fetch("/x"));
  EXPECT_EQ("", ReadFile(m_local));
}

TEST_F(HttpFetchTest, StatusesOf300AndAboveFailAndLeaveAnExistingFileAlone) {
  for (int status : {404, 500, 300, 0}) {
    WriteFile(m_local, "earlier copy");
    m_server.Script("/s" + std::to_string(status), ScriptedResponse::Status(status));
    EXPECT_EQ(0, Fetch("/s" + std::to_string(status))) << status;
    EXPECT_EQ("Failed to connect to the server.", m_error) << status;
    EXPECT_EQ("earlier copy", ReadFile(m_local)) << status;
  }
}

TEST_F(HttpFetchTest, StatusesBelow300Succeed) {
  ScriptedResponse partial = ScriptedResponse::Ok("body");
  partial.status = 204;
  m_server.Script("/x", partial);
  EXPECT_EQ(1, Fetch("/x"));
}

TEST_F(HttpFetchTest, StopFlagIsReadOnlyAfterAWrittenBlock) {
  std::atomic<int> stop{1};
  CMemoryProgressBar bar;
  bar.SetRange(0, 100);
  m_server.Script("/empty", ScriptedResponse::Ok(""));
  EXPECT_EQ(1, Fetch("/empty", &bar, &stop));

  m_server.Script("/full", ScriptedResponse::Ok(std::string(3 * 4096, 'q')));
  EXPECT_EQ(0, Fetch("/full", &bar, &stop));
  EXPECT_EQ("untouched", m_error);
  EXPECT_EQ(std::string(4096, 'q'), ReadFile(m_local));  // the first block is written
  EXPECT_EQ(4, bar.Pos());
}

TEST_F(HttpFetchTest, UnwritableLocalPathFailsWithItsName) {
  m_server.Script("/x", ScriptedResponse::Ok("data"));
  m_local = m_dir / "no-such-folder\\out.bin";
  EXPECT_EQ(0, Fetch("/x"));
  EXPECT_EQ("Cannot create file: " + m_local, m_error);
}

TEST_F(HttpFetchTest, TransportFailuresBecomeTheErrorText) {
  m_server.Script("/gone", ScriptedResponse::Unreachable("Name not resolved"));
  EXPECT_EQ(0, Fetch("/gone"));
  EXPECT_EQ("Name not resolved", m_error);

  ScriptedResponse cut = ScriptedResponse::Ok(std::string(3 * 4096, 'k'));
  cut.failAfterBlocks = 1;
  cut.failureText = "Connection reset";
  m_server.Script("/cut", cut);
  EXPECT_EQ(0, Fetch("/cut"));
  EXPECT_EQ("Connection reset", m_error);
  EXPECT_EQ(std::string(4096, 'k'), ReadFile(m_local));  // the partial file is left for the caller

  // A transfer that fails because the user's Stop closed it is no failure to describe.
  std::atomic<int> stop{1};
  m_error = "earlier";
  ScriptedResponse closed = ScriptedResponse::Unreachable("The operation was canceled");
  m_server.Script("/stopped", closed);
  EXPECT_EQ(0, Fetch("/stopped", nullptr, &stop));
  EXPECT_EQ("earlier", m_error);
}

TEST_F(HttpFetchTest, ABodyRunningPastTheLimitStopsThereAnnouncedOrNot) {
  ScriptedResponse unannounced = ScriptedResponse::Ok(std::string(3 * 4096, 'u'));
  unannounced.contentLength = -1;
  m_server.Script("/u", unannounced);
  EXPECT_EQ(0, HttpFetchFile("example.test", 80, "/u", m_local.c_str(), 1, m_error, nullptr, 1024, nullptr, nullptr,
                             5000));
  EXPECT_EQ(TooLongDownloadText(5000), m_error);
  EXPECT_EQ(4096u, ReadFile(m_local).size());  // nothing of the block that ran past
  m_server.Script("/a", ScriptedResponse::Ok(std::string(6000, 'a')));
  EXPECT_EQ(0, HttpFetchFile("example.test", 80, "/a", m_local.c_str(), 1, m_error, nullptr, 1024, nullptr, nullptr,
                             5000));
  EXPECT_EQ(TooLongDownloadText(5000), m_error);
  EXPECT_EQ(0u, ReadFile(m_local).size());  // announced too long: refused before a byte is written
}

TEST_F(HttpFetchTest, BodyShorterOrLongerThanItsAnnouncedLengthIsAFailure) {
  ScriptedResponse shortBody = ScriptedResponse::Ok("12345");
  shortBody.contentLength = 10;
  m_server.Script("/short", shortBody);
  EXPECT_EQ(0, Fetch("/short"));
  EXPECT_EQ("The download was interrupted: received 5 of 10 bytes.", m_error);

  ScriptedResponse longBody = ScriptedResponse::Ok("1234567890");
  longBody.contentLength = 4;
  m_server.Script("/long", longBody);
  EXPECT_EQ(0, Fetch("/long"));

  ScriptedResponse unannounced = ScriptedResponse::Ok("12345");
  unannounced.contentLength = -1;
  m_server.Script("/none", unannounced);
  EXPECT_EQ(1, Fetch("/none"));
}

// The connection goes on to the next request only once the whole announced body is in.
TEST_F(HttpFetchTest, ConnectionGoesOnOnlyOnceTheWholeAnnouncedBodyIsIn) {
  std::atomic<int> stop{0};
  CRequestsAhead ahead("example.test", 80, stop);
  std::vector<std::string> handedOn;
  ScriptedResponse shortBody = ScriptedResponse::Ok("12345");
  shortBody.contentLength = 10;
  m_server.Script("/short", shortBody);
  m_server.Script("/whole", ScriptedResponse::Ok("12345"));
  for (const std::string object : {"/short", "/whole"}) {
    ahead.WhenConnectionFree([&handedOn, object] { handedOn.push_back(object); });
    HttpFetchFile("example.test", 80, object.c_str(), m_local.c_str(), 1, m_error, nullptr, 1024, nullptr, nullptr, -1,
                  nullptr, &ahead);
  }
  EXPECT_EQ(std::vector<std::string>{"/whole"}, handedOn);
}

// Nothing is asked ahead before a byte has come in, even with no part size to rate by.
TEST_F(HttpFetchTest, NothingIsAskedAheadBeforeAByteHasComeIn) {
  std::atomic<int> stop{0};
  CRequestsAhead ahead("example.test", 80, stop, [] { return 0LL; });
  EXPECT_EQ(0, ahead.Depth(0));
  ahead.Delivered(8, true);
  EXPECT_EQ(kRequestsAhead, ahead.Depth(0));
}

}  // namespace
