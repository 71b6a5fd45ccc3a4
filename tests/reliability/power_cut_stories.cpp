#include "reliability/power_cut_stories.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>

#include "common/file_system.h"
#include "common/path.h"
#include "support/memory_view.h"
#include "support/message_recorder.h"
#include "support/scripted_transport.h"
#include "support/temp_dir.h"
#include "tools/pkgmake/package_maker.h"
#include "transfer/package_download.h"
#include "trust/signed_release.h"

namespace fs = std::filesystem;

namespace {

const std::string kRemote = "/download/brisko/";

// Cut after its first block on every attempt.
void CutEveryTime(CScriptedTransport& server, const Package& package, const std::string& name) {
  ScriptedResponse cut = ScriptedResponse::Ok(package.Part(name));
  cut.failAfterBlocks = 1;
  server.Answer(kRemote + name, cut);
}

}  // namespace

Package MakeTestPackage(const std::string& keyFile, const std::string& publicKey, const std::string& release,
                        const std::string& version) {
  CTempDir work;
  Package package;
  package.version = version;
  package.publicKey = publicKey;
  const int shift = version == "7.2" ? 0 : static_cast<int>(version.size() + version.back());
  for (int i = 0; i < 4 * 8192 + 3000; ++i) package.installer += static_cast<char>((i * 131 + i / 251 + shift) % 256);
  WriteFile(work / "setup.exe", package.installer);
  std::string message, report;
  if (MakePackage({work / "setup.exe", package.version, "8192", work / "out", keyFile, release}, message, report) != 0)
    throw std::runtime_error(message);
  for (const auto& entry : fs::directory_iterator(NativePath(work / "out"))) {
    const std::string name = entry.path().filename().string();
    package.files[name] = ReadFile(work / ("out\\" + name));
    if (name.find(".part") != std::string::npos) package.partNames.push_back(name);
  }
  std::sort(package.partNames.begin(), package.partNames.end());
  return package;
}

void Serve(CScriptedTransport& server, const Package& package) {
  for (const auto& [name, content] : package.files) server.Answer(kRemote + name, ScriptedResponse::Ok(content));
}

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

