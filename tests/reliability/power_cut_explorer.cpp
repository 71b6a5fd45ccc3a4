// The power-cut explorer. Each story runs the program's start-up and worker on a home folder
// with the POSIX file layer and a scripted server, recording every file-system call. From the
// record, CCrashStates builds the disks a power cut could leave after each call; on each one
// the checks below ask what the user is owed, then start the program again on it and download
// to the end.
//
//   power_cut_explorer            short form, seconds (the test command runs it)
//   power_cut_explorer --long     every state where a point has at most 4096, else 512 drawn
//   power_cut_explorer --calls    also prints each story's record of calls
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <sstream>
#include <unistd.h>

#include "common/file_system.h"
#include "reliability/crash_states.h"
#include "reliability/file_call_recorder.h"
#include "support/memory_view.h"
#include "support/message_recorder.h"
#include "support/scripted_transport.h"
#include "support/temp_dir.h"
#include "tools/pkgmake/package_maker.h"
#include "tools/pkgmake/release_signing.h"
#include "transfer/package_download.h"
#include "trust/signed_release.h"

namespace fs = std::filesystem;

namespace {

const std::string kRemote = "/download/brisko/";
const std::string kVersion = "7.2";
const std::string kResumeIndex = kVersion + "/pkgindex.txt";
const std::string kInstaller = kVersion + "/corvane.exe";
constexpr size_t kBlockBytes = 4096;

struct Settings {
  uint64_t exhaustiveLimit;
  size_t samples;
};
Settings g_settings{8, 6};  // the short form; --long sets {4096, 512}
bool g_printCalls = false;  // --calls: print each story's record

std::string Native(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

// A package as the vendor publishes it, cut by pkgmake's own code: five parts of 8 KiB (the last
// 3,000 bytes), signed when a key is given.
struct Package {
  std::string installer;
  std::vector<std::string> partNames;
  std::map<std::string, std::string> files;  // name on the server: content
  std::string publicKey;                     // empty: the unsigned build
  std::string Part(const std::string& name) const { return files.at(name); }
};

Package MakeTestPackage(const std::string& keyFile, const std::string& publicKey, const std::string& release) {
  CTempDir work;
  Package package;
  package.publicKey = publicKey;
  for (int i = 0; i < 4 * 8192 + 3000; ++i) package.installer += static_cast<char>((i * 131 + i / 251) % 256);
  WriteFile(work / "setup.exe", package.installer);
  std::string message, report;
  EXPECT_EQ(0, MakePackage({work / "setup.exe", kVersion, "8192", work / "out", keyFile, release}, message, report))
      << message;
  for (const auto& entry : fs::directory_iterator(Native(work / "out"))) {
    const std::string name = entry.path().filename().string();
    package.files[name] = ReadFile(work / ("out\\" + name));
    if (name.find(".part") != std::string::npos) package.partNames.push_back(name);
  }
  std::sort(package.partNames.begin(), package.partNames.end());
  EXPECT_EQ(5u, package.partNames.size());
  return package;
}

void Serve(CScriptedTransport& server, const Package& package) {
  for (const auto& [name, content] : package.files) server.Answer(kRemote + name, ScriptedResponse::Ok(content));
}

// Cut after its first block on every attempt.
void CutEveryTime(CScriptedTransport& server, const Package& package, const std::string& name) {
  ScriptedResponse cut = ScriptedResponse::Ok(package.Part(name));
  cut.failAfterBlocks = 1;
  server.Answer(kRemote + name, cut);
}

// The story's server notes each request in the record, so the checks know which part was in
// progress when the power went.
class CMarkingTransport : public CScriptedTransport {
 public:
  std::unique_ptr<IHttpResponse> Get(const std::string& host, unsigned short port, const std::string& object) override {
    MarkRecord("get " + object);
    return CScriptedTransport::Get(host, port, object);
  }
};

struct RunResult {
  int prepared = 0;
  unsigned result = 0;
  bool installEnabled = false;
  std::vector<std::string> messages;
};

// What a user does: starts the program and, unless Install is offered at once, presses Download.
RunResult Download(const std::string& home, const Package& package) {
  TakeMessages();
  RunResult run;
  CMemoryDownloadView view;
  CPackageDownload download(&view);
  download.m_nRetryPauseMs = 0;
  if (!package.publicKey.empty()) download.m_pVerifier = MakeSignedPackageVerifier(package.publicKey);
  run.prepared = download.PreparePackageFrom(home + kNativeSeparator + "trelkin.exe");
  if (run.prepared) {
    download.ShowInitialState();
    if (!view.installEnabled) run.result = DownloadThreadProc(&download);
    run.installEnabled = view.installEnabled;
  }
  run.messages = TakeMessages();
  return run;
}

CDiskState Snapshot(const std::string& root) {
  CDiskState state;
  const fs::path base = Native(root);
  for (const auto& entry : fs::recursive_directory_iterator(base)) {
    const std::string relative = fs::relative(entry.path(), base).generic_string();
    if (entry.is_directory())
      state.folders.insert(relative);
    else
      state.files[relative] = ReadFile(entry.path().string());
  }
  return state;
}

void Materialize(const CDiskState& state, const std::string& root) {
  for (const std::string& folder : state.folders) fs::create_directories(Native(root) + "/" + folder);
  for (const auto& [path, content] : state.files) WriteFile(Native(root) + "/" + path, content);
}

// The parts an index text records as done.
std::set<std::string> DoneParts(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::set<std::string> done;
  for (size_t at = 4; at + 1 < lines.size(); at += 2)
    if (lines[at + 1] == "1") done.insert(lines[at]);
  return done;
}

// The part being fetched when the power went: the last one requested, until the join begins.
std::string PartInProgress(const std::vector<CFileCall>& calls, size_t point) {
  std::string part;
  for (size_t i = 0; i < point; ++i) {
    const CFileCall& call = calls[i];
    if (call.kind == CFileCall::kMark && call.path.find(".part") != std::string::npos)
      part = call.path.substr(call.path.rfind('/') + 1);
    if (call.kind == CFileCall::kOpen && call.path == kInstaller + ".tmp") part.clear();
  }
  return part;
}

struct Story {
  const char* name;
  bool isSigned;
  // Brings the home folder to where the story starts; nothing of it is recorded.
  std::function<void(const std::string& home, CScriptedTransport& server)> setUp;
  // The server's answers during the recorded run.
  std::function<void(CScriptedTransport& server)> script;
  unsigned result;  // the recorded run's worker result
};

struct Tally {
  size_t points = 0, built = 0, checked = 0;
  uint64_t possible = 0;
  std::vector<std::string> failures;
};

class CExplorer {
 public:
  CExplorer(const Story& story, const Package& package, const CDiskState& initial, std::vector<CFileCall> calls)
      : m_story(story), m_package(package), m_initial(initial), m_states(initial, std::move(calls), kBlockBytes) {}

  Tally Explore() {
    Tally tally;
    std::mt19937 random(20261209);  // fixed: every run explores the same states
    for (size_t point : m_states.CrashPoints()) {
      uint64_t possible = 0;
      const std::vector<CDiskState> list =
          m_states.StatesAt(point, g_settings.exhaustiveLimit, g_settings.samples, random, possible);
      ++tally.points;
      tally.built += list.size();
      tally.possible = std::min<uint64_t>(tally.possible + possible, uint64_t(1) << 62);
      for (const CDiskState& state : std::set<CDiskState>(list.begin(), list.end())) {
        ++tally.checked;
        const std::string problem = Check(point, state);
        if (!problem.empty()) tally.failures.push_back(Where(point) + ": " + problem);
      }
    }
    return tally;
  }

 private:
  std::string Where(size_t point) const {
    const auto& calls = m_states.Calls();
    return "power cut after call " + std::to_string(point) + " (" +
           (point == 0 ? std::string("before any") : DescribeCall(calls[point - 1])) + ")";
  }

  // What the user is owed on this disk; "" when all holds.
  std::string Check(size_t point, const CDiskState& state) const {
    // The index files and the release copies read, old or new, never neither.
    for (const std::string& path : {std::string("pkgindex.txt"), kResumeIndex, std::string("pkgrelease.txt"),
                                    kVersion + "/pkgrelease.txt"}) {
      const std::vector<std::string> placed = m_states.PlacedContents(path, point);
      const auto found = state.files.find(path);
      if (found == state.files.end()) {
        if (m_initial.files.count(path)) return path + " is gone: neither the old copy nor the new";
        continue;
      }
      if (std::find(placed.begin(), placed.end(), found->second) == placed.end())
        return path + " holds neither an old copy nor a new one (" + std::to_string(found->second.size()) + " bytes)";
    }
    // Every part recorded done is whole: byte for byte what the server (and, signed, the
    // release's hash) says.
    const auto resume = state.files.find(kResumeIndex);
    const std::set<std::string> recorded = resume == state.files.end() ? std::set<std::string>() : DoneParts(resume->second);
    for (const std::string& part : recorded) {
      const auto file = state.files.find(kVersion + "/" + part);
      if (file == state.files.end() || file->second != m_package.Part(part))
        return part + " is recorded done but is " + (file == state.files.end() ? "missing" : "not whole");
    }
    // No finished part lost beyond the one in progress.
    const std::vector<std::string> placed = m_states.PlacedContents(kResumeIndex, point);
    std::set<std::string> finished = placed.empty() ? std::set<std::string>() : DoneParts(placed.back());
    finished.erase(PartInProgress(m_states.Calls(), point));
    for (const std::string& part : finished)
      if (!recorded.count(part)) return "finished part " + part + " is no longer recorded done";
    const auto installer = state.files.find(kInstaller);
    if (installer != state.files.end() && installer->second != m_package.installer)
      return "corvane.exe stands but is not whole (" + std::to_string(installer->second.size()) + " bytes)";

    // The next start and Download finish with the same installer, fetching no finished part.
    CTempDir home;
    Materialize(state, home.Path());
    CScriptedTransport server;
    Serve(server, m_package);
    const RunResult run = Download(home.Path(), m_package);
    if (!run.prepared) return "start-up fails: " + (run.messages.empty() ? "" : run.messages.front());
    if (!run.messages.empty()) return "the next Download says: " + run.messages.front();
    if (!run.installEnabled || ReadFile(home / (kVersion + "\\corvane.exe")) != m_package.installer)
      return "the next Download gives no byte-identical installer";
    for (const std::string& object : server.Requests())
      if (finished.count(object.substr(kRemote.size())))
        return "the next Download fetches finished part " + object.substr(kRemote.size()) + " again";
    return "";
  }

  const Story& m_story;
  const Package& m_package;
  CDiskState m_initial;
  CCrashStates m_states;
};

class PowerCut : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    CTempDir keys;
    std::string publicKey, message;
    ASSERT_TRUE(MakeSigningKey(keys / "vendor.pem", publicKey, message)) << message;
    s_plain = new Package(MakeTestPackage("", "", ""));
    s_old = new Package(MakeTestPackage(keys / "vendor.pem", publicKey, "41"));
    s_new = new Package(MakeTestPackage(keys / "vendor.pem", publicKey, "42"));
  }
  static void TearDownTestSuite() {
    delete s_plain;
    delete s_old;
    delete s_new;
  }

