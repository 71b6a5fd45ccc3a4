// The power-cut explorer. Each story runs the program's start-up and worker on a home folder
// with the POSIX file layer and a scripted server, recording every file-system call. From the
// record, CCrashStates builds the disks a power cut could leave after each call; on each one
// the checks below ask what the user is owed, then start the program again on it and download
// to the end.
//
//   power_cut_explorer            short form, seconds (the test command runs it)
//   power_cut_explorer --long     blocks of 512 bytes; every state where a crash point has at
//                                 most 65,536, else 4,096 drawn
//   power_cut_explorer --calls    also prints each story's record of calls
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <sstream>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/file_system.h"
#include "reliability/crash_states.h"
#include "reliability/file_call_recorder.h"
#include "reliability/power_cut_stories.h"
#include "reliability/record_shape.h"
#include "support/scripted_transport.h"
#include "support/temp_dir.h"
#include "tools/pkgmake/release_signing.h"

namespace fs = std::filesystem;

namespace {

const std::string kRemote = "/download/brisko/";
struct Settings {
  uint64_t exhaustiveLimit;  // a crash point with at most this many states has every one checked
  size_t samples;            // otherwise this many are drawn, beside the two extremes
  size_t blockBytes;         // the disk's block
};
const Settings kShortForm{8, 6, 4096};
const Settings kLongForm{1u << 16, 4096, 512};
Settings g_settings = kShortForm;
bool g_printCalls = false;  // --calls: print each story's record

std::string Native(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

// The story's server notes each request in the record, so the checks know which part was in
// progress when the power went.
class CMarkingTransport : public CScriptedTransport {
 public:
  std::unique_ptr<IHttpResponse> Get(const std::string& host, unsigned short port, const std::string& object,
                                     const std::atomic<int>* stopFlag) override {
    MarkRecord("get " + object);
    return CScriptedTransport::Get(host, port, object, stopFlag);
  }
};

CDiskState Snapshot(const std::string& root) {
  CDiskState state;
  const fs::path base = Native(root);
  for (const auto& entry : fs::recursive_directory_iterator(base)) {
    const std::string relative = fs::relative(entry.path(), base).generic_string();
    if (entry.is_directory())
      state.folders.insert(relative);
    else {
      state.files[relative] = ReadFile(entry.path().string());
      state.times[relative] = FindFileWriteTime(entry.path().string());
    }
  }
  return state;
}

void Materialize(const CDiskState& state, const std::string& root) {
  for (const std::string& folder : state.folders) fs::create_directories(Native(root) + "/" + folder);
  for (const auto& [path, content] : state.files) {
    const std::string file = Native(root) + "/" + path;
    WriteFile(file, content);
    // The time of writing the disk kept, which a signed build's record of its check compares.
    const auto time = state.times.find(path);
    if (time == state.times.end()) continue;
    timespec times[2];
    times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(time->second / 1000000000);
    times[0].tv_nsec = times[1].tv_nsec = static_cast<long>(time->second % 1000000000);
    utimensat(AT_FDCWD, file.c_str(), times, 0);
  }
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

// The part in progress when the power went: the one the last replace of the resume index before
// `point` newly records (`placed`: the index's contents placed so far), until a flush of its
// folder makes that replace last. Parts asked for ahead may be written and flushed meanwhile,
// but no record names them before their turn.
std::string PartInProgress(const std::vector<CFileCall>& calls, size_t point, const std::string& resumeIndex,
                           const std::vector<std::string>& placed) {
  size_t replace = point;
  for (size_t i = 0; i < point; ++i)
    if (calls[i].kind == CFileCall::kRename && calls[i].to == resumeIndex) replace = i;
  if (replace == point || placed.empty()) return "";
  const std::string folder = resumeIndex.substr(0, resumeIndex.rfind('/'));
  std::map<int, std::string> opened;
  for (size_t i = 0; i < point; ++i) {
    if (calls[i].kind == CFileCall::kOpen) opened[calls[i].handle] = calls[i].path;
    if (i > replace && calls[i].kind == CFileCall::kFlush && opened[calls[i].handle] == folder) return "";
  }
  std::set<std::string> newly = DoneParts(placed.back());
  if (placed.size() >= 2)
    for (const std::string& part : DoneParts(placed[placed.size() - 2])) newly.erase(part);
  return newly.size() == 1 ? *newly.begin() : "";
}

struct Tally {
  size_t points = 0, built = 0, checked = 0;
  uint64_t possible = 0;
  std::vector<std::string> failures;
  // What the next start can tell apart on a disk (a recovery situation), over the story, and
  // with the crash point it follows.
  std::set<std::string> situations;
  std::set<std::pair<size_t, std::string>> pointSituations;
  // The first disk met in each situation: where a second power cut, during the next start's own
  // recovery, is explored from.
  std::map<std::string, CDiskState> firstDisks;
  // On FAT: the situations where the resume index is gone, and the most finished parts one of
  // them costs (fetched again).
  std::set<std::string> indexLost;
  size_t mostFetchedAgain = 0;
  // Disks holding a part file of its full size that is not the part (old bytes, or zeros behind
  // a size kept without its data): the files no check of size alone could tell from a done part.
  size_t fullSizeNotWhole = 0;
};

// Whether a signed build's record of its full check (`corvane.exe.verified`: hash, size, time of
// writing) names this size and time of writing.
bool StampNames(const std::string& stamp, long long size, long long time) {
  std::istringstream in(stamp);
  std::string hash;
  long long recordedSize = -1, recordedTime = -1;
  return static_cast<bool>(in >> hash >> recordedSize >> recordedTime) && recordedSize == size && recordedTime == time;
}

// What the next start can tell apart on a disk: which parts are whole (a part's file is either
// the part or fetched again from its first byte, however much of it is there; a signed build's
// start-up tells a file of the part's exact size from a shorter one), which copy of each
// file the program placed by a replace stands there, whether the installer is whole, and which
// folders exist. Temporary files are never read and count for nothing.
std::string Situation(const Package& package, const CDiskState& state,
                      const std::map<std::string, std::vector<std::string>>& placed) {
  std::string key;
  for (const std::string& folder : state.folders) key += "folder " + folder + "\n";
  for (const auto& [path, content] : state.files) {
    if (path.size() > 4 && path.compare(path.size() - 4, 4, ".tmp") == 0) continue;
    const std::string name = path.substr(path.rfind('/') + 1);
    const bool part = std::find(package.partNames.begin(), package.partNames.end(), name) != package.partNames.end();
    const auto copies = placed.find(path);
    if (part && path == package.version + "/" + name) {
      // A signed start-up that has lost the resume index reads a file of the part's exact size.
      if (content == package.Part(name))
        key += path + " whole\n";
      else if (content.size() == package.Part(name).size())
        key += path + " full size, not whole\n";
    } else if (path == package.version + "/corvane.exe") {
      key += path + (content == package.installer ? " whole" : " not whole");
      // Whether the record of its check names it as it stands: trusted, or checked again.
      const auto stamp = state.files.find(path + ".verified");
      const auto time = state.times.find(path);
      if (stamp != state.files.end() && time != state.times.end())
        key += StampNames(stamp->second, static_cast<long long>(content.size()), time->second) ? ", its check current"
                                                                                                : ", its check stale";
      key += "\n";
    } else if (copies != placed.end()) {
      // Counted from the first copy placed: the same copy has the same number at every point.
      const auto at = std::find(copies->second.begin(), copies->second.end(), content);
      key += path + " copy " +
             (at == copies->second.end() ? std::string("none") : std::to_string(at - copies->second.begin())) + "\n";
    } else {
      key += path + " " + std::to_string(std::hash<std::string>()(content)) + "\n";
    }
  }
  return key;
}

// The join's message for a done part it found damaged, which it then forgets.
bool ForgetsAtTheJoin(const RunResult& run, const std::string& part) {
  if (run.messages.size() != 1) return false;
  const std::string& text = run.messages.front();
  const bool names = text.size() > part.size() && text.compare(text.size() - part.size(), part.size(), part) == 0;
  return names && (text.rfind("Incorrect size: ", 0) == 0 || text.rfind("Cannot open input file: ", 0) == 0);
}

// What the story's record must show: the parts the run finished and the records it took back,
// read from the resume index on the disk before and after the run, and whether it joined.
CExpectedRecord ExpectedRecord(const Package& package, const CDiskState& before, const CDiskState& after) {
  const std::string index = package.version + "/pkgindex.txt", installer = package.version + "/corvane.exe";
  auto done = [&](const CDiskState& disk) {
    const auto found = disk.files.find(index);
    return found == disk.files.end() ? std::set<std::string>() : DoneParts(found->second);
  };
  const std::set<std::string> was = done(before), is = done(after);
  CExpectedRecord expected;
  expected.folder = package.version;
  for (const std::string& part : package.partNames) {
    if (!is.count(part) || was.count(part)) continue;
    const auto file = before.files.find(package.version + "/" + part);
    const bool whole = file != before.files.end() && file->second == package.Part(part);
    // Start-up looks for whole parts only when it creates the resume index; where one stands, a
    // whole part it does not record (the one in progress at a power cut) is fetched again.
    const bool found = whole && !package.publicKey.empty() && !before.files.count(index);
    (found ? expected.recovered : expected.parts).push_back(part);
  }
  expected.forgets = std::any_of(was.begin(), was.end(), [&](const std::string& part) { return !is.count(part); });
  expected.join = !before.files.count(installer) && after.files.count(installer);
  return expected;
}

class CExplorer {
 public:
  CExplorer(const Package& package, const CDiskState& initial, std::vector<CFileCall> calls,
            const std::string& forgotten = "", const CDiskModel& model = kOrderedJournal, bool offlineNext = false)
      : m_package(package),
        m_initial(initial),
        m_states(initial, std::move(calls), g_settings.blockBytes, model),
        m_forgotten(forgotten),
        m_bFat(model.nonAtomicReplace),
        m_bOfflineNext(offlineNext) {
    // A signed build's parts whole on the disk the story begins with where its resume index is
    // gone: start-up finds them by the release's hashes, so no later start may fetch them. (Where
    // the index stands, a whole part it does not record is the part that was in progress.)
    const bool indexGone = !initial.files.count(ResumeIndex());
    for (const std::string& part : package.partNames) {
      const auto file = initial.files.find(m_package.version + "/" + part);
      if (!package.publicKey.empty() && indexGone && file != initial.files.end() && file->second == package.Part(part))
        m_provable.insert(part);
    }
  }

  // "" when the record can be replayed from the initial disk, else why not.
  std::string RecordProblem() const { return m_states.RecordProblem(); }

  // `check`: false to sort the disks into situations only, checking none (a story whose own test
  // checks them, explored again to find where a second cut starts).
  Tally Explore(bool check = true) {
    Tally tally;
    std::mt19937 random(20261209);  // fixed: every run explores the same states
    for (size_t point : m_states.CrashPoints()) {
      uint64_t possible = 0;
      const std::vector<CDiskState> list =
          m_states.StatesAt(point, g_settings.exhaustiveLimit, g_settings.samples, random, possible);
      ++tally.points;
      tally.built += list.size();
      tally.possible = std::min<uint64_t>(tally.possible + possible, uint64_t(1) << 62);
      const auto placed = m_states.AllPlacedContents(point);
      for (const CDiskState& state : std::set<CDiskState>(list.begin(), list.end())) {
        ++tally.checked;
        const std::string situation = Situation(m_package, state, placed);
        tally.situations.insert(situation);
        tally.firstDisks.emplace(situation, state);
        tally.pointSituations.insert({point, situation});
        for (const std::string& part : m_package.partNames) {
          const auto file = state.files.find(m_package.version + "/" + part);
          if (file != state.files.end() && file->second.size() == m_package.Part(part).size() &&
              file->second != m_package.Part(part)) {
            ++tally.fullSizeNotWhole;
            break;
          }
        }
        if (!check) continue;
        size_t fetchedAgain = 0;
        const std::string problem = Check(point, state, fetchedAgain);
        if (!problem.empty()) tally.failures.push_back(Where(point) + ": " + problem);
        const auto resumeCopies = placed.find(ResumeIndex());
        if (m_bFat && !state.files.count(ResumeIndex()) && resumeCopies != placed.end() && !resumeCopies->second.empty()) {
          tally.indexLost.insert(situation);
          tally.mostFetchedAgain = std::max(tally.mostFetchedAgain, fetchedAgain);
        }
      }
    }
    return tally;
  }

 private:
  // The files of the version the story's server offers.
  std::string ResumeIndex() const { return m_package.version + "/pkgindex.txt"; }
  std::string Installer() const { return m_package.version + "/corvane.exe"; }

  std::string Where(size_t point) const {
    const auto& calls = m_states.Calls();
    return "power cut after call " + std::to_string(point) + " (" +
           (point == 0 ? std::string("before any") : DescribeCall(calls[point - 1])) + ")";
  }

  // What the user is owed on this disk; "" when all holds. `fetchedAgain` counts the finished
  // parts the next Download fetches again where FAT lost the resume index and the build cannot
  // prove them (the unsigned one): the cost such a cut has there.
  std::string Check(size_t point, const CDiskState& state, size_t& fetchedAgain) const {
    // The index files and the release copies read, old or new, never neither (on FAT, where a
    // replace is not atomic, neither may stand).
    for (const std::string& path : {std::string("pkgindex.txt"), ResumeIndex(), std::string("pkgrelease.txt"),
                                    m_package.version + "/pkgrelease.txt"}) {
      const std::vector<std::string> placed = m_states.PlacedContents(path, point);
      const auto found = state.files.find(path);
      if (found == state.files.end()) {
        if (m_initial.files.count(path) && !m_bFat) return path + " is gone: neither the old copy nor the new";
        continue;
      }
      if (std::find(placed.begin(), placed.end(), found->second) == placed.end())
        return path + " holds neither an old copy nor a new one (" + std::to_string(found->second.size()) + " bytes)";
    }
    // Every part recorded done is whole: byte for byte what the server (and, signed, the
    // release's hash) says.
    const auto resume = state.files.find(ResumeIndex());
    const std::set<std::string> recorded = resume == state.files.end() ? std::set<std::string>() : DoneParts(resume->second);
    for (const std::string& part : recorded) {
      if (part == m_forgotten) continue;  // damaged before the run began: the story's premise
      const auto file = state.files.find(m_package.version + "/" + part);
      if (file == state.files.end() || file->second != m_package.Part(part))
        return part + " is recorded done but is " + (file == state.files.end() ? "missing" : "not whole");
    }
    // No finished part lost beyond the one in progress.
    const std::vector<std::string> placed = m_states.PlacedContents(ResumeIndex(), point);
    std::set<std::string> finished = placed.empty() ? std::set<std::string>() : DoneParts(placed.back());
    finished.erase(PartInProgress(m_states.Calls(), point, ResumeIndex(), placed));
    finished.erase(m_forgotten);
    // A resume index that stood and is gone: on FAT, a replace cut half way; anywhere, the first
    // one created in the run before its folder was flushed. A signed build proves a part by its
    // hash, so the records are not what keeps its finished parts: none may be fetched again.
    const bool proves = !m_package.publicKey.empty();
    const bool indexLost = resume == state.files.end() && !placed.empty() && (m_bFat || proves);
    for (const std::string& part : finished)
      if (!recorded.count(part) && !indexLost) return "finished part " + part + " is no longer recorded done";
    if (proves) finished.insert(m_provable.begin(), m_provable.end());
    const auto installer = state.files.find(Installer());
    if (installer != state.files.end() && installer->second != m_package.installer)
      return "corvane.exe stands but is not whole (" + std::to_string(installer->second.size()) + " bytes)";
    // A record of the full check that names the installer as it stands must not vouch for one
    // that is not whole (the next start would trust it without reading it).
    const auto stamp = state.files.find(Installer() + ".verified");
    const bool stampCurrent = installer != state.files.end() && stamp != state.files.end() &&
                              StampNames(stamp->second, static_cast<long long>(installer->second.size()),
                                         state.times.count(Installer()) ? state.times.at(Installer()) : -1);
    if (stampCurrent && installer->second != m_package.installer)
      return "corvane.exe.verified vouches for an installer that is not whole";
    const bool installerWhole = installer != state.files.end() && installer->second == m_package.installer;
    // Another version's folder (one the server has moved on from) is left as it was.
    for (const auto& [path, content] : m_initial.files) {
      if (path.find('/') == std::string::npos || path.rfind(m_package.version + "/", 0) == 0) continue;
      const auto kept = state.files.find(path);
      if (kept == state.files.end() || kept->second != content) return path + " of another version was changed";
    }

    CTempDir home;
    Materialize(state, home.Path());
    // With the server down, the next start goes on from the copies kept here (when the home
    // folder's index, and in a signed build its release, stand) and takes back no record.
    if (m_bOfflineNext) {
      CScriptedTransport down;
      for (const auto& [name, content] : m_package.files)
        down.Answer(kRemote + name, ScriptedResponse::Unreachable());
      const bool kept = state.files.count("pkgindex.txt") && (m_package.publicKey.empty() || state.files.count("pkgrelease.txt"));
      const RunResult offline = Download(home.Path(), m_package);
      if (kept && !offline.prepared)
        return "with the server down the next start fails: " + (offline.messages.empty() ? "" : offline.messages.front());
      const std::string after = ReadFile(home / (m_package.version + "\\pkgindex.txt"));
      for (const std::string& part : recorded)
        if (!DoneParts(after).count(part)) return "the start with the server down takes back the record of " + part;
    }

    // The next start and Download finish with the same installer, fetching no finished part.
    CScriptedTransport server;
    Serve(server, m_package);
    RunResult run = Download(home.Path(), m_package);
    // A disk that still records the forgotten part done meets it again at the join, which says
    // so and forgets it; that costs the part, no more: the Download after it must finish.
    if (!m_forgotten.empty() && recorded.count(m_forgotten) && run.prepared && ForgetsAtTheJoin(run, m_forgotten))
      run = Download(home.Path(), m_package);
    if (!run.prepared) return "start-up fails: " + (run.messages.empty() ? "" : run.messages.front());
    if (!run.messages.empty()) return "the next Download says: " + run.messages.front();
    if (!run.installEnabled || ReadFile(home / (m_package.version + "\\corvane.exe")) != m_package.installer)
      return "the next Download gives no byte-identical installer";
    const std::string installerPath = home / (m_package.version + "\\corvane.exe");
    // An installer that stood whole is kept: offered as it is, never joined or fetched again.
    const std::vector<std::string> requests = server.Requests();
    if (installerWhole && std::any_of(requests.begin(), requests.end(), [&](const std::string& object) {
          return std::find(m_package.partNames.begin(), m_package.partNames.end(), object.substr(kRemote.size())) !=
                 m_package.partNames.end();
        }))
      return "corvane.exe stood whole, yet the next Download fetches its parts again";
    if (installerWhole && state.times.count(Installer()) && FindFileWriteTime(installerPath) != state.times.at(Installer()))
      return "corvane.exe stood whole, yet the next Download writes it again";
    // A signed build leaves the record of its check naming the installer it offers, so the start
    // after it need not read the installer again.
    if (!m_package.publicKey.empty() &&
        !StampNames(ReadFile(installerPath + ".verified"), FindFileSize(installerPath), FindFileWriteTime(installerPath)))
      return "after the next Download corvane.exe.verified does not name the installer it offers";
    for (const std::string& object : server.Requests()) {
      if (!finished.count(object.substr(kRemote.size()))) continue;
      if (indexLost && !proves) {
        ++fetchedAgain;
        continue;
      }
      return "the next Download fetches finished part " + object.substr(kRemote.size()) + " again";
    }
    return "";
  }

  const Package& m_package;
  CDiskState m_initial;
  CCrashStates m_states;
  std::string m_forgotten;
  bool m_bFat;
  bool m_bOfflineNext;
  std::set<std::string> m_provable;
};

class PowerCut : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    CTempDir keys;
    std::string publicKey, message;
    ASSERT_TRUE(MakeSigningKey(keys.Native("vendor.pem"), publicKey, message)) << message;
    s_plain = MakeTestPackage();
    s_older = MakeTestPackage(keys.Native("vendor.pem"), publicKey, "41");
    s_newer = MakeTestPackage(keys.Native("vendor.pem"), publicKey, "42");
    s_moved = MakeTestPackage("", "", "", "7.3");
  }

  const Story& Find(const std::string& name) {
    static const std::vector<Story> stories = PowerCutStories(s_plain, s_older, s_newer, &s_moved);
    const auto story = std::find_if(stories.begin(), stories.end(), [&](const Story& s) { return s.name == name; });
    if (story == stories.end()) throw std::runtime_error("no story " + name);
    return *story;
  }

  // Records the story's run, explores every crash point and reports the count; with `check`
  // false, only sorts the disks into situations and reports nothing.
  Tally Explore(const std::string& name, bool check = true) {
    const Story& story = Find(name);
    const Package& package = *story.package;
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
      EXPECT_EQ(1, run.prepared) << name;
      EXPECT_EQ(story.result, run.result) << name;
      if (run.prepared != 1 || story.result != run.result) return {};
    }
    for (size_t i = 0; g_printCalls && i < calls.size(); ++i)
      std::cout << "  " << i + 1 << " " << DescribeCall(calls[i]) << "\n";
    Tally tally;
    if (!ExploreRecord(name, story, initial, calls, Snapshot(home.Path()), tally, check)) return {};
    if (!check) return tally;
    std::cout << "[power cut] " << name << ": " << calls.size() << " calls, ";
    Report(name, story, tally, false);
    return tally;
  }

