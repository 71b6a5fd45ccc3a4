// The power-cut stories on Windows: each runs in a fresh home folder, between two markers that
// the debug channel carries ("power-cut story: <name> | <home> | done: <parts>" and
// "power-cut end"), so that a log of the program's calls to Windows (Wine's relay channel, see
// windows_file_calls.py) can be cut into stories and checked. The first marker also names the
// story's home folder and the parts its resume index records done as the run begins (as
// <version>\<part>, comma-separated), which the log cannot show. Exit status 0 when every story's
// run ended as it should.
#include <windows.h>

#include <cstdio>

#include "common/path.h"
#include "index/package_index.h"
#include "reliability/power_cut_stories.h"
#include "support/scripted_transport.h"
#include "support/temp_dir.h"

namespace {

#include "unit/signature_vectors.inc"

// The signed package of the tests' vectors (the native pkgmake signed it; no signing here):
// version 3.1, three parts of 1024 bytes (the last 952), as release 1 and as release 324.
Package VectorPackage(int release) {
  Package package;
  package.version = "3.1";
  package.publicKey = kVectorPublicKey;
  for (int i = 0; i < 3000; ++i) package.installer += static_cast<char>((i * 31 + 7) % 256);
  std::string index = "1\n3.1\n3\n1024\n";
  for (int i = 0; i < 3; ++i) {
    const std::string name = "corvane.part00" + std::to_string(i + 1);
    package.partNames.push_back(name);
    package.files[name] = package.installer.substr(i * 1024, 1024);
    index += name + "\n0\n";
  }
  package.files["pkgindex.txt"] = index;
  package.files["pkgrelease.txt"] = kVectorReleases[release];
  return package;
}

// The parts the story's resume index records done before its run, as the first marker lists them.
std::string DoneParts(const std::string& home, const Package& package) {
  CPackageIndex index;
  int reason = 0;
  std::string list;
  if (!index.Read(JoinPath(JoinPath(home, package.version), "pkgindex.txt"), reason)) return list;
  for (const CPackagePart& part : index.m_parts)
    if (part.m_bDone) list += (list.empty() ? "" : ",") + JoinPath(package.version, part.m_strName);
  return list;
}

}  // namespace

int main() {
  const Package plain = MakeTestPackage();
  const Package older = VectorPackage(0), newer = VectorPackage(1);
  int failures = 0;
  for (const Story& story : PowerCutStories(plain, older, newer)) {
    CTempDir home;
    CScriptedTransport server;
    if (story.setUp) story.setUp(home.Path(), server);
    Serve(server, *story.package);
    if (story.script) story.script(server);
    OutputDebugStringA(
        ("power-cut story: " + story.name + " | " + home.Path() + " | done: " + DoneParts(home.Path(), *story.package))
            .c_str());
    const RunResult run = Download(home.Path(), *story.package);
    OutputDebugStringA("power-cut end");
    const bool ok = run.prepared == 1 && run.result == story.result;
    printf("%s: %s (start-up %d, worker %u)\n", story.name.c_str(), ok ? "ran" : "FAILED", run.prepared, run.result);
    failures += ok ? 0 : 1;
  }
  return failures == 0 ? 0 : 1;
}