  // Records the story's run, explores every crash point and reports the count.
  void Explore(const Story& story, const Package& package) {
    CTempDir home;
    CDiskState initial;
    std::vector<CFileCall> calls;
    {
      CMarkingTransport server;
      if (story.setUp) story.setUp(home.Path(), server);
      initial = Snapshot(home.Path());
      Serve(server, package);
      if (story.script) story.script(server);
      StartRecording(Native(home.Path()));
      const RunResult run = Download(home.Path(), package);
      calls = StopRecording();
      ASSERT_EQ(1, run.prepared) << story.name;
      ASSERT_EQ(story.result, run.result) << story.name;
    }
    for (size_t i = 0; g_printCalls && i < calls.size(); ++i)
      std::cout << "  " << i + 1 << " " << DescribeCall(calls[i]) << "\n";
    const Tally tally = CExplorer(story, package, initial, calls).Explore();
    std::cout << "[power cut] " << story.name << ": " << calls.size() << " calls, " << tally.points
              << " crash points, " << tally.possible << " possible states, " << tally.built << " built, "
              << tally.checked << " distinct checked, " << tally.failures.size() << " failed\n";
    for (size_t i = 0; i < tally.failures.size() && i < 5; ++i) ADD_FAILURE() << story.name << ", " << tally.failures[i];
  }

