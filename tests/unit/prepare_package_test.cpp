#include <gtest/gtest.h>

#include <cstring>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#endif

#include "app/directory_chain.h"
#include "common/constants.h"
#include "common/file_system.h"
#include "support/memory_view.h"
#include "support/message_recorder.h"
#include "support/scripted_transport.h"
#include "support/temp_dir.h"
#include "transfer/http_fetch.h"
#include "transfer/package_download.h"

namespace {

const std::string kIndexObject = "/download/brisko/pkgindex.txt";

#ifndef _WIN32
// While it lives, every file this process writes is full after its first byte: writes past
// that fail as on a full disk (EFBIG, with the signal that would end the process ignored).
class CFullDisk {
 public:
  CFullDisk() {
    getrlimit(RLIMIT_FSIZE, &m_saved);
    m_signal = signal(SIGXFSZ, SIG_IGN);
    rlimit limit = m_saved;
    limit.rlim_cur = 1;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~CFullDisk() {
    setrlimit(RLIMIT_FSIZE, &m_saved);
    signal(SIGXFSZ, m_signal);
  }

 private:
  rlimit m_saved{};
  void (*m_signal)(int) = nullptr;
};
#endif

class PreparePackageTest : public ::testing::Test {
 protected:
  PreparePackageTest() { TakeMessages(); }
  int Prepare() { return m_download.PreparePackageFrom(m_home.Path() + kNativeSeparator + "trelkin.exe"); }
  void ServeIndex(const std::string& text) { m_server.Script(kIndexObject, ScriptedResponse::Ok(text)); }