  // A second power cut: from one disk of each recovery situation the story's first cut can leave,
  // the next start and Download run with the server up and are recorded; every crash point of that
  // run, the recovery's own writes included, is explored as above. The disk after the second cut
  // may cost no more than the part in progress then: every part recorded on the first disk, and
  // every part the recovery finished, must survive it.
  void ExploreSecondCut(const std::string& name) {
    const Story& story = Find(name);
    const Package& package = *story.package;
    const Tally first = Explore(name, false);  // its own test checks these disks
    ASSERT_FALSE(first.firstDisks.empty()) << name;
    Tally second;
    size_t recoveries = 0;
    for (const auto& [firstSituation, disk] : first.firstDisks) {
      CTempDir home;
      Materialize(disk, home.Path());
      CMarkingTransport server;
      Serve(server, package);
      StartRecording(Native(home.Path()));
      const RunResult run = Download(home.Path(), package);
      std::vector<CFileCall> calls = StopRecording();
      if (!run.prepared) {
        ADD_FAILURE() << name << ": after the first cut the next start fails: "
                      << (run.messages.empty() ? "" : run.messages.front());
        continue;
      }
      ++recoveries;
      Tally tally;
      if (!ExploreRecord(name + ", cut again during recovery", story, disk, calls, Snapshot(home.Path()), tally))
        continue;
      second.points += tally.points;
      second.built += tally.built;
      second.checked += tally.checked;
      second.possible = std::min<uint64_t>(second.possible + tally.possible, uint64_t(1) << 62);
      second.situations.insert(tally.situations.begin(), tally.situations.end());
      for (const auto& [point, situation] : tally.pointSituations)
        second.pointSituations.insert({point, firstSituation + "|" + situation});
      for (const std::string& failure : tally.failures)
        second.failures.push_back("after the first cut's situation " + std::to_string(recoveries) + ", " + failure);
      second.indexLost.insert(tally.indexLost.begin(), tally.indexLost.end());
      second.mostFetchedAgain = std::max(second.mostFetchedAgain, tally.mostFetchedAgain);
      second.fullSizeNotWhole += tally.fullSizeNotWhole;
    }
    std::cout << "[power cut] " << name << ", cut again during recovery: " << recoveries
              << " recoveries recorded (one per first situation), ";
    Report(name + ", cut again during recovery", story, second, false);
  }

