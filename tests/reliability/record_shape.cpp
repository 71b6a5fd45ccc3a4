#include "reliability/record_shape.h"

#include <algorithm>
#include <map>

namespace {

constexpr size_t kNone = static_cast<size_t>(-1);

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

class CRecordReader {
 public:
  explicit CRecordReader(const std::vector<CFileCall>& calls) : m_calls(calls) {
    for (const CFileCall& call : calls)
      if (call.kind == CFileCall::kOpen) m_opened[call.handle] = call.path;
  }

  // The first flush of `path` (a file, or a folder) at or after `from`.
  size_t FlushOf(const std::string& path, size_t from) const {
    for (size_t i = from; i < m_calls.size(); ++i)
      if (m_calls[i].kind == CFileCall::kFlush && Opened(m_calls[i].handle) == path) return i;
    return kNone;
  }

  size_t FlushCount(const std::string& path) const {
    size_t count = 0;
    for (size_t at = FlushOf(path, 0); at != kNone; at = FlushOf(path, at + 1)) ++count;
    return count;
  }

  // The first move onto `to` at or after `from`.
  size_t MoveOnto(const std::string& to, size_t from, const std::string& source = "") const {
    for (size_t i = from; i < m_calls.size(); ++i)
      if (m_calls[i].kind == CFileCall::kRename && m_calls[i].to == to && (source.empty() || m_calls[i].path == source))
        return i;
    return kNone;
  }

  // True when the folder of the change at `at` is flushed before anything else changes in it.
  bool FolderFlushedAfter(size_t at) const {
    const std::string folder = FolderOf(m_calls[at].kind == CFileCall::kRename ? m_calls[at].to : m_calls[at].path);
    for (size_t i = at + 1; i < m_calls.size(); ++i) {
      const CFileCall& call = m_calls[i];
      if (call.kind == CFileCall::kFlush && Opened(call.handle) == folder) return true;
      const bool changes = call.kind == CFileCall::kRename || call.kind == CFileCall::kUnlink ||
                           call.kind == CFileCall::kMakeFolder || call.kind == CFileCall::kRemoveFolder ||
                           (call.kind == CFileCall::kOpen && call.create);
      if (changes && FolderOf(call.kind == CFileCall::kRename ? call.to : call.path) == folder) return false;
    }
    return false;
  }

  bool Empty() const {
    return std::all_of(m_calls.begin(), m_calls.end(), [](const CFileCall& c) { return c.kind == CFileCall::kMark; });
  }

 private:
  std::string Opened(int handle) const {
    const auto found = m_opened.find(handle);
    return found == m_opened.end() ? "(never opened)" : found->second;
  }

  const std::vector<CFileCall>& m_calls;
  std::map<int, std::string> m_opened;
};

}  // namespace

std::string RecordShapeProblem(const std::vector<CFileCall>& calls, const CExpectedRecord& expected) {
  const CRecordReader record(calls);
  if (record.Empty())
    return "the record holds no file call: it shows no download (was the recording pointed at another folder than "
           "the story's home?)";
  const std::string index = expected.folder + "/pkgindex.txt";
  const std::string flushed = " followed by a flush of the folder " + expected.folder;
  size_t at = 0;
  for (const std::string& part : expected.recovered)
    if (record.FlushCount(expected.folder + "/" + part) != 0)
      return part + " was found whole at start-up, yet the record writes and flushes it";
  if (!expected.recovered.empty()) {
    const size_t replace = record.MoveOnto(index, 0);
    const size_t firstFlush =
        expected.parts.empty() ? kNone : record.FlushOf(expected.folder + "/" + expected.parts.front(), 0);
    if (replace == kNone || (firstFlush != kNone && replace > firstFlush))
      return "no replace of " + index + " records the parts found whole at start-up before the first part's flush";
    if (!record.FolderFlushedAfter(replace))
      return "the replace of " + index + " that records the parts found whole is not" + flushed;
    at = replace + 1;
  }
  for (const std::string& part : expected.parts) {
    const std::string path = expected.folder + "/" + part;
    const size_t flushes = record.FlushCount(path);
    if (flushes != 1) return part + " is flushed " + std::to_string(flushes) + " times in the record, not once";
    // Parts asked for ahead may be flushed before the parts before them are recorded; each is
    // recorded after its own flush and after the part before it.
    const size_t flush = record.FlushOf(path, 0);
    const size_t replace = flush == kNone ? kNone : record.MoveOnto(index, std::max(flush, at));
    if (replace == kNone) return "no replace of " + index + " records " + part + " after its flush";
    if (!record.FolderFlushedAfter(replace)) return "the replace of " + index + " that records " + part + " is not" + flushed;
    at = replace + 1;
  }
  if (expected.forgets) {
    const size_t replace = record.MoveOnto(index, at);
    if (replace == kNone) return "no replace of " + index + " takes the forgotten part's record back";
    if (!record.FolderFlushedAfter(replace)) return "the replace of " + index + " that forgets a part is not" + flushed;
  }
  if (expected.join) {
    const std::string installer = expected.folder + "/corvane.exe";
    const size_t move = record.MoveOnto(installer, at, installer + ".tmp");
    if (move == kNone) return "the join never moves " + installer + ".tmp onto " + installer;
    if (!record.FolderFlushedAfter(move)) return "the join's move onto " + installer + " is not" + flushed;
  }
  return "";
}
