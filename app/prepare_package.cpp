// Start-up's preparation: from the program's own path to a download that is ready to show.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "app/directory_chain.h"
#include "common/constants.h"
#include "common/file_system.h"
#include "common/path.h"
#include "common/show_message.h"
#include "index/package_index.h"
#include "index/package_verifier.h"
#include "transfer/fetch_pace.h"
#include "transfer/http_fetch.h"
#include "transfer/http_transport.h"
#include "transfer/package_download.h"

namespace {

// Ends a transfer whose pace has failed between blocks: a server that sends nothing at all holds a
// read until the transport's own timeout, which the checks made as blocks arrive cannot shorten.
// It looks a few times a second while the fetch runs, and ends the transfer for the user's cancel
// too, should the request have been sent just after the cancel ended the ones under way.
class CFetchWatchdog {
 public:
  CFetchWatchdog(CFetchPace& pace, const std::atomic<int>& cancelled) {
    try {
      m_thread = std::thread([this, &pace, &cancelled] {
        std::unique_lock<std::mutex> hold(m_lock);
        while (!m_ended.wait_for(hold, kTick, [this] { return m_bEnded; }))
          if (cancelled.load() != 0 || !pace.Holds()) CurrentHttpTransport().Cancel();
      });
    } catch (const std::system_error&) {
      // No watchdog: the checks between blocks and the transport's timeouts still bound the wait.
    }
  }
  ~CFetchWatchdog() {
    {
      std::lock_guard<std::mutex> hold(m_lock);
      m_bEnded = true;
    }
    m_ended.notify_all();
    if (m_thread.joinable()) m_thread.join();
  }
  CFetchWatchdog(const CFetchWatchdog&) = delete;
  CFetchWatchdog& operator=(const CFetchWatchdog&) = delete;

