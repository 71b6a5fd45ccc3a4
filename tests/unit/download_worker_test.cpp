#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#ifndef _WIN32
#include <unistd.h>
#endif

#include "common/file_system.h"
#include "support/memory_view.h"
#include "support/message_recorder.h"
#include "support/scripted_transport.h"
#include "support/temp_dir.h"
#include "transfer/package_download.h"

namespace {

const std::string kRemote = "/download/brisko/";

// A prepared download of `count` parts of 8 bytes (the last of 5) in a fresh version folder.
class DownloadWorkerTest : public ::testing::Test {
 protected:
  void Prepare(int count, const std::vector<int>& done = {}) {
    TakeMessages();
    m_download.m_strServer = "server.test";
    m_download.m_strDirectory = m_dir.Path();
    m_download.m_nRetryPauseMs = 0;
    // The worker's clock stands still unless a test moves it: what it does then never depends on
    // how fast the machine runs the test (an answer asked ahead is waited for only once it can
    // have come, by that clock).
    m_download.m_clockMs = [] { return 0LL; };
    CPackageIndex& index = m_download.m_index;
    index.m_strProductVersion = "1.0";
    index.m_nPartSize = 8;
    for (int i = 0; i < count; ++i) {
      const std::string name = "p" + std::to_string(i + 1);
      const std::string body = std::string(i + 1 == count ? 5 : 8, static_cast<char>('A' + i));
      m_bodies.push_back(body);
      m_installer += body;
      const bool isDone = std::find(done.begin(), done.end(), i + 1) != done.end();
      index.m_parts.push_back({name, isDone ? 1 : 0});
      if (isDone) WriteFile(m_dir / name, body);
    }
    ServeEveryPart(m_server);
    ASSERT_EQ(1, index.SaveAs(m_dir / "pkgindex.txt"));
    m_download.ShowInitialState();
  }
  // Every part's body, in blocks of 4 bytes, from `server` (a test's own takes the fixture's place).
  void ServeEveryPart(CScriptedTransport& server) {
    for (size_t i = 0; i < m_bodies.size(); ++i)
      server.Script(kRemote + "p" + std::to_string(i + 1), ScriptedResponse::Ok(m_bodies[i], 4));
  }
  unsigned Run() { return DownloadThreadProc(&m_download); }
  std::string Flags() {
    CPackageIndex onDisk;
    int reason = 0;
    if (!onDisk.Read(m_dir / "pkgindex.txt", reason)) return "unreadable";
    std::string flags;
    for (const CPackagePart& part : onDisk.m_parts) flags += part.m_bDone ? '1' : '0';
    return flags;
  }
  void ExpectFinished() {
    EXPECT_EQ(m_installer, ReadFile(m_dir / "corvane.exe"));
    EXPECT_EQ(m_download.m_index.PartCount() + 1, m_view.overall.Pos());
    EXPECT_TRUE(m_view.installEnabled);
    EXPECT_FALSE(m_view.labelVisible);
    EXPECT_FALSE(m_view.partVisible);
  }