  // The named model of the story's disk.
  static const CDiskModel& ModelOf(const Story& story) {
    if (story.unorderedFolders) {
      if (story.fat || story.staleBlocks || story.sizeAhead) throw std::runtime_error(story.name + ": no named model of its disk");
      return kUnorderedFolders;
    }
    if (story.staleBlocks || story.sizeAhead) {
      if (story.fat && story.staleBlocks && story.sizeAhead) return kFatStaleSizeAhead;
      if (!story.fat && story.staleBlocks && !story.sizeAhead) return kStaleBlocks;
      if (!story.fat && story.sizeAhead && !story.staleBlocks) return kSizeAhead;
      throw std::runtime_error(story.name + ": no named model of its disk");
    }
    return story.fat ? kFatModel : kOrderedJournal;
  }

  // Checks the record's shape and explores it; false when the record cannot be explored.
  bool ExploreRecord(const std::string& name, const Story& story, const CDiskState& initial,
                     const std::vector<CFileCall>& calls, const CDiskState& after, Tally& tally,
                     bool check = true) {
    const Package& package = *story.package;
    // A record that is not this story's download has no crash point that could fail.
    const std::string shape = RecordShapeProblem(calls, ExpectedRecord(package, initial, after));
    EXPECT_EQ("", shape) << name << ": the record is not a download's: " << shape;
    CExplorer explorer(package, initial, calls, story.forgotten, ModelOf(story), story.offlineNext);
    const std::string replay = explorer.RecordProblem();
    EXPECT_EQ("", replay) << name << ": the record cannot be replayed from the story's disk: " << replay;
    if (!shape.empty() || !replay.empty()) return false;
    tally = explorer.Explore(check);
    return true;
  }

