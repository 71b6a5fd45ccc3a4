// Start-up's preparation: from the program's own path to a download that is ready to show.
#include <chrono>
#include <condition_variable>
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
#include "transfer/http_fetch.h"
#include "transfer/http_transport.h"
#include "transfer/package_download.h"

namespace {

// Fetches the server's index beside the earlier copy, into the temporary name. The unsigned
// build puts it in that copy's place at once (`replace`), so that a failed fetch never destroys
// what start-up falls back on; a signed build only once it matches the verified release.
int FetchServerIndex(const std::string& host, const std::string& indexPath, bool replace, CFetchDeadline& deadline,
                     std::string& error) {
  const std::string temp = indexPath + kTempSuffix;
  if (!HttpFetchFile(host.c_str(), kServerPort, kRemoteIndexObject, temp.c_str(), 0, error, nullptr,
                     kProgressUnitBytes, nullptr, nullptr, kMaxIndexBytes, &deadline)) {
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
std::string FetchServerRelease(const std::string& host, const std::string& home, CFetchDeadline& deadline,
                               std::string& error) {
  const std::string temp = JoinPath(home, kReleaseFileName) + kTempSuffix;
  if (!HttpFetchFile(host.c_str(), kServerPort, kRemoteReleaseObject, temp.c_str(), 1, error, nullptr,
                     kProgressUnitBytes, nullptr, nullptr, static_cast<long long>(kMaxReleaseFileBytes), &deadline)) {
    RemoveFile(temp);
    return "";
  }
  return temp;
}

// Ends a transfer that is still under way when start-up's fetch time is up: a server that sends
// nothing at all holds a read until the transport's own timeout, which the deadline's checks
// between blocks cannot shorten.
class CFetchWatchdog {
 public:
  explicit CFetchWatchdog(long long milliseconds) {
    try {
      m_thread = std::thread([this, milliseconds] {
        std::unique_lock<std::mutex> hold(m_lock);
        if (!m_ended.wait_for(hold, std::chrono::milliseconds(milliseconds), [this] { return m_bEnded; }))
          CurrentHttpTransport().Cancel();
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
  std::mutex m_lock;
  std::condition_variable m_ended;
  bool m_bEnded = false;
  std::thread m_thread;
};

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
  CFetchDeadline deadline(kStartupFetchMs, kStartupGraceMs, kStartupMinBytesPerSecond, m_startupClockMs);
  CFetchWatchdog watchdog(kStartupFetchMs);
  std::string fetchError;
  const int fetched = FetchServerIndex(m_strServer, indexPath, !signedBuild, deadline, fetchError);
  if (!fetched && !FileExists(indexPath)) {
    ShowMessage(fetchError);
    return 0;
  }
  // Nothing the server sent and no check has passed is left behind.
  auto dropFetched = [&] {
    if (signedBuild && fetched) RemoveFile(fetchedIndex);
  };

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

  const std::string version = local.m_strProductVersion;
  if (version.empty()) {
    dropFetched();
    ShowMessage("Product version not specified");
    return 0;
  }
  // A signed build goes no further with an index that is not the signed release, and keeps the
  // server's index only once it matches.
  if (signedBuild) {
    std::string releaseError;
    const std::string fetchedRelease = FetchServerRelease(m_strServer, home, deadline, releaseError);
    if (!m_pVerifier->PrepareRelease(home, fetchedRelease, releaseError, local)) {
      dropFetched();
      return 0;
    }
    if (fetched && !MoveFileOver(fetchedIndex, indexPath)) {
      dropFetched();
      ShowMessage("Cannot create file: " + indexPath);
      return 0;
    }
    local.m_strPath = indexPath;
  }
  const std::string directory = JoinPath(home, version);
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
