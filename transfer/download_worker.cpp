// The download worker.
//
// It runs on its own thread beside the user-interface thread and shares the CPackageDownload
// with it without locks: the user-interface thread only writes m_bStop (Stop, closing the
// window) and leaves m_index alone while a worker exists; the worker is the only writer of
// m_index and of the resume index on disk, and clears m_pWorker as its last act. The controls are
// reached through IDownloadView, whose calls the dialog's thread carries out synchronously.
//
// The worker writes and records the parts one at a time, in order. For each part it first shows
// the part and sends the part's own request; then, as far as the line will soon reach, the
// requests for the next parts (CRequestsAhead), so that their bodies follow without a round trip
// between parts. Such a request is only a hint: when it comes to nothing, its part is asked for
// again at its turn as its own first attempt, and the user sees what asking one part at a time
// would have shown.
#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "common/constants.h"
#include "common/file_system.h"
#include "common/path.h"
#include "common/progress_bar.h"
#include "common/show_message.h"
#include "index/part_assembly.h"
#include "transfer/download_view.h"
#include "transfer/http_fetch.h"
#include "transfer/package_download.h"
#include "transfer/requests_ahead.h"

namespace {

constexpr unsigned kResultDone = 0;
constexpr unsigned kResultFailed = 9;

// The pause before a part's next attempt. It runs its length even after the user's stop, but the
// requests ahead end the moment the stop comes: nothing stays on its way through the pause.
void PauseBeforeRetry(const CPackageDownload& download, CRequestsAhead& ahead) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(download.m_nRetryPauseMs);
  for (bool ended = false;;) {
    if (!ended && download.m_bStop != 0) {
      ahead.EndAll();
      ended = true;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= end) return;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(end - now, std::chrono::milliseconds(50)));
  }
}

// No body runs past what the part can be: its signed size in a signed build; otherwise the part
// size, which the last part does not exceed either.
long long PartLimit(const CPackageDownload& download, int position) {
  return download.m_pVerifier ? download.m_pVerifier->PartSize(position) : download.m_index.m_nPartSize;
}

// Sends the requests for the next parts not done after `position` that are not out yet, so that
// `count` are out beyond it, `mostNew` at most. What is out is always among the next parts in
// order, so with the request for the part at `position` there are never more than count + 1.
void SendAhead(CPackageDownload& download, int position, int count, CRequestsAhead& ahead, int mostNew = kRequestsAhead + 1) {
  const CPackageIndex& index = download.m_index;
  int walked = 0;
  for (int next = position + 1; next < index.PartCount() && walked < count && mostNew > 0; ++next) {
    if (index.m_parts[next].m_bDone) continue;
    const std::string object = kRemoteFolder + index.m_parts[next].m_strName;
    if (!ahead.IsOut(object)) {
      IPackageVerifier* verifier = download.m_pVerifier.get();
      ahead.SendHint(object, JoinPath(download.m_strDirectory, index.m_parts[next].m_strName),
                     verifier ? verifier->StartPart() : nullptr, PartLimit(download, next));
      --mostNew;
    }
    ++walked;
  }
}

// Fetches one part with its attempts. kResultDone when the part arrived; kResultFailed after the
// last attempt failed (the user has been told); stopped is set when the user asked to stop before
// an attempt.
unsigned FetchPart(CPackageDownload& download, int position, bool& stopped, CRequestsAhead& ahead) {
  IDownloadView& view = *download.m_pView;
  const CPackagePart& part = download.m_index.m_parts[position];
  const long long partSize = download.m_index.m_nPartSize;
  const bool isLast = position == download.m_index.PartCount() - 1;
  IPackageVerifier* verifier = download.m_pVerifier.get();
  std::string error;  // persists across the part's attempts
  const std::string object = std::string(kRemoteFolder) + part.m_strName;
  const std::string localPath = JoinPath(download.m_strDirectory, part.m_strName);
  for (int attempt = 1; attempt <= kAttemptsPerPart; ++attempt) {
    view.PartProgress().SetPos(0);
    if (download.m_bStop != 0) {
      stopped = true;
      return kResultDone;
    }
    // The part's own request goes first; the requests ahead follow it.
    std::unique_ptr<IPartHash> hash = verifier ? verifier->StartPart() : nullptr;
    const bool hint = ahead.IsHint(object);
    if (hint)
      ahead.Reach(object, hash);
    else
      ahead.SendOwn(object);
    SendAhead(download, position, ahead.Depth(partSize), ahead);
    if (HttpFetchFile(download.m_strServer.c_str(), kServerPort, object.c_str(), localPath.c_str(), 1, error,
                      &view.PartProgress(), kProgressUnitBytes, &download.m_bStop, hash.get(),
                      PartLimit(download, position), nullptr, &ahead)) {
      // Every part but the last is exactly the part size; a body cut short where the server
      // announced no length shows here, and is fetched again rather than recorded as done. A
      // signed build knows every part's size and hash: a part changed on the way is a failed
      // attempt like a cut body.
      const int length = GetFileLength(localPath);
      if (verifier != nullptr) {
        const CheckOutcome outcome = verifier->PartMatches(position, length, *hash);
        if (outcome == CheckOutcome::kMatches) {
          verifier->RememberMatchingPart(position, localPath);
          return kResultDone;
        }
        error = outcome == CheckOutcome::kCouldNotCheck ? PartUncheckedText(part.m_strName)
                                                        : PartMismatchText(part.m_strName);
      } else if (isLast || length == partSize) {
        return kResultDone;
      } else {
        error = IncompleteDownloadText(length, partSize);
      }
    }
    if (hint) {
      // A request sent ahead is no attempt: the part is asked for now as its own first, with no
      // pause and no text of the hint's, and nothing more is asked ahead in this run.
      ahead.HintFailed();
      error.clear();
      --attempt;
      continue;
    }
    // This attempt's connection may have gone to the request for a later part: the next attempt
    // needs one of its own.
    ahead.EndBeyond(static_cast<size_t>(ahead.Depth(partSize)));
    PauseBeforeRetry(download, ahead);
    // After attempts 1 and 2 the next attempt resets the part bar and then looks at the stop.
    if (attempt < kAttemptsPerPart) continue;
    ahead.EndAll();  // no transfer goes on while the user reads why the download ended
    ShowMessage(error + " Please try later");
  }
  return kResultFailed;
}

