#include "index/part_assembly.h"

#include <cstdint>
#include <memory>
#include <vector>

#include "common/constants.h"
#include "common/file_system.h"
#include "common/path.h"
#include "common/progress_bar.h"
#include "common/show_message.h"
#include "index/package_index.h"
#include "index/package_verifier.h"

namespace {

enum class CopyResult { kDone, kWriteFailed };

// The join moves the parts in pieces this large: a read this size bypasses the streams' own
// buffers, so each piece is one call to the system each way, and the copy is one pass.
constexpr size_t kJoinPieceBytes = 256 * 1024;

CopyResult CopyStream(FILE* from, FILE* to, std::vector<char>& buffer, int64_t& total, IPartHash* hash) {
  total = 0;
  for (size_t got; (got = fread(buffer.data(), 1, buffer.size(), from)) > 0;) {
    if (fwrite(buffer.data(), 1, got, to) != got) return CopyResult::kWriteFailed;
    total += static_cast<int64_t>(got);
    if (hash != nullptr) hash->Update(buffer.data(), got);
  }
  return CopyResult::kDone;
}

}  // namespace

int CPackageIndex::MergeParts(const std::string& dir, const std::string& fileName, IProgressBar* progress,
                              const IPackageVerifier* verifier) {
  // The parts are joined into a temporary file that takes the installer's name only once it is
  // complete, so no partial installer ever stands under that name.
  const std::string target = JoinPath(dir, fileName);
  const std::string temp = target + kTempSuffix;
  std::vector<char> buffer(kJoinPieceBytes);
  FilePtr output(OpenFileStream(temp, "wb"));
  if (!output) {
    ShowMessage("Cannot create output file");
    return 0;
  }
  auto fail = [&](const std::string& message) {
    output.reset();
    RemoveFile(temp);
    ShowMessage(message);
    return 0;
  };

  int step = 0;
  if (progress != nullptr && PartCount() > 0) {
    int lower = 0, upper = 0;
    progress->GetRange(lower, upper);
    step = (upper - lower) / PartCount();
  }
  for (int i = 0; i < PartCount(); ++i) {
    const std::string partPath = JoinPath(dir, m_parts[i].m_strName);
    FilePtr input(OpenFileStream(partPath, "rb"));
    if (!input) {
      ForgetPart(i);
      return fail("Cannot open input file: " + partPath);
    }
    int64_t total = 0;
    // A part fetched and checked by this same run, and unchanged since, is not hashed twice.
    const bool check = verifier != nullptr && !verifier->PartUnchangedSinceMatched(i, partPath);
    std::unique_ptr<IPartHash> hash = check ? verifier->StartPart() : nullptr;
    if (CopyStream(input.get(), output.get(), buffer, total, hash.get()) == CopyResult::kWriteFailed)
      return fail("Failed to write to file: " + target);
    if (total != m_nPartSize && i != PartCount() - 1) {
      input.reset();
      ForgetPart(i);
      return fail("Incorrect size: " + partPath);
    }
    // A done part changed since it was fetched: only it is fetched again by the next Download.
    const CheckOutcome outcome = check ? verifier->PartMatches(i, total, *hash) : CheckOutcome::kMatches;
    if (outcome == CheckOutcome::kCouldNotCheck)
      return fail(PartUncheckedText(partPath) + " Nothing was removed; press Download to try again.");
    if (outcome == CheckOutcome::kDoesNotMatch) {
      input.reset();
      ForgetPart(i);
      return fail(PartMismatchText(partPath) + " It will be fetched again.");
    }
    if (progress != nullptr) progress->OffsetPos(step);
  }
  bool written = FlushToDisk(output.get());
  written = fclose(output.release()) == 0 && written;
  if (!written || !MoveFileOver(temp, target)) {
    RemoveFile(temp);
    ShowMessage("Failed to write to file: " + target);
    return 0;
  }
  return 1;
}

int GetFileLength(std::string path) {
  int64_t size = FindFileSize(path);
  return size < 0 ? -1 : static_cast<int>(static_cast<uint32_t>(size));
}

bool ValidateInstallerFile(const std::string& dir, const CPackageIndex& index) {
  const std::string path = JoinPath(dir, kInstallerFileName);
  if (!FileExists(path)) return false;
  // (count - 1) x part size in 32-bit arithmetic, wrapping as the stored files always assumed.
  const auto threshold = static_cast<int32_t>(static_cast<uint32_t>(index.PartCount() - 1) *
                                              static_cast<uint32_t>(index.m_nPartSize));
  if (GetFileLength(path) < threshold) {
    RemoveFile(path);
    return false;
  }
  return true;
}