  CTempDir m_home;
  CScriptedTransport m_server;
  CMemoryDownloadView m_view;
  CPackageDownload m_download{&m_view};
  const std::string m_index71 = IndexText({"1", "7.1", "2", "512", "a.bin", "0", "b.bin", "1"});
};

TEST_F(PreparePackageTest, FirstRunCreatesTheVersionFolderAndItsResumeIndex) {
  ServeIndex(m_index71);
  ASSERT_EQ(1, Prepare());
  EXPECT_TRUE(TakeMessages().empty());
  EXPECT_EQ(kServerHost, m_download.m_strServer);
  EXPECT_EQ(kServerHost, m_server.LastHost());
  EXPECT_EQ("7.1", m_download.m_strVersion);
  EXPECT_EQ(m_home / "7.1", m_download.m_strDirectory);
  EXPECT_EQ(m_index71, ReadText(m_home / "pkgindex.txt"));
  // The server's done flags say nothing about this disk: the new resume index has none set, so a
  // hostile index cannot have parts skipped.
  EXPECT_EQ(IndexText({"1", "7.1", "2", "512", "a.bin", "0", "b.bin", "0"}), ReadText(m_home / "7.1\\pkgindex.txt"));
  EXPECT_EQ(m_home / "7.1\\pkgindex.txt", m_download.m_index.m_strPath);
  EXPECT_EQ(0, m_download.m_index.m_parts[1].m_bDone);
  EXPECT_FALSE(FileExists(m_home / "pkgindex.txt.tmp"));
}

TEST_F(PreparePackageTest, SlashInTheProgramPathEndsTheHomeDirectory) {
  ServeIndex(m_index71);
  ASSERT_EQ(1, m_download.PreparePackageFrom(m_home.Path() + "/trelkin.exe"));
  EXPECT_EQ(m_home / "7.1", m_download.m_strDirectory);
}

TEST_F(PreparePackageTest, ProgramPathWithoutSeparatorHasNoHome) {
  EXPECT_EQ(0, m_download.PreparePackageFrom("trelkin.exe"));
  EXPECT_EQ(std::vector<std::string>{"Cannot find home directory"}, TakeMessages());
  EXPECT_TRUE(m_server.Requests().empty());
}

TEST_F(PreparePackageTest, SecondRunKeepsTheResumeFlagsOverTheServers) {
  ServeIndex(m_index71);
  ASSERT_EQ(1, Prepare());
  WriteFile(m_home / "7.1\\pkgindex.txt", IndexText({"1", "7.1", "2", "512", "a.bin", "1", "b.bin", "0"}));

  CPackageDownload second(&m_view);
  ASSERT_EQ(1, second.PreparePackageFrom(m_home.Path() + kNativeSeparator + "trelkin.exe"));
  EXPECT_EQ(1, second.m_index.m_parts[0].m_bDone);
  EXPECT_EQ(0, second.m_index.m_parts[1].m_bDone);
}

TEST_F(PreparePackageTest, UnreachableServerFallsBackOnTheEarlierCopy) {
  WriteFile(m_home / "pkgindex.txt", m_index71);
  m_server.Script(kIndexObject, ScriptedResponse::Unreachable("Host not found"));
  ASSERT_EQ(1, Prepare());
  EXPECT_TRUE(TakeMessages().empty());
  EXPECT_EQ("7.1", m_download.m_strVersion);
}

TEST_F(PreparePackageTest, UnreachableServerWithoutACopyShowsTheFetchError) {
  m_server.Script(kIndexObject, ScriptedResponse::Unreachable("Host not found"));
  EXPECT_EQ(0, Prepare());
  EXPECT_EQ(std::vector<std::string>{"Host not found"}, TakeMessages());
}

TEST_F(PreparePackageTest, AHomeThatCannotTakeTheIndexNamesTheIndexItself) {
  ServeIndex(m_index71);
  ASSERT_TRUE(CreateFolder(m_home / "pkgindex.txt.tmp"));  // as unwritable as a read-only folder, even for root
  EXPECT_EQ(0, Prepare());
  EXPECT_EQ(std::vector<std::string>{"Cannot create file: " + (m_home / "pkgindex.txt")}, TakeMessages());
  ASSERT_TRUE(RemoveFolder(m_home / "pkgindex.txt.tmp"));
#ifndef _WIN32
  {  // A full disk: the file is created, its first write fails.
    CFullDisk full;
    EXPECT_EQ(0, Prepare());
  }
  EXPECT_EQ(std::vector<std::string>{"Failed to write to file: " + (m_home / "pkgindex.txt")}, TakeMessages());
  EXPECT_FALSE(FileExists(m_home / "pkgindex.txt.tmp"));
#endif
}

TEST_F(PreparePackageTest, FetchCutMidBodyKeepsTheEarlierCopy) {
  WriteFile(m_home / "pkgindex.txt", m_index71);
  ScriptedResponse cut = ScriptedResponse::Ok("1\n9.9\n", 3);
  cut.failAfterBlocks = 1;
  m_server.Script(kIndexObject, cut);
  ASSERT_EQ(1, Prepare());
  EXPECT_EQ(m_index71, ReadText(m_home / "pkgindex.txt"));
  EXPECT_FALSE(FileExists(m_home / "pkgindex.txt.tmp"));
}

TEST_F(PreparePackageTest, IndexReadFailuresAreReportedByReason) {
  struct Case {
    std::string served;
    bool fetchFails;
    std::string earlierCopy;
    std::string message;
  };
  const std::string fileError = "File error: " + (m_home / "pkgindex.txt");
  const std::vector<Case> cases = {
      {"2\nnext\n", false, "", "Your Corvane Brisko Download program is not compatible with the current release. "
                               "Please download the newer version from " + std::string(kVendorWebSite) +
                               " and try again. Thank you."},
      {"1\n7.1\n3\n512\n", false, "", fileError},
      {"", true, "1\n7.1\nnot a count\n", "Host not found"},
      {"1\n\n0\n512\n", false, "", "Product version not specified"},
      {"1\n..\n0\n512\n", false, "", fileError},
  };
  for (const Case& c : cases) {
    CTempDir home;
    CScriptedTransport server;
    if (c.fetchFails)
      server.Script(kIndexObject, ScriptedResponse::Unreachable("Host not found"));
    else
      server.Script(kIndexObject, ScriptedResponse::Ok(c.served));
    if (!c.earlierCopy.empty()) WriteFile(home / "pkgindex.txt", c.earlierCopy);
    CPackageDownload download(&m_view);
    EXPECT_EQ(0, download.PreparePackageFrom(home.Path() + kNativeSeparator + "trelkin.exe")) << c.served;
    std::string expected = c.message;
    if (expected == fileError) expected = "File error: " + (home / "pkgindex.txt");
    EXPECT_EQ(std::vector<std::string>{expected}, TakeMessages()) << c.served;
  }
}

TEST_F(PreparePackageTest, BrokenOrNewerResumeIndexIsInternalError3AndKept) {
  ServeIndex(m_index71);
  CreateDirectoryChain(m_home / "7.1\\");
  for (const std::string& resume : {std::string("1\n7.1\n2\n512\n"), std::string("2\n7.1\n0\n512\n")}) {
    WriteFile(m_home / "7.1\\pkgindex.txt", resume);
    EXPECT_EQ(0, Prepare());
    EXPECT_EQ(std::vector<std::string>{"Internal error 3"}, TakeMessages());
    EXPECT_EQ(resume, ReadFile(m_home / "7.1\\pkgindex.txt"));  // never replaced by the server's copy
  }
}

#ifndef _WIN32
TEST_F(PreparePackageTest, AVersionFolderThatIsALinkIsRefused) {
  ServeIndex(m_index71);
  CTempDir elsewhere;
  ASSERT_EQ(0, symlink(elsewhere.Path().c_str(), (m_home.Path() + "/7.1").c_str()));
  EXPECT_EQ(0, Prepare());
  EXPECT_EQ(std::vector<std::string>{"The download folder " + (m_home / "7.1") +
                                     " is a link to another place. Remove it and try again."},
            TakeMessages());
  EXPECT_FALSE(FileExists(elsewhere / "pkgindex.txt"));
}
#endif

TEST_F(PreparePackageTest, UnwritableResumeIndexFailsWithoutAMessageOfItsOwn) {
  // A file stands where the version folder should be: nothing can be created inside it.
  ServeIndex(m_index71);
  WriteFile(m_home / "7.1", "in the way");
  EXPECT_EQ(0, Prepare());
  EXPECT_TRUE(TakeMessages().empty());
}

TEST(CreateDirectoryChainTest, NeverTriesToCreateADriveOrANetworkServerAndShare) {
  using List = std::vector<std::string>;
  EXPECT_EQ((List{"C:\\a", "C:\\a\\b"}), FolderPrefixes("C:\\a\\b\\"));
  EXPECT_EQ((List{"\\a"}), FolderPrefixes("\\a\\"));
  EXPECT_EQ((List{"\\\\server\\share\\home", "\\\\server\\share\\home\\7.1"}),
            FolderPrefixes("\\\\server\\share\\home\\7.1\\"));
  EXPECT_EQ((List{}), FolderPrefixes("\\\\server\\share"));
}

#ifdef _WIN32
TEST(CreateDirectoryChainTest, SystemTextsWithInsertsAreShownAsTheyStand) {
  SetLastError(ERROR_BAD_EXE_FORMAT);  // "%1 is not a valid Win32 application."
  EXPECT_NE(nullptr, strstr(GetLastErrorText(), "%1")) << GetLastErrorText();
}
#endif

TEST(CreateDirectoryChainTest, CreatesEachMissingFolderAndStopsAtTheFirstFailure) {
  CTempDir dir;
  TakeMessages();
  CreateDirectoryChain(dir / "a\\b\\c\\");
  EXPECT_TRUE(FileExists(dir / "a\\b\\c"));
  EXPECT_TRUE(TakeMessages().empty());

  CreateDirectoryChain(dir / "a\\tail");  // the last folder is made only when a separator follows
  EXPECT_FALSE(FileExists(dir / "a\\tail"));

  // The message is the system's text for the failed creation, not for a query made after it.
  WriteFile(dir / "file", "x");
  ASSERT_FALSE(CreateFolder(dir / "file\\sub"));
  const std::string creationError = GetLastErrorText();
  CreateDirectoryChain(dir / "file\\sub\\deeper\\");
  EXPECT_FALSE(FileExists(dir / "file\\sub"));
  EXPECT_EQ(std::vector<std::string>{creationError}, TakeMessages());
#ifndef _WIN32
  // A link to nowhere: the creation says the name is taken, a query after it finds nothing.
  ASSERT_EQ(0, symlink("/nonexistent-target", (dir.Path() + "/dangling").c_str()));
  CreateDirectoryChain(dir / "dangling\\");
  EXPECT_EQ(std::vector<std::string>{std::string(strerror(EEXIST)) + "\n"}, TakeMessages());
#endif
}

// Start-up's fetches have a deadline before the window exists: a server that trickles, or one
// that sends steadily but for too long, counts as unreachable and the earlier copy serves.
TEST_F(PreparePackageTest, ATricklingOrEndlessIndexEndsStartUpAtItsDeadline) {
  long long now = 0;
  int blocks = 0;
  m_download.m_startupClockMs = [&now] { return now; };
  WriteFile(m_home / "pkgindex.txt", m_index71);
  // Ten bytes every five seconds.
  m_server.Answer(kIndexObject, ScriptedResponse::Ok(std::string(2000, 'x'), 10));
  m_server.onBlock = [&](const std::string&, int) {
    ++blocks;
    now += 5000;
  };
  ASSERT_EQ(1, Prepare());
  EXPECT_TRUE(TakeMessages().empty());
  EXPECT_LE(now, kStartupGraceMs + 5000);
  EXPECT_EQ(m_index71, ReadText(m_home / "pkgindex.txt"));
  EXPECT_FALSE(FileExists(m_home / "pkgindex.txt.tmp"));

  // A small index that drips in whole within the time is taken, however slowly it came.
  now = 0;
  m_server.Answer(kIndexObject, ScriptedResponse::Ok(m_index71, 1000));
  m_server.onBlock = [&](const std::string&, int) { now += 60000; };
  WriteFile(m_home / "pkgindex.txt", "earlier");
  CPackageDownload slow(&m_view);
  slow.m_startupClockMs = [&now] { return now; };
  ASSERT_EQ(1, slow.PreparePackageFrom(m_home.Path() + kNativeSeparator + "trelkin.exe"));
  EXPECT_EQ(m_index71, ReadText(m_home / "pkgindex.txt"));

  // 4 KiB a second is fast enough, but not for ever: the whole deadline ends it.
  now = 0;
  blocks = 0;
  m_server.Answer(kIndexObject, ScriptedResponse::Ok(std::string(400 * 4096, 'x')));
  m_server.onBlock = [&](const std::string&, int) {
    ++blocks;
    now += 1000;
  };
  CPackageDownload again(&m_view);
  again.m_startupClockMs = [&now] { return now; };
  RemoveFile(m_home / "pkgindex.txt");
  EXPECT_EQ(0, again.PreparePackageFrom(m_home.Path() + kNativeSeparator + "trelkin.exe"));
  EXPECT_EQ(std::vector<std::string>{"The download server is too slow to answer."}, TakeMessages());
  EXPECT_LE(blocks, kStartupFetchMs / 1000 + 1);
  EXPECT_FALSE(FileExists(m_home / "pkgindex.txt.tmp"));

  // Endless and fast, its length not announced: the index's size limit ends it, and the earlier
  // copy serves.
  WriteFile(m_home / "pkgindex.txt", m_index71);
  m_server.onBlock = nullptr;
  ScriptedResponse endless = ScriptedResponse::Ok(std::string(kMaxIndexBytes + 4096, 'x'));
  endless.contentLength = -1;
  m_server.Answer(kIndexObject, endless);
  CPackageDownload fast(&m_view);
  ASSERT_EQ(1, fast.PreparePackageFrom(m_home.Path() + kNativeSeparator + "trelkin.exe"));
  EXPECT_TRUE(TakeMessages().empty());
  EXPECT_EQ(m_index71, ReadText(m_home / "pkgindex.txt"));
  EXPECT_FALSE(FileExists(m_home / "pkgindex.txt.tmp"));

  // Start-up's limits to the millisecond and the byte: nothing is asked of the rate during the
  // grace; after it, the minimum average rate is enough; at the total time, even a whole body is late.
  long long clock = 0;
  CFetchDeadline limit(kStartupFetchMs, kStartupGraceMs, kStartupMinBytesPerSecond, [&clock] { return clock; });
  clock = kStartupGraceMs - 1;
  EXPECT_TRUE(limit.Holds());
  clock = kStartupGraceMs;
  EXPECT_FALSE(limit.Holds());
  EXPECT_FALSE(limit.Holds(kStartupMinBytesPerSecond * kStartupGraceMs / 1000 - 1));
  EXPECT_TRUE(limit.Holds(1));
  clock = kStartupFetchMs - 1;
  EXPECT_TRUE(limit.Holds(0, true));
  EXPECT_FALSE(limit.TimeIsUp());
  clock = kStartupFetchMs;
  EXPECT_FALSE(limit.Holds(0, true));
  EXPECT_TRUE(limit.TimeIsUp());
}

}  // namespace