  static Package* s_plain;
  static Package* s_old;
  static Package* s_new;
};

Package* PowerCut::s_plain = nullptr;
Package* PowerCut::s_old = nullptr;
Package* PowerCut::s_new = nullptr;

TEST_F(PowerCut, FirstDownloadOfAFivePartPackage) { Explore({"first download", false, nullptr, nullptr, 0}, *s_plain); }

TEST_F(PowerCut, ResumeOverAPartCutShort) {
  // Two parts done and the third cut short by the line: Download again.
  const Package& package = *s_plain;
  auto setUp = [&package](const std::string& home, CScriptedTransport& server) {
    Serve(server, package);
    CutEveryTime(server, package, package.partNames[2]);
    ASSERT_EQ(9u, Download(home, package).result);
  };
  Explore({"resume", false, setUp, nullptr, 0}, package);
}

TEST_F(PowerCut, TheJoin) {
  // Every part done, the installer not yet joined.
  const Package& package = *s_plain;
  auto setUp = [&package](const std::string& home, CScriptedTransport& server) {
    Serve(server, package);
    ASSERT_EQ(0u, Download(home, package).result);
    ASSERT_TRUE(RemoveFile(home + kNativeSeparator + kVersion + kNativeSeparator + "corvane.exe"));
  };
  Explore({"join", false, setUp, nullptr, 0}, package);
}