  CTempDir m_dir;
  CScriptedTransport m_server;
  CMemoryDownloadView m_view;
  CPackageDownload m_download{&m_view};
  std::vector<std::string> m_bodies;
  std::string m_installer;
};

TEST_F(DownloadWorkerTest, FetchesEveryPartRecordsItAndJoinsTheInstaller) {
  Prepare(3);
  EXPECT_EQ(0u, Run());
  ExpectFinished();
  EXPECT_EQ("111", Flags());
  EXPECT_EQ((std::vector<std::string>{"p1", "p2", "p3", "Merging Parts"}), m_view.labelHistory);
  EXPECT_EQ((std::vector<std::string>{kRemote + "p1", kRemote + "p2", kRemote + "p3"}), m_server.SortedRequests());
  EXPECT_EQ("server.test", m_server.LastHost());
  EXPECT_TRUE(TakeMessages().empty());
  EXPECT_EQ(nullptr, m_download.m_pWorker.load());
  EXPECT_EQ(1, m_view.workerEndings);  // the dialog offers Download again
}

TEST_F(DownloadWorkerTest, OnlyPartsNotDoneAreFetched) {
  Prepare(5, {1, 3, 5});
  EXPECT_EQ(1, m_view.overall.Pos());
  EXPECT_EQ(0u, Run());
  EXPECT_EQ((std::vector<std::string>{kRemote + "p2", kRemote + "p4"}), m_server.SortedRequests());
  ExpectFinished();
}

TEST_F(DownloadWorkerTest, AllDoneWithACompleteInstallerFetchesNothing) {
  Prepare(2, {1, 2});
  WriteFile(m_dir / "corvane.exe", m_installer);
  EXPECT_EQ(0u, Run());
  EXPECT_TRUE(m_server.Requests().empty());
  EXPECT_TRUE(m_view.labelHistory.empty());
  ExpectFinished();
}

TEST_F(DownloadWorkerTest, AllDoneWithoutAnInstallerJoinsIt) {
  Prepare(2, {1, 2});
  EXPECT_EQ(0u, Run());
  EXPECT_EQ(std::vector<std::string>{"Merging Parts"}, m_view.labelHistory);
  ExpectFinished();
}

TEST_F(DownloadWorkerTest, ShortInstallerIsDeletedAndRebuilt) {
  Prepare(3, {1, 2, 3});
  WriteFile(m_dir / "corvane.exe", "cut");
  EXPECT_EQ(0u, Run());
  ExpectFinished();
}

#ifndef _WIN32  // links made the POSIX way; Windows' reparse points take the same path in the file layer
TEST_F(DownloadWorkerTest, NothingIsWrittenThroughALinkPlantedInTheVersionFolder) {
  Prepare(3);
  CTempDir outside;
  for (const char* name : {"p2", "pkgindex.txt.tmp", "corvane.exe.tmp"}) {
    WriteFile(outside / name, "precious");
    ASSERT_EQ(0, symlink((outside.Path() + "/" + name).c_str(), (m_dir.Path() + "/" + name).c_str()));
  }
  EXPECT_EQ(0u, Run());
  ExpectFinished();
  for (const char* name : {"p2", "pkgindex.txt.tmp", "corvane.exe.tmp"})
    EXPECT_EQ("precious", ReadFile(outside / name)) << name;
  EXPECT_FALSE(IsLink(m_dir / "p2"));
  EXPECT_EQ(m_bodies[1], ReadFile(m_dir / "p2"));
}
#endif

TEST_F(DownloadWorkerTest, AShortInstallerThatCannotBeRemovedIsReportedNeverOffered) {
  Prepare(3, {1, 2, 3});
  ASSERT_TRUE(CreateFolder(m_dir / "corvane.exe"));  // a folder of that name cannot be deleted as a file
  EXPECT_EQ(9u, Run());
  EXPECT_EQ(std::vector<std::string>{"The incomplete installer " + (m_dir / "corvane.exe") +
                                     " cannot be removed. Close any program that uses it, or remove it yourself, "
                                     "and press Download again."},
            TakeMessages());
  EXPECT_FALSE(m_view.installEnabled);
}

TEST_F(DownloadWorkerTest, ServerFailingEveryRequestGivesOneMessageAfterThreeAttempts) {
  Prepare(2);
  CScriptedTransport failing;  // takes the fixture server's place
  failing.Script(kRemote + "p1", ScriptedResponse::Status(500));
  EXPECT_EQ(9u, Run());
  EXPECT_EQ(3, failing.RequestCount(kRemote + "p1"));
  EXPECT_EQ(0, failing.RequestCount(kRemote + "p2"));  // nothing is asked ahead before a part has come in
  EXPECT_EQ(0, failing.UnderWay());
  EXPECT_EQ(std::vector<std::string>{"Failed to connect to the server. Please try later"}, TakeMessages());
  EXPECT_EQ("00", Flags());
  EXPECT_TRUE(m_view.labelVisible);
  EXPECT_FALSE(m_view.installEnabled);
  EXPECT_FALSE(FileExists(m_dir / "corvane.exe"));
}

TEST_F(DownloadWorkerTest, SecondAttemptSucceedsAndIsOnDiskBeforeTheNextPart) {
  Prepare(2);
  CScriptedTransport server;
  ScriptedResponse cut = ScriptedResponse::Ok(m_bodies[0], 4);
  cut.failAfterBlocks = 1;
  server.Script(kRemote + "p1", cut);
  server.Script(kRemote + "p1", ScriptedResponse::Ok(m_bodies[0], 4));
  server.Script(kRemote + "p2", ScriptedResponse::Ok(m_bodies[1], 4));
  std::string flagsWhenPart2Started;
  server.onBlock = [&](const std::string& object, int block) {
    if (object == kRemote + "p2" && block == 1) flagsWhenPart2Started = Flags();
  };
  EXPECT_EQ(0u, Run());
  EXPECT_EQ(2, server.RequestCount(kRemote + "p1"));
  EXPECT_EQ("10", flagsWhenPart2Started);
  EXPECT_TRUE(TakeMessages().empty());
  ExpectFinished();
}

TEST_F(DownloadWorkerTest, TruncatedBodyIsRetriedNeverMarkedDone) {
  Prepare(1);
  CScriptedTransport server;
  ScriptedResponse shortBody = ScriptedResponse::Ok("ABC", 4);
  shortBody.contentLength = 5;
  server.Script(kRemote + "p1", shortBody);
  EXPECT_EQ(9u, Run());
  EXPECT_EQ(3, server.RequestCount(kRemote + "p1"));
  EXPECT_EQ("0", Flags());
  EXPECT_EQ(1u, TakeMessages().size());
}

TEST_F(DownloadWorkerTest, PartOfTheWrongSizeWithoutAnnouncedLengthIsRetried) {
  Prepare(2);
  CScriptedTransport server;
  ScriptedResponse cut = ScriptedResponse::Ok(m_bodies[0].substr(0, 6), 4);
  cut.contentLength = -1;  // the server announced no length, so only the size tells
  server.Script(kRemote + "p1", cut);
  server.Script(kRemote + "p1", ScriptedResponse::Ok(m_bodies[0], 4));
  server.Script(kRemote + "p2", ScriptedResponse::Ok(m_bodies[1], 4));
  EXPECT_EQ(0u, Run());
  EXPECT_EQ(2, server.RequestCount(kRemote + "p1"));
  EXPECT_TRUE(TakeMessages().empty());
  ExpectFinished();

  // Three times too long: the fetch stops as soon as the part runs past its size; one message,
  // nothing recorded.
  m_download.m_index = CPackageIndex();
  m_bodies.clear();
  m_installer.clear();
  RemoveFile(m_dir / "corvane.exe");
  Prepare(2);
  CScriptedTransport tooLong;
  ScriptedResponse longer = ScriptedResponse::Ok(m_bodies[0] + "extra", 4);
  tooLong.Script(kRemote + "p1", longer);
  EXPECT_EQ(9u, Run());
  EXPECT_EQ(std::vector<std::string>{"The download server sent more than expected (over 8 bytes). Please try later"},
            TakeMessages());
  EXPECT_EQ("00", Flags());

  // The last part, whose own size this build does not know, is no longer than the part size
  // either: endless data stops there instead of filling the disk.
  tooLong.Answer(kRemote + "p1", ScriptedResponse::Ok(m_bodies[0], 4));
  tooLong.Answer(kRemote + "p2", ScriptedResponse::Ok(std::string(64 * 1024, 'j'), 4));
  EXPECT_EQ(9u, Run());
  EXPECT_EQ(std::vector<std::string>{"The download server sent more than expected (over 8 bytes). Please try later"},
            TakeMessages());
  EXPECT_EQ("10", Flags());
  EXPECT_LE(FindFileSize(m_dir / "p2"), 8);
}

TEST_F(DownloadWorkerTest, StopBetweenPartsEndsBeforeTheNextPartWithoutAMessage) {
  Prepare(3);
  m_view.overall.onSetPos = [&](int pos) {
    if (pos == 1) m_download.RequestStop();
  };
  EXPECT_EQ(0u, Run());
  // The next parts were asked for ahead, each once unless the stop came before its request
  // went out; nothing of them is written, and their transfers ended.
  EXPECT_EQ(1, m_server.RequestCount(kRemote + "p1"));
  for (const char* name : {"p2", "p3"}) EXPECT_GE(1, m_server.RequestCount(kRemote + name)) << name;
  EXPECT_EQ(static_cast<size_t>(1 + m_server.RequestCount(kRemote + "p2") + m_server.RequestCount(kRemote + "p3")),
            m_server.Requests().size());
  EXPECT_EQ(0, m_server.UnderWay());
  EXPECT_FALSE(FileExists(m_dir / "p2"));
  EXPECT_EQ("100", Flags());
  EXPECT_EQ(std::vector<std::string>{"p1"}, m_view.labelHistory);
  EXPECT_TRUE(TakeMessages().empty());
  EXPECT_FALSE(m_view.installEnabled);
}

TEST_F(DownloadWorkerTest, StopDuringAnAttemptLeavesThePartialPartNotDone) {
  for (int failedAttempts : {0, 1, 2}) {
    m_download.m_index = CPackageIndex();
    m_bodies.clear();
    m_installer.clear();
    Prepare(2);
    CScriptedTransport server;
    for (int i = 0; i < failedAttempts; ++i) server.Script(kRemote + "p1", ScriptedResponse::Status(503));
    server.Script(kRemote + "p1", ScriptedResponse::Ok(m_bodies[0], 4));
    server.onBlock = [&](const std::string&, int) { m_download.RequestStop(); };
    m_view.part.SetRange(0, 100);
    // Stopped during the last attempt, the attempts are used up: the part's error text and
    // " Please try later", as when it fails.
    EXPECT_EQ(failedAttempts < 2 ? 0u : 9u, Run()) << failedAttempts;
    // Stopped during attempt 1 or 2, the next attempt resets the bar before it sees the stop;
    // stopped during the last, the bar stays where the stop left it: one block.
    EXPECT_EQ(failedAttempts < 2 ? 0 : 4, m_view.part.Pos()) << failedAttempts;
    EXPECT_EQ(failedAttempts + 1, server.RequestCount(kRemote + "p1"));
    EXPECT_EQ("00", Flags()) << failedAttempts;
    EXPECT_EQ(m_bodies[0].substr(0, 4), ReadFile(m_dir / "p1")) << failedAttempts;
    if (failedAttempts < 2)
      EXPECT_TRUE(TakeMessages().empty()) << failedAttempts;
    else
      EXPECT_EQ(std::vector<std::string>{"Failed to connect to the server. Please try later"}, TakeMessages());
    m_download.m_bStop = 0;
  }
}

// A long download: once a part has come in, while one part is read the next three are already
// asked for and their bodies read between its blocks, each into its own file; but the parts are
// still shown and recorded one at a time, in order.
TEST_F(DownloadWorkerTest, AsksAheadForThreePartsReadsThemAtOnceButRecordsThemInOrder) {
  Prepare(8, {6});
  std::vector<std::string> flagsAtLabel;
  std::string blocks;
  m_view.onLabel = [&](const std::string& text) { flagsAtLabel.push_back(text + ":" + Flags()); };
  m_server.onBlock = [&](const std::string& object, int block) {
    blocks += object.substr(kRemote.size()) + "." + std::to_string(block) + " ";
  };
  EXPECT_EQ(0u, Run());
  ExpectFinished();
  EXPECT_EQ((std::vector<std::string>{"p1:00000100", "p2:10000100", "p3:11000100", "p4:11100100", "p5:11110100",
                                      "p7:11111100", "p8:11111110", "Merging Parts:11111111"}),
            flagsAtLabel);
  // Each block of the part read is followed by a block of every body asked for ahead.
  EXPECT_EQ(0u, blocks.find("p1.1 p1.2 p2.1 p3.1 p4.1 p5.1 p2.2 p3.2 p4.2 p5.2 p7.1 "));
  std::vector<std::string> each;
  for (const char* name : {"p1", "p2", "p3", "p4", "p5", "p7", "p8"}) each.push_back(kRemote + name);
  EXPECT_EQ(each, m_server.SortedRequests());  // the part done before is not asked for
  EXPECT_EQ(4, m_server.MostUnderWay());       // never more than four at once
  EXPECT_EQ(0, m_server.UnderWay());
}

// A request sent ahead is a hint, never an attempt: p4's, refused while p2 is read, ends the
// other requests ahead there and then, and nothing more is asked ahead in this run; p2's, cut, is
// asked for again at once as p2's own first attempt. A part that then fails three times of its own gives the one message; the parts
// written stay recorded, and the next Download fetches only what is missing.
TEST_F(DownloadWorkerTest, OverlappingTransfersFailEndAndResumeWhereTheyStopped) {
  Prepare(8);
  CScriptedTransport server;
  ServeEveryPart(server);
  ScriptedResponse cut = ScriptedResponse::Ok(m_bodies[1], 4);
  cut.failAfterBlocks = 1;  // p2's request, sent ahead, breaks off mid-body
  server.Answer(kRemote + "p2", cut);
  server.Script(kRemote + "p2", ScriptedResponse::Ok(m_bodies[1], 4));
  server.Answer(kRemote + "p4", ScriptedResponse::Status(500));
  m_view.onLabel = [&](const std::string& text) { server.Note("label " + text); };
  EXPECT_EQ(9u, Run());
  EXPECT_EQ(std::vector<std::string>{"Failed to connect to the server. Please try later"}, TakeMessages());
  EXPECT_EQ("11100000", Flags());
  EXPECT_EQ((std::vector<std::string>{
                "label p1", "send p1", "answer p1", "close p1",
                "send p2",  // on p1's connection as its body ends
                "label p2", "send p3", "send p4", "send p5", "answer p2", "answer p3",
                "answer p4", "end p5", "close p4", "close p3",  // p4 refused: the hints end
                "close p2",                                     // cut
                "send p2", "answer p2", "close p2",             // p2's attempt 1
                "label p3", "send p3", "answer p3", "close p3",                       // one at a time
                "label p4", "send p4", "answer p4", "close p4", "send p4", "answer p4", "close p4", "send p4",
                "answer p4", "close p4"}),
            server.Events());
  EXPECT_FALSE(FileExists(m_dir / "p5"));
  EXPECT_FALSE(m_view.installEnabled);

  // Download again, the server mended: only the parts not recorded are fetched, each once.
  CScriptedTransport mended;
  ServeEveryPart(mended);
  EXPECT_EQ(0u, Run());
  std::vector<std::string> missing;
  for (const char* name : {"p4", "p5", "p6", "p7", "p8"}) missing.push_back(kRemote + name);
  EXPECT_EQ(missing, mended.SortedRequests());
  EXPECT_TRUE(TakeMessages().empty());
  ExpectFinished();
}

// Servers as they are: a mirror that allows each client two requests at a time (503 beyond them),
// and one behind a firewall that never answers a connection beyond its limit. A request ahead the
// server refuses costs nothing but itself: the download finishes with no failed attempt and no
// message, and asks one part at a time from then on.
TEST_F(DownloadWorkerTest, ServersThatLimitEachClientAreAskedOnePartAtATimeAfterTheFirstRefusal) {
  for (bool firewall : {false, true}) {
    m_download.m_index = CPackageIndex();
    m_bodies.clear();
    m_installer.clear();
    RemoveFile(m_dir / "corvane.exe");
    Prepare(5);
    CScriptedTransport mirror;
    ServeEveryPart(mirror);
    mirror.perClientLimit = 2;
    mirror.dropBeyondLimit = firewall;
    m_view.onLabel = [&](const std::string& text) { mirror.Note("label " + text); };
    EXPECT_EQ(0u, Run()) << firewall;
    ExpectFinished();
    EXPECT_TRUE(TakeMessages().empty()) << firewall;
    const std::vector<std::string> start = {"label p1", "send p1", "answer p1", "close p1", "send p2",
                                            "label p2", "send p3"};
    const std::vector<std::string> rest =
        firewall ? std::vector<std::string>{"send-failed p4", "end p3", "answer p2", "close p2"}
                 : std::vector<std::string>{"send p4", "send p5", "answer p2", "answer p3",
                                            "answer p4", "end p5", "close p4", "close p3",  // refused: 503
                                            "close p2"};
    std::vector<std::string> expected = start;
    expected.insert(expected.end(), rest.begin(), rest.end());
    for (const char* name : {"p3", "p4", "p5"})
      for (const char* event : {"label ", "send ", "answer ", "close "}) expected.push_back(event + std::string(name));
    expected.push_back("label Merging Parts");
    EXPECT_EQ(expected, mirror.Events()) << firewall;
  }
}

// How far ahead the worker asks follows the line: at the rate delivered so far no answer waits
// unread much longer than ten seconds; and never on more connections than the client keeps.
TEST_F(DownloadWorkerTest, AsksAheadOnlyAsFarAsTheLineWillSoonReach) {
  Prepare(8);
  long long now = 0;
  m_download.m_clockMs = [&] { return now; };
  m_server.onBlock = [&](const std::string&, int) { now += 2000; };  // 2 bytes a second: 20 in ten seconds
  EXPECT_EQ(0u, Run());
  ExpectFinished();
  EXPECT_EQ(3, m_server.MostUnderWay());  // the part read and two 8-byte parts ahead

  m_download.m_index = CPackageIndex();
  m_bodies.clear();
  m_installer.clear();
  RemoveFile(m_dir / "corvane.exe");
  Prepare(8);
  CScriptedTransport two;
  ServeEveryPart(two);
  two.clientLimit = 2;  // the platform's client keeps two connections to a server
  EXPECT_EQ(0u, Run());
  ExpectFinished();
  EXPECT_EQ(2, two.MostUnderWay());
}

// Parts asked ahead while which the line delivers less than it did for a part asked at its turn
// end the asking ahead for the run, with no attempt, pause or message. The first four in a row
// (p2 to p5, as many as are out at once) open their connections and are not weighed; then p7's
// connection is slow, and p6 to p9, read with it, come at a fraction of p1's pace: as the fourth of
// them ends, the requests still out end, the furthest first; the parts whole in their files are
// kept, and the rest is asked for one part at a time.
TEST_F(DownloadWorkerTest, AHintThatCostsTimeEndsTheAskingAhead) {
  Prepare(12);
  long long now = 0;
  m_download.m_clockMs = [&] { return now; };
  m_server.onBlock = [&](const std::string& object, int) { now += object == kRemote + "p7" ? 500 : 10; };
  m_view.onLabel = [&](const std::string& text) { m_server.Note("label " + text); };
  EXPECT_EQ(0u, Run());
  ExpectFinished();
  EXPECT_TRUE(TakeMessages().empty());
  const std::vector<std::string> events = m_server.Events();
  const auto closeP6 = std::find(events.begin(), events.end(), "close p6");
  ASSERT_NE(events.end(), closeP6);
  std::vector<std::string> expected = {"send p10", "label p7", "send p11", "label p8", "send p12",
                                       "label p9", "end p12",  "end p11",   "end p10"};
  for (const char* name : {"p10", "p11", "p12"})
    for (const char* what : {"label ", "send ", "answer ", "close "}) expected.push_back(what + std::string(name));
  expected.push_back("label Merging Parts");
  EXPECT_EQ(expected, std::vector<std::string>(closeP6 + 1, events.end()));
  EXPECT_EQ(4, m_server.MostUnderWay());

  // The first four parts asked ahead are not weighed: slow as new connections' first round trips
  // are, they do not end the asking ahead, which goes on to the last part.
  m_download.m_index = CPackageIndex();
  m_bodies.clear();
  m_installer.clear();
  RemoveFile(m_dir / "corvane.exe");
  Prepare(12);
  CScriptedTransport server;
  ServeEveryPart(server);
  m_download.m_clockMs = [&] { return now; };
  const std::set<std::string> cold = {kRemote + "p2", kRemote + "p3", kRemote + "p4", kRemote + "p5"};
  server.onBlock = [&](const std::string& object, int) { now += cold.count(object) ? 500 : 10; };
  m_view.onLabel = [&](const std::string& text) { server.Note("label " + text); };
  EXPECT_EQ(0u, Run());
  ExpectFinished();
  const std::vector<std::string> again = server.Events();
  const auto at = [&](const std::string& event) { return std::find(again.begin(), again.end(), event); };
  EXPECT_LT(at("send p12"), at("label p11"));
  EXPECT_EQ(again.end(), std::find_if(again.begin(), again.end(), [](const std::string& e) { return e.rfind("end ", 0) == 0; }));
}

// An answer asked ahead is waited for only once it can have come: here p1's answer took a round
// trip of 100 ms and each block takes 10 ms, so the requests sent as p2 is reached (two blocks)
// are not answered before p2 is written. Taking them at once would hold the worker a round trip each,
// once a part, with the part it reads waiting. Their parts then come as any hint's would.
TEST_F(DownloadWorkerTest, AnAnswerAskedAheadIsWaitedForOnlyOnceItCanHaveCome) {
  Prepare(6);
  long long now = 0;
  m_download.m_clockMs = [&] { return now; };
  m_server.onAnswer = [&](const std::string& object) { now += object == kRemote + "p1" ? 100 : 0; };
  m_server.onBlock = [&](const std::string&, int) { now += 10; };
  m_view.onLabel = [&](const std::string& text) { m_server.Note("label " + text); };
  EXPECT_EQ(0u, Run());
  ExpectFinished();
  EXPECT_TRUE(TakeMessages().empty());
  const std::vector<std::string> events = m_server.Events();
  const auto at = [&](const std::string& event) { return std::find(events.begin(), events.end(), event); };
  ASSERT_LT(at("send p3"), at("label p3"));     // asked ahead while p2 was read...
  EXPECT_LT(at("close p2"), at("answer p3"));   // ...and answered only after it
  EXPECT_EQ(1, m_server.RequestCount(kRemote + "p3"));
  EXPECT_EQ(4, m_server.MostUnderWay());
}

// A part whose whole announced body came, but short of the part size: its connection went to the
// request for a later part as the body ended, so that request is ended to give the part's next
// attempt a connection; never more than four at once, and the download completes.
TEST_F(DownloadWorkerTest, PartFailingAfterItsConnectionWentOnGetsOneBackForItsNextAttempt) {
  Prepare(8);
  CScriptedTransport server;
  ServeEveryPart(server);
  server.Answer(kRemote + "p3", ScriptedResponse::Ok(m_bodies[2].substr(0, 6), 4));
  server.Script(kRemote + "p3", ScriptedResponse::Ok(m_bodies[2], 4));
  EXPECT_EQ(0u, Run());
  ExpectFinished();
  EXPECT_TRUE(TakeMessages().empty());
  EXPECT_EQ(2, server.RequestCount(kRemote + "p3"));
  EXPECT_LE(server.MostUnderWay(), 4);
  EXPECT_EQ(0, server.UnderWay());
  // The part's own request comes whole but short twice, its connection handed on each
  // time: the furthest request ahead ends, so p2, asked for first, is asked for once.
  m_download.m_index = CPackageIndex();
  m_bodies.clear();
  m_installer.clear();
  RemoveFile(m_dir / "corvane.exe");
  Prepare(8);
  CScriptedTransport again;
  ServeEveryPart(again);
  again.Answer(kRemote + "p1", ScriptedResponse::Ok(m_bodies[0].substr(0, 6), 4));
  again.Script(kRemote + "p1", ScriptedResponse::Ok(m_bodies[0].substr(0, 6), 4));
  again.Script(kRemote + "p1", ScriptedResponse::Ok(m_bodies[0], 4));
  EXPECT_EQ(0u, Run());
  ExpectFinished();
  EXPECT_TRUE(TakeMessages().empty());
  EXPECT_EQ(3, again.RequestCount(kRemote + "p1"));
  EXPECT_EQ(1, again.RequestCount(kRemote + "p2"));
  EXPECT_LE(again.MostUnderWay(), 4);
}

// Stop with four transfers in flight — the part being read and three asked for ahead, all
// waiting on a silent server — ends every one of them, and the worker, without a message.
TEST_F(DownloadWorkerTest, StopEndsFourTransfersInFlight) {
  Prepare(6);
  CScriptedTransport silent;
  silent.Script(kRemote + "p1", ScriptedResponse::Ok(m_bodies[0], 4));
  ScriptedResponse stalled = ScriptedResponse::Ok(m_bodies[1], 4);
  stalled.stallAfterBlocks = 1;
  silent.Script(kRemote + "p2", stalled);
  ScriptedResponse noHeaders;
  noHeaders.stallAtConnect = 1;
  for (const char* name : {"p3", "p4", "p5", "p6"}) silent.Script(kRemote + name, noHeaders);
  const auto within = [](int milliseconds, const std::function<bool()>& done) {
    for (int waited = 0; waited < milliseconds / 50 && !done(); ++waited)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return done();
  };
  m_download.m_nRetryPauseMs = 3000;  // the pause after a failed attempt
  ASSERT_TRUE(m_download.StartWorker());
  // Once p1 is in, the worker reads p2 with the next three asked for ahead, and stalls in its body.
  ASSERT_TRUE(silent.WaitForStalled(1));
  EXPECT_EQ(4, silent.UnderWay());
  m_download.RequestStop();
  // All four end at once; a stalled request that Stop missed would hold on for a minute.
  EXPECT_TRUE(within(2000, [&] { return silent.UnderWay() == 0; }));
  EXPECT_TRUE(within(10000, [&] { return !m_download.IsWorkerRunning(); }));
  m_download.StopAndWaitForWorker();
  EXPECT_EQ(4, silent.MostUnderWay());
  EXPECT_EQ("100000", Flags());
  EXPECT_TRUE(TakeMessages().empty());
  EXPECT_FALSE(m_view.installEnabled);

  // Download again. p2 comes with no announced length, so p3 is asked for at its turn; p3 fails,
  // and the user stops during the pause before its next attempt: the three requests ahead end
  // then, not when the pause does.
  ScriptedResponse noLength = ScriptedResponse::Ok(m_bodies[1], 4);
  noLength.contentLength = -1;
  silent.Answer(kRemote + "p2", noLength);
  silent.Answer(kRemote + "p3", ScriptedResponse::Status(500));
  ASSERT_TRUE(m_download.StartWorker());
  ASSERT_TRUE(within(10000, [&] { return silent.RequestCount(kRemote + "p3") == 2 && silent.UnderWay() == 3; }));
  m_download.RequestStop();
  EXPECT_TRUE(within(2000, [&] { return silent.UnderWay() == 0; }));
  m_download.StopAndWaitForWorker();
  EXPECT_TRUE(TakeMessages().empty());
}

// A failed hint leaves its part all three attempts of its own.
TEST_F(DownloadWorkerTest, AFailedHintLeavesThePartThreeAttemptsOfItsOwn) {
  Prepare(3);
  CScriptedTransport server;
  ServeEveryPart(server);
  ScriptedResponse cut = ScriptedResponse::Ok(m_bodies[1], 4);
  cut.failAfterBlocks = 1;
  server.Answer(kRemote + "p2", cut);                                   // the hint, sent on p1's connection
  server.Script(kRemote + "p2", ScriptedResponse::Status(500));         // p2's attempt 1
  server.Script(kRemote + "p2", ScriptedResponse::Status(500));         // attempt 2
  server.Script(kRemote + "p2", ScriptedResponse::Ok(m_bodies[1], 4));  // attempt 3
  EXPECT_EQ(0u, Run());
  EXPECT_TRUE(TakeMessages().empty());
  EXPECT_EQ(4, server.RequestCount(kRemote + "p2"));
  ExpectFinished();
}

// p1 comes without a length, so p2 is asked for at its turn: its own request goes out
// before the requests ahead; p2 then fails three times, and none of them is out while the
// message shows.
TEST_F(DownloadWorkerTest, APartAskedAtItsTurnGoesFirstAndNothingIsOutDuringItsMessage) {
  Prepare(5);
  CScriptedTransport server;
  ServeEveryPart(server);
  ScriptedResponse noLength = ScriptedResponse::Ok(m_bodies[0], 4);
  noLength.contentLength = -1;
  server.Answer(kRemote + "p1", noLength);
  server.Answer(kRemote + "p2", ScriptedResponse::Status(500));
  int underWayAtMessage = -1;
  OnMessage([&] { underWayAtMessage = server.UnderWay(); });
  EXPECT_EQ(9u, Run());
  OnMessage(nullptr);
  EXPECT_EQ(std::vector<std::string>{"Failed to connect to the server. Please try later"}, TakeMessages());
  EXPECT_EQ(0, underWayAtMessage);
  const std::vector<std::string> events = server.Events();
  ASSERT_LE(5u, events.size());
  EXPECT_EQ((std::vector<std::string>{"send p1", "answer p1", "close p1", "send p2", "send p3"}),
            std::vector<std::string>(events.begin(), events.begin() + 5));
}

TEST_F(DownloadWorkerTest, FailedJoinDeletesTheInstallerAndClearsTheBadPart) {
  Prepare(3, {1, 2, 3});
  WriteFile(m_dir / "p2", "short");
  EXPECT_EQ(9u, Run());
  EXPECT_EQ(std::vector<std::string>{"Incorrect size: " + (m_dir / "p2")}, TakeMessages());
  EXPECT_FALSE(FileExists(m_dir / "corvane.exe"));
  EXPECT_EQ("101", Flags());
  EXPECT_FALSE(m_view.installEnabled);

  // The next Download fetches the part again and the join succeeds.
  EXPECT_EQ(0u, Run());
  EXPECT_EQ(std::vector<std::string>{kRemote + "p2"}, m_server.Requests());
  ExpectFinished();
}

TEST_F(DownloadWorkerTest, SecondStartIsRefusedWhileTheFirstWorkerPauses) {
  Prepare(1);
  CScriptedTransport failing;
  failing.Script(kRemote + "p1", ScriptedResponse::Status(500));
  m_download.m_nRetryPauseMs = 200;
  ASSERT_TRUE(m_download.StartWorker());
  while (failing.RequestCount(kRemote + "p1") == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  m_download.RequestStop();  // the worker is now in its pause, about to notice the stop
  EXPECT_FALSE(m_download.StartWorker());
  EXPECT_EQ(1, m_download.m_bStop.load());  // the refused start did not clear the stop request
  m_download.StopAndWaitForWorker();
  EXPECT_FALSE(m_download.IsWorkerRunning());
  EXPECT_EQ(1, failing.RequestCount(kRemote + "p1"));
  EXPECT_TRUE(TakeMessages().empty());

  // Once it has ended, Download works again and starts from the first part not done.
  m_download.m_nRetryPauseMs = 0;
  CScriptedTransport good;
  good.Script(kRemote + "p1", ScriptedResponse::Ok(m_bodies[0], 4));
  ASSERT_TRUE(m_download.StartWorker());
  while (m_download.IsWorkerRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  m_download.StopAndWaitForWorker();
  ExpectFinished();
}

// The dialog offers Download again on the worker's last word. Said only once the worker has let
// go, it needs no wait on the dialog's thread; one that arrives after Download started a newer
// worker finds that one running and offers nothing.
TEST_F(DownloadWorkerTest, AWorkersLastWordComesOnlyOnceItHasLetGo) {
  Prepare(2);
  std::mutex lock;
  std::vector<bool> runningAtLastWord;
  m_view.onLastWord = [&] {
    std::lock_guard<std::mutex> hold(lock);
    runningAtLastWord.push_back(m_download.IsWorkerRunning());
  };
  CScriptedTransport server;
  server.Script(kRemote + "p1", ScriptedResponse::Status(500));
  ASSERT_TRUE(m_download.StartWorker());
  while (m_download.IsWorkerRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(1u, TakeMessages().size());

  // Download pressed before the dialog heard the first worker's word: a second worker runs.
  std::atomic<bool> release{false};
  server.Answer(kRemote + "p1", ScriptedResponse::Ok(m_bodies[0], 4));
  server.Answer(kRemote + "p2", ScriptedResponse::Ok(m_bodies[1], 4));
  server.onBlock = [&](const std::string&, int) {
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  ASSERT_TRUE(m_download.StartWorker());
  EXPECT_TRUE(m_download.IsWorkerRunning());  // what the dialog sees as the first word arrives
  release = true;
  while (m_download.IsWorkerRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  m_download.StopAndWaitForWorker();
  ExpectFinished();
  std::lock_guard<std::mutex> hold(lock);
  EXPECT_EQ((std::vector<bool>{false, false}), runningAtLastWord);
}

TEST_F(DownloadWorkerTest, ShutdownWhileAWorkerRunsWaitsForItAndKeepsTheIndexWhole) {
  Prepare(6);
  m_server.onBlock = [](const std::string&, int) { std::this_thread::sleep_for(std::chrono::milliseconds(5)); };
  ASSERT_TRUE(m_download.StartWorker());
  while (m_server.Requests().size() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  m_download.StopAndWaitForWorker();
  EXPECT_FALSE(m_download.IsWorkerRunning());
  const std::string flags = Flags();
  EXPECT_NE("unreadable", flags);
  EXPECT_NE("111111", flags);
  EXPECT_TRUE(TakeMessages().empty());
}

// The dialog's first look, as the user sees it when the program starts.
TEST_F(DownloadWorkerTest, FirstLookShowsTheFirstPartNotDoneAndAFullBarForACompleteInstaller) {
  Prepare(5, {2, 3, 4, 5});  // all but the first: the bar shows where the download starts
  EXPECT_EQ(0, m_view.overall.Pos());
  m_download.m_index = CPackageIndex();
  m_bodies.clear();
  m_installer.clear();

  Prepare(5, {1, 2, 3});
  EXPECT_EQ(3, m_view.overall.Pos());
  EXPECT_EQ(6, m_view.overall.Upper());
  EXPECT_EQ(1, m_view.overall.Step());
  EXPECT_EQ(0, m_view.part.Upper());  // 8-byte parts: 8 / 1024 units
  EXPECT_FALSE(m_view.installEnabled);
  EXPECT_FALSE(m_view.labelVisible);
  EXPECT_FALSE(m_view.partVisible);

  WriteFile(m_dir / "corvane.exe", m_installer);
  m_download.ShowInitialState();
  EXPECT_TRUE(m_view.installEnabled);
  EXPECT_EQ(6, m_view.overall.Pos());

  WriteFile(m_dir / "corvane.exe", "short");
  m_download.ShowInitialState();
  EXPECT_FALSE(m_view.installEnabled);
  EXPECT_FALSE(FileExists(m_dir / "corvane.exe"));
}

TEST_F(DownloadWorkerTest, FirstLookPassesRangesAs16BitValues) {
  m_download.m_strDirectory = m_dir.Path();
  m_download.m_index.m_nPartSize = 70000 * 1024;
  m_download.m_index.m_parts.resize(65535);
  m_download.ShowInitialState();
  EXPECT_EQ(0, m_view.overall.Upper());  // 65536 wraps to 0
  EXPECT_EQ(70000 - 65536, m_view.part.Upper());
}

}  // namespace
