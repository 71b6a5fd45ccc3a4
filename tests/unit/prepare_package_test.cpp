#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
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
#include "common/path.h"
#include "support/memory_view.h"
#include "support/message_recorder.h"
#include "support/scripted_transport.h"
#include "support/temp_dir.h"
#include "transfer/fetch_pace.h"
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

// The folder a creation or a move changed is flushed: found from the path, in a form the system
// opens (a drive's or a share's root keeps its backslash), and flushed through the platform's
// own call (under Wine, the Windows one).
TEST(CreateDirectoryChainTest, TheFolderAChangeWasMadeInIsFoundAndFlushed) {
  EXPECT_EQ("C:\\home", ParentFolder("C:\\home\\7.2"));
  EXPECT_EQ("C:\\", ParentFolder("C:\\home"));
  EXPECT_EQ("\\\\server\\share\\", ParentFolder("\\\\server\\share\\home"));
  EXPECT_EQ("\\\\server\\share\\home", ParentFolder("\\\\server\\share\\home\\7.2"));
  EXPECT_EQ("/tmp/home", ParentFolder("/tmp/home\\pkgindex.txt"));
  EXPECT_EQ("/", ParentFolder("/tmp"));
  EXPECT_EQ(".", ParentFolder("pkgindex.txt"));

  CTempDir dir;
  EXPECT_TRUE(FlushFolder(dir.Path()));
  EXPECT_FALSE(FlushFolder(dir / "missing"));
  ASSERT_TRUE(CreateFolder(dir / "7.2"));
  WriteFile(dir / "7.2\\pkgindex.txt.tmp", "1\n");
  EXPECT_TRUE(MoveFileOver(dir / "7.2\\pkgindex.txt.tmp", dir / "7.2\\pkgindex.txt"));
  EXPECT_EQ("1\n", ReadFile(dir / "7.2\\pkgindex.txt"));
  EXPECT_FALSE(MoveFileOver(dir / "7.2\\pkgindex.txt.tmp", dir / "7.2\\pkgindex.txt"));
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

// Start-up's fetches, made before the main window exists, are held to a pace rather than a total:
// a slow honest line gets the time it needs, a trickle or a stall counts as an unreachable server,
// and the earlier copy serves. The clock is the test's; the watchdog's thread reads it too.
TEST_F(PreparePackageTest, ASlowHonestLineStartsTheLargestPackageAndATrickleOrAStallGivesWay) {
  std::atomic<long long> now{0};
  m_download.m_startupClockMs = [&now] { return now.load(); };
  // The largest package at 32 kbit/s, 4,000 bytes a second: each 4 KiB block takes 1,024 ms, and
  // the first comes only after 50 s, as on a line that is slow to connect.
  std::string largest = "1\n7.2\n65534\n512\n";
  for (int i = 1; i <= 65534; ++i) {
    const std::string number = std::to_string(i);
    largest += "corvane.part" + std::string(5 - number.size(), '0') + number + "\n0\n";
  }
  m_server.Answer(kIndexObject, ScriptedResponse::Ok(largest));
  StartupStage stage = StartupStage::kPreparingFolder;
  m_server.onBlock = [&](const std::string&, int block) {
    stage = m_download.m_startupStage;
    now += block == 1 ? 50000 : 1024;
  };
  ASSERT_EQ(1, Prepare());
  EXPECT_TRUE(TakeMessages().empty());
  EXPECT_GT(now, 5 * 60000);  // minutes on the line
  EXPECT_EQ(StartupStage::kFetchingIndex, stage);
  EXPECT_EQ(StartupStage::kPreparingFolder, m_download.m_startupStage.load());
  EXPECT_EQ(static_cast<long long>(largest.size()), m_download.m_startupReceived.load());
  EXPECT_EQ(65534, m_download.m_index.PartCount());
  EXPECT_EQ(largest, ReadText(m_home / "pkgindex.txt"));
  const std::string earlier = ReadText(m_home / "pkgindex.txt");

  // A body that keeps coming below the floor (4 KiB every 2.5 s) is refused once a window of it
  // has passed, however long it would go on; the earlier copy serves without a word.
  struct Trickle {
    const char* what;
    int fastBlocks;  // at 128 kbit/s first: a good start buys nothing once the line slows
    long long slowBlockMs;
    int mostSlowBlocks;
  };
  for (const Trickle& t : {Trickle{"below the floor", 0, 2500, 14}, Trickle{"fast, then a trickle", 200, 5000, 8}}) {
    now = 0;
    int slowBlocks = 0;
    m_server.Answer(kIndexObject, ScriptedResponse::Ok(std::string(4096 * 1000, 'x')));
    m_server.onBlock = [&](const std::string&, int block) {
      if (block <= t.fastBlocks) {
        now += 256;
        return;
      }
      ++slowBlocks;
      now += t.slowBlockMs;
    };
    CPackageDownload slow(&m_view);
    slow.m_startupClockMs = m_download.m_startupClockMs;
    ASSERT_EQ(1, slow.PreparePackageFrom(m_home.Path() + kNativeSeparator + "trelkin.exe")) << t.what;
    EXPECT_TRUE(TakeMessages().empty()) << t.what;
    EXPECT_LE(slowBlocks, t.mostSlowBlocks) << t.what;
    EXPECT_EQ(earlier, ReadText(m_home / "pkgindex.txt")) << t.what;
    EXPECT_FALSE(FileExists(m_home / "pkgindex.txt.tmp")) << t.what;
  }
  // With no earlier copy, the user hears why.
  RemoveFile(m_home / "pkgindex.txt");
  now = 0;
  m_server.onBlock = [&](const std::string&, int) { now += 2500; };
  CPackageDownload first(&m_view);
  first.m_startupClockMs = m_download.m_startupClockMs;
  EXPECT_EQ(0, first.PreparePackageFrom(m_home.Path() + kNativeSeparator + "trelkin.exe"));
  EXPECT_EQ(std::vector<std::string>{"The download server is too slow to answer."}, TakeMessages());

  // A server that stops sending mid-body holds the read itself: the watchdog ends it once no
  // block has come for the stall time.
  now = 0;
  m_server.onBlock = nullptr;
  ScriptedResponse stalled = ScriptedResponse::Ok(std::string(4096 * 10, 'x'));
  stalled.stallAfterBlocks = 3;
  m_server.Answer(kIndexObject, stalled);
  std::thread line([&] {
    if (m_server.WaitForStalled(1)) now += kStartupStallMs;
  });
  CPackageDownload held(&m_view);
  held.m_startupClockMs = m_download.m_startupClockMs;
  EXPECT_EQ(0, held.PreparePackageFrom(m_home.Path() + kNativeSeparator + "trelkin.exe"));
  line.join();
  EXPECT_EQ(std::vector<std::string>{"The download server is too slow to answer."}, TakeMessages());
  EXPECT_FALSE(FileExists(m_home / "pkgindex.txt.tmp"));
  EXPECT_FALSE(FileExists(m_home / "pkgindex.txt"));

  // A small index that comes whole in one block, late but within a connection's wait, is taken.
  now = 0;
  m_server.Answer(kIndexObject, ScriptedResponse::Ok(m_index71, 1000));
  m_server.onBlock = [&](const std::string&, int) { now += 59000; };
  WriteFile(m_home / "pkgindex.txt", "earlier");
  CPackageDownload whole(&m_view);
  whole.m_startupClockMs = m_download.m_startupClockMs;
  ASSERT_EQ(1, whole.PreparePackageFrom(m_home.Path() + kNativeSeparator + "trelkin.exe"));
  EXPECT_EQ(m_index71, ReadText(m_home / "pkgindex.txt"));

  // Endless and fast, its length not announced: the index's size limit ends it, and the earlier
  // copy serves.
  m_server.onBlock = nullptr;
  ScriptedResponse endless = ScriptedResponse::Ok(std::string(kMaxIndexBytes + 4096, 'x'));
  endless.contentLength = -1;
  m_server.Answer(kIndexObject, endless);
  CPackageDownload fast(&m_view);
  ASSERT_EQ(1, fast.PreparePackageFrom(m_home.Path() + kNativeSeparator + "trelkin.exe"));
  EXPECT_TRUE(TakeMessages().empty());
  EXPECT_EQ(m_index71, ReadText(m_home / "pkgindex.txt"));
  EXPECT_FALSE(FileExists(m_home / "pkgindex.txt.tmp"));
}

// Cancel in the start-up window, from the window's thread while preparation waits for the server:
// the transfer ends at once, and preparation ends without a message, leaving the home folder as
// it was.
TEST_F(PreparePackageTest, CancellingStartUpEndsItQuietlyAndChangesNothing) {
  for (const bool earlierCopy : {true, false}) {
    if (earlierCopy) WriteFile(m_home / "pkgindex.txt", m_index71);
    ScriptedResponse stalled = ScriptedResponse::Ok(IndexText({"1", "7.2", "0", "512"}));
    stalled.stallAtConnect = 1;
    m_server.Answer(kIndexObject, stalled);
    CPackageDownload download(&m_view);
    std::thread user([&] {
      if (m_server.WaitForStalled(1)) download.CancelStartup();
    });
    EXPECT_EQ(0, download.PreparePackageFrom(m_home.Path() + kNativeSeparator + "trelkin.exe")) << earlierCopy;
    user.join();
    EXPECT_TRUE(TakeMessages().empty()) << earlierCopy;
    EXPECT_EQ(earlierCopy, FileExists(m_home / "pkgindex.txt"));
    EXPECT_FALSE(FileExists(m_home / "pkgindex.txt.tmp"));
    EXPECT_FALSE(FileExists(m_home / "7.1"));
    // A cancel that comes before the request is sent stops it being sent.
    CPackageDownload early(&m_view);
    early.CancelStartup();
    const size_t asked = m_server.Requests().size();
    EXPECT_EQ(0, early.PreparePackageFrom(m_home.Path() + kNativeSeparator + "trelkin.exe"));
    EXPECT_EQ(asked, m_server.Requests().size());
    EXPECT_TRUE(TakeMessages().empty());
    RemoveFile(m_home / "pkgindex.txt");
  }
}

// The pace's bounds to the millisecond: the first block may take as long as a connection; after
// it, the stall time; the rate is judged only once a window of bytes has flowed, and a failed
// pace stays failed.
TEST(FetchPaceTest, TheFirstBlockIsTheConnectionsThenAStallOrALowRateEndsIt) {
  long long clock = 0;
  const FetchPaceLimits limits = StartupPaceLimits();
  CFetchPace connecting(limits, [&clock] { return clock; });
  clock = kNetworkTimeoutMs - 1;
  EXPECT_TRUE(connecting.Holds());
  EXPECT_TRUE(connecting.Received(10));  // ten bytes in a minute, and the rate is not yet asked
  clock += kStartupStallMs - 1;
  EXPECT_TRUE(connecting.Holds());
  clock += 1;
  EXPECT_FALSE(connecting.Holds());
  EXPECT_FALSE(connecting.Received(4096, true));  // failed is failed, even for a whole body
  EXPECT_TRUE(connecting.Failed());

  clock = 0;
  CFetchPace silent(limits, [&clock] { return clock; });
  clock = kNetworkTimeoutMs;
  EXPECT_FALSE(silent.Received(4096));

  // At the floor and just under it, 1 KiB blocks twice a second against one every 0.55 s.
  for (const long long stepMs : {500LL, 550LL}) {
    clock = 0;
    CFetchPace line(limits, [&clock] { return clock; });
    bool holds = true;
    while (holds && clock < 10 * kStartupRateWindowMs) {
      clock += stepMs;
      holds = line.Received(1024);
    }
    EXPECT_EQ(stepMs == 500, holds) << stepMs;
    if (stepMs != 500) {
      EXPECT_GE(clock, kStartupRateWindowMs) << "judged before a window had passed";
    }
  }
}

}  // namespace
