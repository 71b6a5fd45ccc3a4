// Records, in order, the file-system calls the program makes under one folder, for the power-cut
// explorer. The explorer is linked with -Wl,--wrap for each C library call named in
// file_call_recorder.cpp, so the program's own objects reach the system through these wrappers,
// which pass every call on and note what it changed. The product is built and linked as always.
#pragma once

#include <string>
#include <vector>

struct CFileCall {
  enum Kind { kOpen, kWrite, kFlush, kRename, kUnlink, kMakeFolder, kRemoveFolder, kMark };
  Kind kind = kMark;
  int handle = -1;        // kOpen, kWrite, kFlush: which open file or folder
  std::string path;       // relative to the recorded folder, '/' between names; kMark: the note
  std::string to;         // kRename: the new name
  bool create = false;    // kOpen: the file is made when missing
  bool truncate = false;  // kOpen: an existing file is emptied
  long long offset = 0;   // kWrite
  std::string data;       // kWrite: the bytes handed to the system
  long long time = 0;     // kOpen, kWrite: the file's time of writing after the call (ns)
};

// Starts a new record of the calls on paths under `root` (a native path).
void StartRecording(const std::string& root);
// Ends the record and hands it over.
std::vector<CFileCall> StopRecording();
// Adds the story's own event to the record, e.g. that a part's request went out.
void MarkRecord(const std::string& note);

// One line per call, for a failure's report.
std::string DescribeCall(const CFileCall& call);
