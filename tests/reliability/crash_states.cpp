#include "reliability/crash_states.h"

#include <algorithm>
#include <stdexcept>

namespace {

// One unflushed change to a file's content: a block's worth of a write, or the emptying on open.
struct Piece {
  bool truncate = false;
  long long offset = 0;
  std::string data;
  long long time = 0;  // the file's time of writing once this piece is on the disk
};

struct Inode {
  bool folder = false;
  std::string durable;  // as of the last fsync
  std::string current;  // as the program sees it
  std::vector<Piece> pending;
  long long durableTime = 0;  // the time of writing as of the last fsync
};

// A change to a folder's entries.
struct Change {
  std::string folder;
  CFileCall::Kind kind;
  std::string path, to;
  int inode = -1;
  bool durable = false;
};

std::string Parent(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// `fill`: what a block the file grows over, and no write reached, reads as.
void Apply(std::string& content, const Piece& piece, char fill = '\0') {
  if (piece.truncate) {
    content.clear();
    return;
  }
  const size_t end = static_cast<size_t>(piece.offset) + piece.data.size();
  if (content.size() < end) content.resize(end, fill);
  content.replace(static_cast<size_t>(piece.offset), piece.data.size(), piece.data);
}

// A write lost on a disk that kept the file's size: the file is as long as the write made it.
void Lengthen(std::string& content, const Piece& piece, char fill) {
  const size_t end = static_cast<size_t>(piece.offset) + piece.data.size();
  if (!piece.truncate && content.size() < end) content.resize(end, fill);
}

// A record the replay cannot follow: a call on a file or handle it does not know, as when the
// recording watched another folder than the one the story's disk was taken from.
[[noreturn]] void Unknown(const CFileCall& call, size_t at, const std::string& what) {
  throw std::runtime_error("call " + std::to_string(at + 1) + " (" + DescribeCall(call) + ") " + what);
}

// The program's calls replayed up to a point: what it sees, and what is not yet durable.
struct Replay {
  std::vector<Inode> inodes;
  std::map<std::string, int> initialNames, names;
  std::vector<Change> changes;
  std::map<std::string, std::vector<std::string>> placed;
};

Replay Run(const CDiskState& initial, const std::vector<CFileCall>& calls, size_t point, size_t blockBytes,
           bool nonAtomicReplace) {
  Replay r;
  auto add = [&r](bool folder, const std::string& content, long long time = 0) {
    r.inodes.push_back({folder, content, content, {}, time});
    return static_cast<int>(r.inodes.size() - 1);
  };
  r.names[""] = add(true, "");
  for (const std::string& folder : initial.folders) r.names[folder] = add(true, "");
  for (const auto& [path, content] : initial.files) {
    const auto time = initial.times.find(path);
    r.names[path] = add(false, content, time == initial.times.end() ? 0 : time->second);
    r.placed[path].push_back(content);
  }
  r.initialNames = r.names;
  std::map<int, int> handles;  // the record's handle: inode
  std::map<int, std::string> handlePaths;
  for (size_t i = 0; i < point && i < calls.size(); ++i) {
    const CFileCall& call = calls[i];
    switch (call.kind) {
      case CFileCall::kOpen: {
        const auto found = r.names.find(call.path);
        int inode = found != r.names.end() ? found->second : -1;
        if (inode < 0) {
          if (!call.create) break;
          inode = r.names[call.path] = add(false, "", call.time);
          r.changes.push_back({Parent(call.path), CFileCall::kOpen, call.path, "", inode});
        }
        handles[call.handle] = inode;
        handlePaths[call.handle] = call.path;
        Inode& file = r.inodes[inode];
        if (call.truncate && !(file.durable.empty() && file.pending.empty())) {
          file.current.clear();
          file.pending.push_back({true, 0, "", call.time});
        }
        break;
      }
      case CFileCall::kWrite: {
        if (handles.count(call.handle) == 0) Unknown(call, i, "writes to a file the record never opened");
        Inode& file = r.inodes[handles[call.handle]];
        for (size_t at = 0; at < call.data.size();) {
          const long long offset = call.offset + static_cast<long long>(at);
          const size_t room = blockBytes - static_cast<size_t>(offset) % blockBytes;
          const size_t length = std::min(room, call.data.size() - at);
          file.pending.push_back({false, offset, call.data.substr(at, length), call.time});
          Apply(file.current, file.pending.back());
          at += length;
        }
        break;
      }
      case CFileCall::kFlush: {
        if (handles.count(call.handle) == 0) Unknown(call, i, "flushes a file the record never opened");
        Inode& inode = r.inodes[handles[call.handle]];
        if (inode.folder) {
          for (Change& change : r.changes)
            if (change.folder == handlePaths[call.handle]) change.durable = true;
        } else {
          inode.durable = inode.current;
          if (!inode.pending.empty()) inode.durableTime = inode.pending.back().time;
          inode.pending.clear();
        }
        break;
      }
      case CFileCall::kRename: {
        if (r.names.count(call.path) == 0) Unknown(call, i, "moves " + call.path + ", which is not on the disk");
        const int inode = r.names[call.path];
        if (nonAtomicReplace && r.names.count(call.to) != 0)
          r.changes.push_back({Parent(call.to), CFileCall::kUnlink, call.to, "", -1});
        r.names.erase(call.path);
        r.names[call.to] = inode;
        // The program renames only within a folder: the change is the target folder's.
        r.changes.push_back({Parent(call.to), CFileCall::kRename, call.path, call.to, inode});
        r.placed[call.to].push_back(r.inodes[inode].current);
        break;
      }
      case CFileCall::kUnlink:
      case CFileCall::kRemoveFolder:
        r.names.erase(call.path);
        r.changes.push_back({Parent(call.path), CFileCall::kUnlink, call.path, "", -1});
        break;
      case CFileCall::kMakeFolder: {
        const int inode = r.names[call.path] = add(true, "");
        r.changes.push_back({Parent(call.path), CFileCall::kMakeFolder, call.path, "", inode});
        break;
      }
      case CFileCall::kMark:
        break;
    }
  }
  return r;
}

// One way the unflushed changes may have fared: per folder, how many of its loose changes
// survive; per unflushed piece, whether it does.
struct Choice {
  std::vector<size_t> kept;
  std::vector<bool> pieces;
};

CDiskState Build(const Replay& r, const std::vector<std::vector<size_t>>& loose,
                 const std::vector<std::pair<int, size_t>>& pieces, const Choice& choice, const CDiskModel& model) {
  const char fill = model.staleBlocks ? kStaleByte : '\0';
  std::vector<bool> lost(r.changes.size(), false);
  for (size_t f = 0; f < loose.size(); ++f)
    for (size_t j = choice.kept[f]; j < loose[f].size(); ++j) lost[loose[f][j]] = true;
  std::map<std::string, int> names = r.initialNames;
  for (size_t i = 0; i < r.changes.size(); ++i) {
    const Change& change = r.changes[i];
    if (lost[i]) continue;
    if (change.kind == CFileCall::kRename) {
      const auto from = names.find(change.path);
      if (from == names.end()) continue;
      const int inode = from->second;
      names.erase(from);
      names[change.to] = inode;
    } else if (change.kind == CFileCall::kUnlink) {
      names.erase(change.path);
    } else {
      names[change.path] = change.inode;
    }
  }
  std::map<int, std::string> contents;
  std::map<int, long long> times;
  for (size_t p = 0; p < pieces.size(); ++p) {
    const auto [inode, index] = pieces[p];
    if (contents.count(inode) == 0) contents[inode] = r.inodes[inode].durable;
    if (choice.pieces[p]) {
      Apply(contents[inode], r.inodes[inode].pending[index], fill);
      times[inode] = r.inodes[inode].pending[index].time;
    } else if (model.sizeAhead) {
      Lengthen(contents[inode], r.inodes[inode].pending[index], fill);
    }
  }
  CDiskState state;
  for (const auto& [path, inode] : names) {
    if (path.empty()) continue;
    bool reachable = true;
    for (std::string up = Parent(path); reachable && !up.empty(); up = Parent(up)) {
      const auto found = names.find(up);
      reachable = found != names.end() && r.inodes[found->second].folder;
    }
    if (!reachable) continue;
    if (r.inodes[inode].folder)
      state.folders.insert(path);
    else
    {
      state.files[path] = contents.count(inode) ? contents[inode] : r.inodes[inode].durable;
      state.times[path] = times.count(inode) ? times[inode] : r.inodes[inode].durableTime;
    }
  }
  return state;
}

}  // namespace

CCrashStates::CCrashStates(const CDiskState& initial, std::vector<CFileCall> calls, size_t blockBytes,
                           const CDiskModel& model)
    : m_initial(initial), m_calls(std::move(calls)), m_nBlockBytes(blockBytes), m_model(model) {}

std::vector<size_t> CCrashStates::CrashPoints() const {
  std::vector<size_t> points{0};
  for (size_t i = 0; i < m_calls.size(); ++i) {
    const CFileCall& call = m_calls[i];
    if (call.kind == CFileCall::kMark || (call.kind == CFileCall::kOpen && !call.create && !call.truncate)) continue;
    points.push_back(i + 1);
  }
  return points;
}

std::vector<CDiskState> CCrashStates::StatesAt(size_t point, uint64_t exhaustiveLimit, size_t samples,
                                                std::mt19937& random, uint64_t& possible) const {
  const Replay r = Run(m_initial, m_calls, point, m_nBlockBytes, m_model.nonAtomicReplace);
  std::map<std::string, std::vector<size_t>> looseByFolder;
  for (size_t i = 0; i < r.changes.size(); ++i)
    if (!r.changes[i].durable) looseByFolder[r.changes[i].folder].push_back(i);
  std::vector<std::vector<size_t>> loose;
  for (auto& [folder, changes] : looseByFolder) {
    if (!m_model.unorderedFolders) {
      loose.push_back(changes);
      continue;
    }
    // Out of order: each change survives or not on its own, as if it were a folder of its own.
    for (size_t change : changes) loose.push_back({change});
  }
  std::vector<std::pair<int, size_t>> pieces;
  for (size_t inode = 0; inode < r.inodes.size(); ++inode)
    for (size_t j = 0; j < r.inodes[inode].pending.size(); ++j) pieces.push_back({static_cast<int>(inode), j});

  const uint64_t cap = uint64_t(1) << 62;
  possible = 1;
  auto times = [&](uint64_t n) { possible = possible > cap / n ? cap : possible * n; };
  for (const auto& changes : loose) times(changes.size() + 1);
  for (size_t p = 0; p < pieces.size(); ++p) times(2);

  std::vector<CDiskState> states;
  Choice choice{std::vector<size_t>(loose.size(), 0), std::vector<bool>(pieces.size(), false)};
  if (possible <= exhaustiveLimit) {
    for (uint64_t n = 0; n < possible; ++n) {
      uint64_t rest = n;  // n in mixed radix: folders first, then pieces
      for (size_t f = 0; f < loose.size(); ++f) {
        choice.kept[f] = rest % (loose[f].size() + 1);
        rest /= loose[f].size() + 1;
      }
      for (size_t p = 0; p < pieces.size(); ++p, rest /= 2) choice.pieces[p] = rest % 2 == 1;
      states.push_back(Build(r, loose, pieces, choice, m_model));
    }
    return states;
  }
  states.push_back(Build(r, loose, pieces, choice, m_model));  // everything unflushed lost
  for (size_t f = 0; f < loose.size(); ++f) choice.kept[f] = loose[f].size();
  choice.pieces.assign(pieces.size(), true);
  states.push_back(Build(r, loose, pieces, choice, m_model));  // everything kept, as after a kill
  for (size_t s = 0; s < samples; ++s) {
    for (size_t f = 0; f < loose.size(); ++f)
      choice.kept[f] = std::uniform_int_distribution<size_t>(0, loose[f].size())(random);
    for (size_t p = 0; p < pieces.size(); ++p) choice.pieces[p] = (random() & 1) != 0;
    states.push_back(Build(r, loose, pieces, choice, m_model));
  }
  return states;
}

std::string CCrashStates::RecordProblem() const {
  try {
    Run(m_initial, m_calls, m_calls.size(), m_nBlockBytes, m_model.nonAtomicReplace);
  } catch (const std::runtime_error& problem) {
    return problem.what();
  }
  return "";
}

std::vector<std::string> CCrashStates::PlacedContents(const std::string& path, size_t point) const {
  Replay r = Run(m_initial, m_calls, point, m_nBlockBytes, m_model.nonAtomicReplace);
  return r.placed[path];
}

std::map<std::string, std::vector<std::string>> CCrashStates::AllPlacedContents(size_t point) const {
  return Run(m_initial, m_calls, point, m_nBlockBytes, m_model.nonAtomicReplace).placed;
}