 private:
  static constexpr std::chrono::milliseconds kTick{250};
  std::mutex m_lock;
  std::condition_variable m_ended;
  bool m_bEnded = false;
  std::thread m_thread;
};

// One of start-up's fetches, held to start-up's pace and ended by the user's cancel (0 then, with
// `error` as it was).
int FetchAtStartupPace(CPackageDownload& download, const char* object, const std::string& path, int binary,
                       long long maxBytes, std::string& error) {
  if (download.m_bStartupCancelled) return 0;
  download.m_startupReceived = 0;
  CFetchPace pace(StartupPaceLimits(), download.m_startupClockMs);
  pace.ReportTo(&download.m_startupReceived);
  CFetchWatchdog watchdog(pace, download.m_bStartupCancelled);
  return HttpFetchFile(download.m_strServer.c_str(), kServerPort, object, path.c_str(), binary, error, nullptr,
                       kProgressUnitBytes, &download.m_bStartupCancelled, nullptr, maxBytes, &pace);
}

// Fetches the server's index beside the earlier copy, into the temporary name. The unsigned
// build puts it in that copy's place at once (`replace`), so that a failed fetch never destroys
// what start-up falls back on; a signed build only once it matches the verified release.
int FetchServerIndex(CPackageDownload& download, const std::string& indexPath, bool replace, std::string& error) {
  const std::string temp = indexPath + kTempSuffix;
  if (!FetchAtStartupPace(download, kRemoteIndexObject, temp, 0, kMaxIndexBytes, error)) {
    RemoveFile(temp);
    // The user knows the file by its own name, not by the name it is written under first
    // ("Cannot create file: ", "Failed to write to file: " on a full disk).
    for (size_t at = error.find(temp); at != std::string::npos; at = error.find(temp, at + indexPath.size()))
      error.replace(at, temp.size(), indexPath);
    return 0;
  }
  if (replace && !MoveFileOver(temp, indexPath)) {
    RemoveFile(temp);
    error = "Cannot create file: " + indexPath;
    return 0;
  }
  return 1;
}

// A signed build's release file, fetched beside the verified copy kept in the home folder; the
// verifier decides whether it takes that copy's place. "" when the fetch failed, with `error`.
std::string FetchServerRelease(CPackageDownload& download, const std::string& home, std::string& error) {
  const std::string temp = JoinPath(home, kReleaseFileName) + kTempSuffix;
  if (!FetchAtStartupPace(download, kRemoteReleaseObject, temp, 1, static_cast<long long>(kMaxReleaseFileBytes),
                          error)) {
    RemoveFile(temp);
    return "";
  }
  return temp;
}

// A signed build goes no further with an index that is not the signed release. The home folder's
// index and release change only together, once both came and were checked: the release is
// fetched only beside a fresh index (`fetched`, under its temporary name), and a fresh index
// whose release did not come, or does not fit it, gives way to the home copy, which matched the
// release kept beside it. 1 with `local` the index to go on with, in the home folder; 0 after a
// failure (told) or the user's cancel (not), the fresh files removed.
int TakeSignedIndex(CPackageDownload& download, const std::string& home, bool fetched, const std::string& fetchError,
                    CPackageIndex& local) {
  const std::string indexPath = JoinPath(home, kIndexFileName);
  const std::string fetchedIndex = indexPath + kTempSuffix;
  std::string releaseError = fetchError;
  std::string fetchedRelease;
  if (fetched) {
    download.m_startupStage = StartupStage::kFetchingRelease;
    fetchedRelease = FetchServerRelease(download, home, releaseError);
  }
  auto dropFetched = [&] {
    if (fetched) RemoveFile(fetchedIndex);
  };
  if (download.m_bStartupCancelled) {
    dropFetched();
    if (!fetchedRelease.empty()) RemoveFile(fetchedRelease);
    return 0;
  }
  CPackageIndex earlier;
  bool earlierRead = false;
  auto readEarlier = [&]() -> const CPackageIndex* {
    int reason = 0;
    if (!earlierRead) earlierRead = earlier.Read(indexPath, reason) && !earlier.m_strProductVersion.empty();
    return earlierRead ? &earlier : nullptr;
  };
  auto goOnWithEarlier = [&] {
    dropFetched();
    fetched = false;
    local = std::move(earlier);
    earlierRead = false;
  };
  if (fetched && fetchedRelease.empty() && readEarlier() != nullptr) goOnWithEarlier();
  const int prepared = download.m_pVerifier->PrepareRelease(home, fetchedRelease, releaseError, local,
                                                            fetched ? readEarlier : std::function<const CPackageIndex*()>());
  if (prepared == 0) {
    dropFetched();
    return 0;
  }
  if (prepared == 2) {  // the fresh pair did not fit together: the home copies serve as they were
    if (readEarlier() == nullptr) {
      dropFetched();
      ShowMessage("The package index does not match the signed release, so it was not used.");
      return 0;
    }
    goOnWithEarlier();
  }
  if (fetched && !MoveFileOver(fetchedIndex, indexPath)) {
    dropFetched();
    ShowMessage("Cannot create file: " + indexPath);
    return 0;
  }
  local.m_strPath = indexPath;
  return 1;
}

// A version folder may hold finished parts and no resume index at all: on FAT and exFAT (USB
// sticks, SD cards) a replace is a delete and a rename, and a power cut between the two leaves
// neither the old index nor the new. In a signed build a part file of the signed size and hash is
// that part, whatever a record says, so each part file present is checked against the release
// and the ones that match start out done. The unsigned build has no such proof (a part's size
// says nothing of its bytes) and fetches every part again.
// Cost: one size query per part (65,534 at most); a file of another size, a part cut short, is
// never read. Each file of its signed size is read once, so the most ever read is the package
// itself, the same read as the join's own check: a 4 GiB package on a USB 2 stick that reads
// about 30 MB/s takes a little over two minutes, under the start-up window, whose Cancel ends it.
// 0 when the user cancelled: nothing is recorded, and the next start checks again.
int RecoverSignedParts(CPackageDownload& download, const std::string& directory, CPackageIndex& fresh) {
  for (int i = 0; i < fresh.PartCount(); ++i) {
    CPackagePart& part = fresh.m_parts[i];
    if (part.m_strName.empty()) continue;
    const CheckOutcome outcome =
        download.m_pVerifier->PartFileMatches(i, JoinPath(directory, part.m_strName), &download.m_bStartupCancelled);
    if (download.m_bStartupCancelled) return 0;
    // Not flushed first: bytes still in the system's cache that a later power cut loses fail the
    // next start's hash at the join, and only that part is fetched again.
    part.m_bDone = outcome == CheckOutcome::kMatches ? 1 : 0;
  }
  return 1;
}

std::string IncompatibleMessage() {
  return std::string("Your Corvane Brisko Download program is not compatible with the current release. "
                     "Please download the newer version from ") +
         kVendorWebSite + " and try again. Thank you.";
}

}  // namespace