std::vector<Story> PowerCutStories(const Package& plain, const Package& older, const Package& newer,
                                   const Package* moved) {
  const Package* p = &plain;
  // Two parts done, the third cut short by the line on every attempt.
  auto cutThird = [](const Package* package) {
    return [package](const std::string& home, CScriptedTransport& server) {
      Serve(server, *package);
      CutEveryTime(server, *package, package->partNames[2]);
      Download(home, *package);
    };
  };
  std::vector<Story> stories = {
      {"first download", p, nullptr, nullptr, 0},
      {"resume", p, cutThird(p), nullptr, 0},
      // Every part done, the installer not yet joined.
      {"join", p,
       [p](const std::string& home, CScriptedTransport& server) {
         Serve(server, *p);
         Download(home, *p);
         RemoveFile(JoinPath(JoinPath(home, p->version), "corvane.exe"));
       },
       nullptr, 0},
      {"failed part after a done one", p, nullptr,
       [p](CScriptedTransport& server) { CutEveryTime(server, *p, p->partNames[1]); }, 9},
      // Release `older` half fetched, its copies in the home and version folders; then the
      // server offers `newer` of the same installer: both copies are replaced, the rest fetched,
      // the installer joined, checked, and its check recorded.
      {"signed release copies", &newer, cutThird(&older), nullptr, 0},
      // Every part done, the installer not yet joined, and the third part's file cut to half
      // its length since (a disk tool, a user): the join stops at it and takes its record back.
      {"done part forgotten at the join", p,
       [p](const std::string& home, CScriptedTransport& server) {
         Serve(server, *p);
         Download(home, *p);
         const std::string folder = JoinPath(home, p->version);
         RemoveFile(JoinPath(folder, "corvane.exe"));
         const std::string& third = p->partNames[2];
         WriteFile(JoinPath(folder, third), p->Part(third).substr(0, p->Part(third).size() / 2));
       },
       nullptr, 9, p->partNames[2]},
      // Two parts done and the third cut short, then the resume index lost whole (a power cut
      // during its replace on FAT or exFAT): the signed build finds the two by their hashes.
      {"resume index lost", &older,
       [o = &older, cutThird](const std::string& home, CScriptedTransport& server) {
         cutThird(o)(home, server);
         RemoveFile(JoinPath(JoinPath(home, o->version), "pkgindex.txt"));
       },
       nullptr, 0},
      // The resume story on a disk whose replace is not atomic, in each build.
      {"resume on FAT", p, cutThird(p), nullptr, 0, {}, true},
      {"signed resume on FAT", &older, cutThird(&older), nullptr, 0, {}, true},
      {"resume, next start offline", p, cutThird(p), nullptr, 0, {}, false, true},
      {"signed resume, next start offline", &older, cutThird(&older), nullptr, 0, {}, false, true},
  };
  // The resume story on disks that may leave a part's file holding old bytes or longer than
  // what reached it: only the records, written after a flush (and, signed, the release's
  // hashes), may tell a done part.
  stories.push_back({"resume, stale blocks", p, cutThird(p), nullptr, 0, {}, false, false, true, false});
  stories.push_back({"resume, size ahead of data", p, cutThird(p), nullptr, 0, {}, false, false, false, true});
  stories.push_back({"resume on FAT, stale clusters, size ahead", p, cutThird(p), nullptr, 0, {}, true, false, true, true});
  stories.push_back(
      {"signed resume on FAT, stale clusters, size ahead", &older, cutThird(&older), nullptr, 0, {}, true, false, true, true});
  // Two earlier cuts on FAT with stale clusters: one left the third part's file at its full size
  // with old bytes behind its first half, one the resume index gone. The signed start-up must
  // find the first two by their hashes and not take the third, whose size alone is right.
  stories.push_back({"signed resume index lost over a stale full-size part", &older,
                     [o = &older, cutThird](const std::string& home, CScriptedTransport& server) {
                       cutThird(o)(home, server);
                       const std::string folder = JoinPath(home, o->version), third = o->partNames[2];
                       const std::string& bytes = o->Part(third);
                       const size_t arrived = bytes.size() / 2;
                       WriteFile(JoinPath(folder, third), bytes.substr(0, arrived) + std::string(bytes.size() - arrived, '\xA5'));
                       RemoveFile(JoinPath(folder, "pkgindex.txt"));
                     },
                     nullptr, 0, {}, true, false, true, true});
  // A first download, and a signed one, on a disk that may keep a later change of a folder and
  // lose an earlier one: the resume index's replace kept, the creation of the part it records lost
  // (the worker flushes the folder before it records a part, so that this cannot be).
  stories.push_back({"first download, folder changes out of order", p, nullptr, nullptr, 0, {}, false, false, false,
                     false, true});
  stories.push_back({"signed release copies, folder changes out of order", &newer, cutThird(&older), nullptr, 0, {},
                     false, false, false, false, true});
  // A signed build's joined installer, checked and its check recorded beside it; then the
  // installer gone (a user deleted it): the join runs again, over the earlier record, and
  // replaces that record.
  auto signedDone = [o = &older](const std::string& home, CScriptedTransport& server) {
    Serve(server, *o);
    Download(home, *o);
  };
  stories.push_back({"signed join over an earlier check", &older,
                     [o = &older, signedDone](const std::string& home, CScriptedTransport& server) {
                       signedDone(home, server);
                       RemoveFile(JoinPath(JoinPath(home, o->version), "corvane.exe"));
                     },
                     nullptr, 0});
  // The same installer, whole, with another time of writing than its record names (copied back
  // by a backup tool): start-up checks it in full again and replaces the record.
  stories.push_back({"installer checked again at start-up", &older,
                     [o = &older, signedDone](const std::string& home, CScriptedTransport& server) {
                       signedDone(home, server);
                       const fs::path installer = NativePath(JoinPath(JoinPath(home, o->version), "corvane.exe"));
                       fs::last_write_time(installer, fs::last_write_time(installer) + std::chrono::seconds(1));
                     },
                     nullptr, 0});
  // Two parts of 7.2 done and the third cut short; then the server offers another version: its
  // folder is made beside the first and every part of it fetched.
  if (moved != nullptr) stories.push_back({"version change", moved, cutThird(p), nullptr, 0});
  return stories;
}
