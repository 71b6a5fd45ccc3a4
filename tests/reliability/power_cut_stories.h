// The power-cut stories: what a user does with the program, run through its own start-up and
// worker against a scripted server. The native explorer records and replays their file calls;
// under Wine the same stories show the calls the program makes to Windows.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

class CScriptedTransport;

// A package as the vendor publishes it.
struct Package {
  std::string version;
  std::string installer;
  std::vector<std::string> partNames;        // in the order of the join
  std::map<std::string, std::string> files;  // name on the server: content
  std::string publicKey;                     // the build's package key; empty: the unsigned build
  const std::string& Part(const std::string& name) const { return files.at(name); }
};

// Cut by pkgmake's own code from a made-up installer whose bytes depend on the version: five
// parts of 8 KiB (the last 3,000 bytes); signed with the key file, as `release`, when one is
// given (natively only).
Package MakeTestPackage(const std::string& keyFile = "", const std::string& publicKey = "",
                        const std::string& release = "", const std::string& version = "7.2");

// The server answers every file of the package.
void Serve(CScriptedTransport& server, const Package& package);

struct RunResult {
  int prepared = 0;
  unsigned result = 0;
  bool installEnabled = false;
  std::vector<std::string> messages;
};

// What a user does: starts the program from `home` and, unless Install is offered at once,
// presses Download.
RunResult Download(const std::string& home, const Package& package);

struct Story {
  std::string name;
  const Package* package;  // what the server offers in the story's run
  // Brings the home folder to where the story starts (its run is what counts).
  std::function<void(const std::string& home, CScriptedTransport& server)> setUp;
  // The server's answers during the run, beyond serving the package.
  std::function<void(CScriptedTransport& server)> script;
  unsigned result;  // the worker's result in the run
  // A part recorded done whose file the join finds damaged, so the run takes its record back:
  // until that record is on the disk, it is the story's premise, not a loss.
  std::string forgotten = {};
  // The disk is FAT or exFAT (a USB stick, an SD card): a replace there is a removal and a
  // rename, and a power cut between the two leaves neither the old file nor the new.
  bool fat = false;
  // The start after the power cut finds the server down: it must start from the copies kept
  // here and lose no record; the start after that, with the server back, must finish.
  bool offlineNext = false;
  // The disk hands out blocks uncleared (a lost block reads as old bytes, not zeros), and may
  // keep a file's size without the data behind it (a file longer than what reached it).
  bool staleBlocks = false;
  bool sizeAhead = false;
  // The disk writes a folder's changes out in no fixed order between its flushes.
  bool unorderedFolders = false;
};

// The stories: a first download, a resume over a part cut short, the join, a part that fails
// after a done one, a signed build that takes a new release (`newer`) mid-download of an older
// one (`older`), a join that finds a done part cut short and forgets it; a signed build whose
// resume index is gone; a resume on FAT in each build; a resume whose next start is offline, in
// each build; and, given a package of another version (`moved`), a server that moves to it
// mid-download.
std::vector<Story> PowerCutStories(const Package& plain, const Package& older, const Package& newer,
                                   const Package* moved = nullptr);