  void Report(const std::string& name, const Story& story, const Tally& tally, bool prefix = true) {
    if (prefix) std::cout << "[power cut] " << name << ": ";
    std::cout << tally.points << " crash points, "
              << (tally.possible >= (uint64_t(1) << 62) ? std::string("over 2^62") : std::to_string(tally.possible))
              << " possible states, " << tally.built << " built, " << tally.checked
              << " distinct checked, " << tally.situations.size() << " recovery situations, "
              << tally.pointSituations.size() << " crash point and situation pairs, " << tally.failures.size()
              << " failed\n";
    if (&ModelOf(story) != &kOrderedJournal)
      std::cout << "[power cut] " << name << ": on the model \"" << ModelOf(story).name << "\", "
                << tally.fullSizeNotWhole << " disks hold a part file of its full size that is not the part\n";
    if (story.fat)
      std::cout << "[power cut] " << name << ": the resume index gone in " << tally.indexLost.size()
                << " situations, at most " << tally.mostFetchedAgain << " finished parts fetched again\n";
    for (size_t i = 0; i < tally.failures.size() && i < 5; ++i) ADD_FAILURE() << name << ", " << tally.failures[i];
  }

  static Package s_plain, s_older, s_newer, s_moved;
};

Package PowerCut::s_plain, PowerCut::s_older, PowerCut::s_newer, PowerCut::s_moved;

