// The disk states a power cut could leave, built from a record of file-system calls under this
// model of the disk:
//   - a file's content as of its last fsync survives;
//   - a write not yet flushed may be lost, or kept in part: each block of it (blockBytes, at
//     block-aligned offsets) is kept or lost on its own, in any combination; a lost block inside
//     the file's surviving length reads as zeros; emptying a file on open is lost or kept likewise;
//   - a folder change (create, rename, unlink, mkdir) survives once its folder is flushed; of the
//     changes made in one folder since its last flush, those that survive are the first few, in
//     the order they were made (a journal keeps its order); folders are independent;
//   - what lies in a folder whose own entry was lost is lost with it;
//   - a file's time of writing is that of the last of its writes the disk kept (emptying on open
//     counts as one), else that of its last flush, else that of its creation;
//   - on a disk whose replace is not atomic (FAT, exFAT: `nonAtomicReplace`), a rename onto a
//     name that is taken is two changes of its folder, the old file's removal and then the
//     rename, so a power cut between them leaves neither;
//   - on a disk that hands out blocks without clearing them (`staleBlocks`), a lost block inside
//     the file's surviving length reads as what the block held before: old bytes, not zeros;
//   - on a disk that may keep a file's size without the data behind it (`sizeAhead`), a lost
//     write still lengthens the file, and what it would have written reads as zeros (or, with
//     stale blocks, old bytes);
//   - on a disk that writes a folder's changes out in no fixed order (`unorderedFolders`), any
//     of the changes since the folder's last flush may survive without those made before it.
#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "reliability/file_call_recorder.h"

// A folder tree: paths relative to its root, '/' between names.
struct CDiskState {
  std::set<std::string> folders;
  std::map<std::string, std::string> files;
  // Each file's time of writing (ns): that of the last write the disk kept, or of its creation.
  std::map<std::string, long long> times;
  bool operator<(const CDiskState& other) const {
    if (folders != other.folders) return folders < other.folders;
    return files != other.files ? files < other.files : times < other.times;
  }
};

// How a file system may fare in a power cut, beyond what every model above shares.
struct CDiskModel {
  const char* name;
  bool nonAtomicReplace;  // FAT, exFAT: a replace is a removal and a rename
  bool staleBlocks;       // a lost block reads as old bytes
  bool sizeAhead;         // a file's size may be kept without its data
  bool unorderedFolders;  // a folder's unflushed changes survive in any combination
};
// A journal that keeps its order and writes a file's data before its size (ext4's default).
constexpr CDiskModel kOrderedJournal{"ordered journal", false, false, false, false};
constexpr CDiskModel kFatModel{"FAT", true, false, false, false};
// Blocks handed out uncleared, read back with what they held (a journal that logs only
// metadata, ext4's writeback mode).
constexpr CDiskModel kStaleBlocks{"stale blocks", false, true, false, false};
// The size logged before the data behind it is written: a file longer than what reached it.
constexpr CDiskModel kSizeAhead{"size ahead of data", false, false, true, false};
// FAT's clusters are reused uncleared and its size field written on its own: all of it.
constexpr CDiskModel kFatStaleSizeAhead{"FAT, stale clusters, size ahead", true, true, true, false};
// A folder's changes written out in no fixed order: a later rename kept, an earlier one lost.
constexpr CDiskModel kUnorderedFolders{"folder changes out of order", false, false, false, true};

// The old bytes a stale block holds where the file held nothing before: a freed cluster's.
constexpr char kStaleByte = '\xA5';

class CCrashStates {
 public:
  CCrashStates(const CDiskState& initial, std::vector<CFileCall> calls, size_t blockBytes,
               const CDiskModel& model = kOrderedJournal);

  // "" when the record can be replayed from the initial disk; otherwise which call it cannot
  // follow and why, e.g. a move of a file that disk does not hold (the replay of a crash point
  // throws std::runtime_error with the same text).
  std::string RecordProblem() const;

  // The points a power cut can strike: the number of calls carried out before it, 0 included,
  // leaving out points where the disk cannot differ from the point before (after a mark or a
  // read).
  std::vector<size_t> CrashPoints() const;

  // The states the disk may hold when the power is cut after `point` calls: every one when there
  // are at most `exhaustiveLimit`, otherwise `samples` drawn with `random` plus the two extremes
  // (everything kept, everything unflushed lost). `possible` is the count of every state (capped
  // at 2^62).
  std::vector<CDiskState> StatesAt(size_t point, uint64_t exhaustiveLimit, size_t samples, std::mt19937& random,
                                   uint64_t& possible) const;

  // The contents the program put under `path` by renaming a file onto it before `point`, oldest
  // first, after the initial content if there was one.
  std::vector<std::string> PlacedContents(const std::string& path, size_t point) const;
  // The same for every path a rename placed a file at before `point`.
  std::map<std::string, std::vector<std::string>> AllPlacedContents(size_t point) const;

  const std::vector<CFileCall>& Calls() const { return m_calls; }

 private:
  CDiskState m_initial;
  std::vector<CFileCall> m_calls;
  size_t m_nBlockBytes;
  CDiskModel m_model;
};