unsigned RunWorker(CPackageDownload& download) {
  IDownloadView& view = *download.m_pView;
  CPackageIndex& index = download.m_index;
  // Whatever way the loop ends, the requests still out end with it.
  CRequestsAhead ahead(download.m_strServer, kServerPort, download.m_bStop, download.m_clockMs);
  for (int i = 0; i < index.PartCount(); ++i) {
    if (download.m_bStop != 0) return kResultDone;
    if (index.m_parts[i].m_bDone) continue;
    view.ShowPartLabel(true);
    view.SetPartLabelText(index.m_parts[i].m_strName);
    view.ShowPartProgress(true);
    // This part's connection is free once its body is in: one more request goes out on it while
    // the part is flushed, checked and recorded (a new connection would hold the part's record
    // back by its connect).
    ahead.WhenConnectionFree([&download, i, &ahead] {
      const int depth = ahead.Depth(download.m_index.m_nPartSize);
      if (depth > 0) SendAhead(download, i, depth + 1, ahead, 1);
    });
    bool stopped = false;
    if (FetchPart(download, i, stopped, ahead) == kResultFailed) return kResultFailed;
    if (stopped) return kResultDone;
    // The part's file is on the disk (flushed); so must its name be in the folder before the index
    // records it: a file system that keeps a folder's changes out of order could otherwise keep
    // the index's replace and lose the part's file.
    FlushFolder(download.m_strDirectory);
    index.m_parts[i].m_bDone = 1;
    index.Write();  // a failed write leaves the part done in memory only, for this run
    view.OverallProgress().SetPos(i + 1);
  }

  bool unchecked = false;
  const bool ready = CheckInstaller(download.m_strDirectory, index, download.m_pVerifier.get(), &unchecked);
  const std::string installer = JoinPath(download.m_strDirectory, kInstallerFileName);
  if (unchecked) {
    ShowMessage("The installer " + installer +
                " could not be checked, so it was neither offered nor removed. Close any program that uses it and "
                "press Download again.");
    return kResultFailed;
  }
  if (!ready && FileExists(installer)) {
    // Too short (or not the signed one), and it could not be removed: held open, read-only, or a
    // folder of that name. Offering it would start a broken installer.
    ShowMessage("The incomplete installer " + installer +
                " cannot be removed. Close any program that uses it, or remove it yourself, and press Download "
                "again.");
    return kResultFailed;
  }
  if (!ready) {
    view.SetPartLabelText("Merging Parts");
    view.ShowPartLabel(true);
    view.ShowPartProgress(true);
    view.PartProgress().SetPos(0);
    if (!index.MergeParts(download.m_strDirectory, kInstallerFileName, &view.PartProgress(),
                          download.m_pVerifier.get())) {
      RemoveFile(installer);
      return kResultFailed;
    }
    if (download.m_pVerifier) download.m_pVerifier->RecordJoinedInstaller(installer);
  }
  view.OverallProgress().SetPos(index.PartCount() + 1);
  view.ShowPartLabel(false);
  view.ShowPartProgress(false);
  view.EnableInstall(true);
  return kResultDone;
}

}  // namespace

namespace {

// A worker's end, whatever it did: it lets go of the download and then says its last word.
// Returns `result`, the thread's.
unsigned LetGo(CPackageDownload& download, unsigned result) {
  const std::function<void()> lastWord = download.m_pView->WorkerEnding();
  // Hereafter the worker must not touch `download`: the user-interface thread may start
  // another worker or end the dialog as soon as it sees m_pWorker cleared.
  download.m_pWorker = nullptr;
  if (lastWord) lastWord();
  return result;
}

}  // namespace

unsigned InstallCheckThreadProc(void* param) {
  auto& download = *static_cast<CPackageDownload*>(param);
  IDownloadView& view = *download.m_pView;
  // The part bar counts the check in thousandths, then gets the parts' range back.
  int lower = 0, upper = 0;
  view.PartProgress().GetRange(lower, upper);
  view.SetPartLabelText("Checking the installer");
  view.ShowPartLabel(true);
  view.PartProgress().SetRange(0, 1000);
  view.PartProgress().SetPos(0);
  view.ShowPartProgress(true);
  download.m_installCheck =
      download.m_pVerifier->InstallerMatches(download.m_strInstallPath, false, &view.PartProgress(), &download.m_bStop);
  view.ShowPartLabel(false);
  view.ShowPartProgress(false);
  view.PartProgress().SetRange(static_cast<unsigned short>(lower), static_cast<unsigned short>(upper));
  return LetGo(download, 0);
}

unsigned DownloadThreadProc(void* param) {
  auto& download = *static_cast<CPackageDownload*>(param);
  return LetGo(download, RunWorker(download));
}