TEST_F(PowerCut, FirstDownloadOfAFivePartPackage) { Explore("first download"); }
TEST_F(PowerCut, ResumeOverAPartCutShort) { Explore("resume"); }
TEST_F(PowerCut, TheJoin) { Explore("join"); }
TEST_F(PowerCut, APartFailsAfterADoneOne) { Explore("failed part after a done one"); }
TEST_F(PowerCut, ASignedBuildTakesANewReleaseMidDownload) { Explore("signed release copies"); }
TEST_F(PowerCut, TheJoinForgetsADonePartCutShort) { Explore("done part forgotten at the join"); }
TEST_F(PowerCut, ASignedBuildFindsItsPartsWhenTheResumeIndexIsGone) { Explore("resume index lost"); }
TEST_F(PowerCut, AResumeOnFat) { Explore("resume on FAT"); }
TEST_F(PowerCut, ASignedResumeOnFat) { Explore("signed resume on FAT"); }
TEST_F(PowerCut, AResumeWhoseNextStartIsOffline) { Explore("resume, next start offline"); }
TEST_F(PowerCut, ASignedResumeWhoseNextStartIsOffline) { Explore("signed resume, next start offline"); }
TEST_F(PowerCut, TheServerMovesToAnotherVersion) { Explore("version change"); }
TEST_F(PowerCut, AResumeOnStaleBlocks) { Explore("resume, stale blocks"); }
TEST_F(PowerCut, AResumeWithSizesAheadOfData) { Explore("resume, size ahead of data"); }
TEST_F(PowerCut, AResumeOnFatWithStaleClustersAndSizesAhead) { Explore("resume on FAT, stale clusters, size ahead"); }
TEST_F(PowerCut, ASignedResumeOnFatWithStaleClustersAndSizesAhead) {
  Explore("signed resume on FAT, stale clusters, size ahead");
}
TEST_F(PowerCut, AFirstDownloadWithFolderChangesOutOfOrder) { Explore("first download, folder changes out of order"); }
TEST_F(PowerCut, ASignedBuildTakesANewReleaseWithFolderChangesOutOfOrder) {
  Explore("signed release copies, folder changes out of order");
}
TEST_F(PowerCut, ASignedStartUpTakesNoStaleFullSizePart) {
  Explore("signed resume index lost over a stale full-size part");
}
TEST_F(PowerCut, ASignedJoinReplacesAnEarlierCheck) { Explore("signed join over an earlier check"); }
TEST_F(PowerCut, AnInstallerWithAnotherTimeIsCheckedAgain) { Explore("installer checked again at start-up"); }

