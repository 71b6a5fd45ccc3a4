// What a story's record of file calls must show before its crash points mean anything: a record
// that holds no download (a recording that watched another folder, a story that wrote nothing)
// has no crash point that could fail, and would pass.
#pragma once

#include <string>
#include <vector>

#include "reliability/file_call_recorder.h"

struct CExpectedRecord {
  std::string folder;              // the version folder, relative to the recorded one
  std::vector<std::string> parts;  // the parts the run finished, in the order of the join
  // The parts the run recorded done without fetching them: a signed build's start-up found their
  // files whole where the resume index was gone.
  std::vector<std::string> recovered;
  bool forgets = false;            // the run took a done part's record back
  bool join = false;               // the run joined the installer
};

// "" when the record holds, for each finished part in order, one flush of its file followed by a
// replace of the resume index and a flush of the folder; for a forgotten part, a replace of the
// resume index and a flush of the folder; for the parts recovered at start-up, a replace of the
// resume index before any part's flush, and a flush of the folder; for a join, the move of the joined file onto
// corvane.exe and a flush of the folder. Each folder flush comes before the folder's next change.
// Otherwise what is missing, in plain words.
std::string RecordShapeProblem(const std::vector<CFileCall>& calls, const CExpectedRecord& expected);
