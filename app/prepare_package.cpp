// Start-up's preparation: from the program's own path to a download that is ready to show.
#include <string>

#include "app/directory_chain.h"
#include "common/constants.h"
#include "common/file_system.h"
#include "common/path.h"
#include "common/show_message.h"
#include "index/package_index.h"
#include "transfer/http_fetch.h"
#include "transfer/package_download.h"

namespace {

// Fetches the server's index beside the earlier copy and puts it in that copy's place only once
// it has arrived whole, so that a failed fetch never destroys what start-up falls back on.
int FetchServerIndex(const std::string& host, const std::string& indexPath, std::string& error) {
  const std::string temp = indexPath + kTempSuffix;
  if (!HttpFetchFile(host.c_str(), kServerPort, kRemoteIndexObject, temp.c_str(), 0, error, nullptr,
                     kProgressUnitBytes, nullptr, nullptr, kMaxIndexBytes)) {
    RemoveFile(temp);
    // The user knows the file by its own name, not by the name it is written under first
    // ("Cannot create file: ", "Failed to write to file: " on a full disk).
    for (size_t at = error.find(temp); at != std::string::npos; at = error.find(temp, at + indexPath.size()))
      error.replace(at, temp.size(), indexPath);
    return 0;
  }
  if (!MoveFileOver(temp, indexPath)) {
    RemoveFile(temp);
    error = "Cannot create file: " + indexPath;
    return 0;
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
  std::string fetchError;
  const int fetched = FetchServerIndex(m_strServer, indexPath, fetchError);
  if (!fetched && !FileExists(indexPath)) {
    ShowMessage(fetchError);
    return 0;
  }

  CPackageIndex local;
  int reason = 0;
  if (!local.Read(indexPath, reason)) {
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
    ShowMessage("Product version not specified");
    return 0;
  }
  // A signed build goes no further with an index that is not the signed release.
  if (m_pVerifier && !m_pVerifier->PrepareRelease(m_strServer, home, local)) return 0;
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