// A second power cut while the next start recovers from the first: its fresh resume index, the
// parts it fetches again, the join it makes again.
TEST_F(PowerCut, AFirstDownloadCutAgainDuringRecovery) { ExploreSecondCut("first download"); }
TEST_F(PowerCut, AResumeCutAgainDuringRecovery) { ExploreSecondCut("resume"); }
TEST_F(PowerCut, TheForgettingJoinCutAgainDuringRecovery) { ExploreSecondCut("done part forgotten at the join"); }
TEST_F(PowerCut, AResumeOnFatCutAgainDuringRecovery) { ExploreSecondCut("resume on FAT"); }
TEST_F(PowerCut, ASignedResumeOnFatWithStaleClustersCutAgainDuringRecovery) {
  ExploreSecondCut("signed resume on FAT, stale clusters, size ahead");
}
TEST_F(PowerCut, AnInstallerCheckedAgainCutAgainDuringRecovery) { ExploreSecondCut("installer checked again at start-up"); }

// The disk models on a small record, so that a model that builds nothing new cannot pass for one
// that is explored: in the folder "v", a file "part" made, then a file made, two blocks written to
// it at times 10 and 20, flushed at neither, and renamed to "v/done", the folder unflushed.
TEST(PowerCutModels, EachModelBuildsTheDisksItNames) {
  std::vector<CFileCall> calls(4);
  calls[0].kind = CFileCall::kOpen;
  calls[0].handle = 0;
  calls[0].path = "v/new";
  calls[0].create = calls[0].truncate = true;
  calls[0].time = 5;
  for (int i = 1; i <= 2; ++i) {
    calls[i].kind = CFileCall::kWrite;
    calls[i].handle = 0;
    calls[i].offset = (i - 1) * 4;
    calls[i].data = std::string(4, static_cast<char>('a' + i - 1));
    calls[i].time = i * 10;
  }
  calls[3].kind = CFileCall::kRename;
  calls[3].path = "v/new";
  calls[3].to = "v/done";
  CFileCall part;
  part.kind = CFileCall::kOpen;
  part.handle = 1;
  part.path = "v/part";
  part.create = true;
  calls.insert(calls.begin(), part);
  CDiskState initial;
  initial.folders.insert("v");
  auto disks = [&](const CDiskModel& model) {
    std::mt19937 random(1);
    uint64_t possible = 0;
    const std::vector<CDiskState> list = CCrashStates(initial, calls, 4, model).StatesAt(5, 1024, 0, random, possible);
    return std::set<CDiskState>(list.begin(), list.end());
  };
  auto any = [](const std::set<CDiskState>& states, const std::function<bool(const CDiskState&)>& test) {
    return std::any_of(states.begin(), states.end(), test);
  };
  const auto second = [](const CDiskState& d, const std::string& content) {
    const auto file = d.files.find("v/done");
    return file != d.files.end() && file->second == content;
  };

  // Ordered: the rename never survives without the creation; a lost first block reads zeros;
  // the time is the last kept write's, or the creation's.
  const auto ordered = disks(kOrderedJournal);
  EXPECT_TRUE(any(ordered, [&](const CDiskState& d) { return second(d, std::string(4, '\0') + "bbbb"); }));
  EXPECT_FALSE(any(ordered, [&](const CDiskState& d) { return second(d, "aaaa\xA5\xA5\xA5\xA5"); }));
  EXPECT_TRUE(any(ordered, [](const CDiskState& d) { return d.files.count("v/done") && d.times.at("v/done") == 20; }));
  EXPECT_TRUE(any(ordered, [](const CDiskState& d) {
    return d.files.count("v/done") && d.files.at("v/done") == "aaaa" && d.times.at("v/done") == 10;
  }));
  EXPECT_TRUE(any(ordered, [](const CDiskState& d) { return d.files.count("v/done") && d.times.at("v/done") == 5; }));
  EXPECT_FALSE(any(ordered, [](const CDiskState& d) { return d.files.count("v/done") && d.files.at("v/done").size() == 8 &&
                                                             d.files.at("v/done").substr(4) == std::string(4, '\0'); }));
  // Stale blocks: the lost first block reads old bytes.
  EXPECT_TRUE(any(disks(kStaleBlocks), [&](const CDiskState& d) { return second(d, "\xA5\xA5\xA5\xA5" "bbbb"); }));
  // Size ahead: the lost second write still lengthens the file, with zeros behind its size.
  EXPECT_TRUE(any(disks(kSizeAhead), [&](const CDiskState& d) { return second(d, "aaaa" + std::string(4, '\0')); }));
  EXPECT_TRUE(any(disks(kFatStaleSizeAhead), [&](const CDiskState& d) { return second(d, "aaaa\xA5\xA5\xA5\xA5"); }));
  // Out of order: the rename can survive while the earlier creation of "part" is lost.
  const auto renamedWithoutPart = [](const CDiskState& d) { return d.files.count("v/done") && !d.files.count("v/part"); };
  EXPECT_FALSE(any(ordered, renamedWithoutPart));
  EXPECT_TRUE(any(disks(kUnorderedFolders), renamedWithoutPart));
}