TEST_F(PowerCut, APartFailsAfterADoneOne) {
  const Package& package = *s_plain;
  auto script = [&package](CScriptedTransport& server) { CutEveryTime(server, package, package.partNames[1]); };
  Explore({"failed part after a done one", false, nullptr, script, 9}, package);
}

TEST_F(PowerCut, ASignedBuildTakesANewReleaseMidDownload) {
  // Release 41 half fetched (its copies in the home and version folders), then the server
  // offers release 42 of the same installer: both copies are replaced, the rest fetched, the
  // installer joined, checked and its check recorded.
  const Package& before = *s_old;
  auto setUp = [&before](const std::string& home, CScriptedTransport& server) {
    Serve(server, before);
    CutEveryTime(server, before, before.partNames[2]);
    ASSERT_EQ(9u, Download(home, before).result);
  };
  Explore({"signed release copies", true, setUp, nullptr, 0}, *s_new);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; ++i)
    if (std::string(argv[i]) == "--long")
      g_settings = {4096, 512};
    else if (std::string(argv[i]) == "--calls")
      g_printCalls = true;
  // Each check flushes every file it writes: on a memory-backed folder that costs nothing.
  if (getenv("TMPDIR") == nullptr && access("/dev/shm", W_OK) == 0) setenv("TMPDIR", "/dev/shm", 1);
  return RUN_ALL_TESTS();
}