int CPackageDownload::PreparePackage() { return PreparePackageFrom(GetModulePath()); }

int CPackageDownload::PreparePackageFrom(const std::string& modulePath) {
  size_t separator = modulePath.rfind('/');
  if (separator == std::string::npos) separator = modulePath.rfind('\\');
  if (separator == std::string::npos) {
    ShowMessage("Cannot find home directory");
    return 0;
  }
  const std::string home = modulePath.substr(0, separator);
  m_strServer = kServerHost;

  const std::string indexPath = JoinPath(home, kIndexFileName);
  const std::string fetchedIndex = indexPath + kTempSuffix;
  const bool signedBuild = m_pVerifier != nullptr;
  m_startupStage = StartupStage::kFetchingIndex;
  std::string fetchError;
  const int fetched = FetchServerIndex(*this, indexPath, !signedBuild, fetchError);
  // Nothing the server sent and no check has passed is left behind.
  auto dropFetched = [&] {
    if (signedBuild && fetched) RemoveFile(fetchedIndex);
  };
  if (m_bStartupCancelled) {
    dropFetched();
    return 0;
  }
  if (!fetched && !FileExists(indexPath)) {
    ShowMessage(fetchError);
    return 0;
  }

  CPackageIndex local;
  int reason = 0;
  if (!local.Read(signedBuild && fetched ? fetchedIndex : indexPath, reason)) {
    dropFetched();
    if (reason == kReasonCannotOpen)
      ShowMessage("Failed to read pkgindex file");
    else if (reason == kReasonNewerFormat)
      ShowMessage(IncompatibleMessage());
    else if (!fetched)
      ShowMessage(fetchError);
    else
      ShowMessage("File error: " + indexPath);
    return 0;
  }

  if (local.m_strProductVersion.empty()) {
    dropFetched();
    ShowMessage("Product version not specified");
    return 0;
  }
  if (signedBuild && !TakeSignedIndex(*this, home, fetched != 0, fetchError, local)) return 0;
  m_startupStage = StartupStage::kPreparingFolder;
  const std::string version = local.m_strProductVersion;
  const std::string directory = JoinPath(home, version);
  const bool folderWasThere = FileExists(directory);
  CreateDirectoryChain(directory + "\\");
  // Parts and the installer go nowhere but into the version folder itself.
  if (IsLink(directory)) {
    ShowMessage("The download folder " + directory + " is a link to another place. Remove it and try again.");
    return 0;
  }

  // An existing resume index wins over the fresh one for the same version: its done flags are
  // the parts already on this disk.
  const std::string resumePath = JoinPath(directory, kIndexFileName);
  if (!m_index.Read(resumePath, reason)) {
    if (reason != kReasonCannotOpen) {
      ShowMessage("Internal error 3");
      return 0;
    }
    // The server's done flags mean nothing on this disk: a new resume index starts with none.
    for (CPackagePart& part : local.m_parts) part.m_bDone = 0;
    if (m_pVerifier && folderWasThere && !RecoverSignedParts(*this, directory, local)) return 0;
    if (!local.SaveAs(resumePath)) return 0;  // the folder's failure, if any, was shown already
    if (!m_index.Read(resumePath, reason)) {
      ShowMessage("Internal error 2");
      return 0;
    }
  }
  if (m_pVerifier && !m_pVerifier->AdoptVersionFolder(directory, m_index)) return 0;
  m_strVersion = version;
  m_strDirectory = directory;
  return 1;
}