// The explorer refuses, in plain words, a record it could pass without checking anything: one
// that holds no download, one without the folder's flush after a replace, one that moves a file
// the story's disk does not hold.
TEST_F(PowerCut, ARecordThatIsNotADownloadFailsPlainly) {
  const Package& package = s_plain;
  CTempDir home, elsewhere;
  CMarkingTransport server;
  Serve(server, package);
  StartRecording(Native(elsewhere.Path()));  // not the home folder the story writes in
  ASSERT_EQ(1, Download(home.Path(), package).prepared);
  const std::vector<CFileCall> unrelated = StopRecording();
  const CExpectedRecord whole = ExpectedRecord(package, CDiskState(), Snapshot(home.Path()));
  ASSERT_EQ(5u, whole.parts.size());
  EXPECT_NE(std::string::npos, RecordShapeProblem(unrelated, whole).find("holds no file call")) << RecordShapeProblem(unrelated, whole);

  // The story's own record, without the flush of the version folder after the first part's record.
  CTempDir again;
  CScriptedTransport second;
  Serve(second, package);
  StartRecording(Native(again.Path()));
  ASSERT_EQ(1, Download(again.Path(), package).prepared);
  std::vector<CFileCall> calls = StopRecording();
  ASSERT_EQ("", RecordShapeProblem(calls, whole));
  const auto firstPart = std::find_if(calls.begin(), calls.end(), [&](const CFileCall& c) {
    return c.kind == CFileCall::kOpen && c.path == "7.2/" + package.partNames[0];
  });
  const auto replace = std::find_if(firstPart, calls.end(), [](const CFileCall& c) {
    return c.kind == CFileCall::kRename && c.to == "7.2/pkgindex.txt";
  });
  ASSERT_NE(calls.end(), replace);
  const auto folderFlush = std::find_if(replace, calls.end(), [](const CFileCall& c) { return c.kind == CFileCall::kFlush; });
  ASSERT_NE(calls.end(), folderFlush);
  std::vector<CFileCall> unflushed = calls;
  unflushed.erase(unflushed.begin() + (folderFlush - calls.begin()));
  EXPECT_EQ("the replace of 7.2/pkgindex.txt that records " + package.partNames[0] +
                " is not followed by a flush of the folder 7.2",
            RecordShapeProblem(unflushed, whole));

  // Replayed from a disk that lacks the home index the record moves: named, not "map::at".
  CDiskState initial;
  std::vector<CFileCall> moves(1);
  moves[0].kind = CFileCall::kRename;
  moves[0].path = "pkgindex.txt.tmp";
  moves[0].to = "pkgindex.txt";
  EXPECT_EQ("call 1 (rename pkgindex.txt.tmp -> pkgindex.txt) moves pkgindex.txt.tmp, which is not on the disk",
            CExplorer(package, initial, moves).RecordProblem());
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; ++i)
    if (std::string(argv[i]) == "--long")
      g_settings = kLongForm;
    else if (std::string(argv[i]) == "--calls")
      g_printCalls = true;
  // Each check flushes every file it writes: on a memory-backed folder that costs nothing.
  if (getenv("TMPDIR") == nullptr && access("/dev/shm", W_OK) == 0) setenv("TMPDIR", "/dev/shm", 1);
  return RUN_ALL_TESTS();
}
