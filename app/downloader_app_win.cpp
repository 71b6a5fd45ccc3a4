#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>

#include "app/downloader_app.h"
#include "common/constants.h"
#include "common/file_system.h"
#include "common/show_message.h"
#include "res/resource.h"
#include "ui/downloader_dlg.h"
#ifdef BRISKO_PACKAGE_KEY
#include "trust/signed_release.h"
#endif

namespace {

class CWindowsSockets {
 public:
  CWindowsSockets() { m_bReady = WSAStartup(MAKEWORD(2, 2), &m_data) == 0; }
  ~CWindowsSockets() {
    if (m_bReady) WSACleanup();
  }
  bool IsReady() const { return m_bReady; }

 private:
  WSADATA m_data;
  bool m_bReady;
};

// One program per home folder: a second copy started from the same folder (a double
// double-click) would write the same parts and resume index as the first. A named mutex, per
// folder and per user session, tells the second copy that the first is there.
class CHomeFolderLock {
 public:
  CHomeFolderLock() {
    const std::string module = GetModulePath();
    std::string home = module.substr(0, module.find_last_of("\\/") + 1);
    uint64_t hash = 1469598103934665603ULL;  // FNV-1a of the folder's name, case folded as Windows does
    for (char c : home) {
      hash ^= static_cast<unsigned char>(toupper(static_cast<unsigned char>(c)));
      hash *= 1099511628211ULL;
    }
    char name[64];
    snprintf(name, sizeof name, "Local\\BriskoDownload-%016llx", static_cast<unsigned long long>(hash));
    m_hMutex = CreateMutexA(nullptr, FALSE, name);
    m_bFirst = m_hMutex != nullptr && GetLastError() != ERROR_ALREADY_EXISTS;
  }
  ~CHomeFolderLock() {
    if (m_hMutex != nullptr) CloseHandle(m_hMutex);
  }
  CHomeFolderLock(const CHomeFolderLock&) = delete;
  CHomeFolderLock& operator=(const CHomeFolderLock&) = delete;
  bool IsFirst() const { return m_bFirst; }

 private:
  HANDLE m_hMutex;
  bool m_bFirst;
};

std::string GeneralFailureMessage() {
  return std::string("If the error is caused by busy download site, please try at a later time. Otherwise, please "
                     "fix the problem or contact ") +
         kSupportAddress + ". Thank you.";
}

}  // namespace

bool CDownloaderApp::InitInstance() {
  CWindowsSockets sockets;
  if (!sockets.IsReady()) {
    char text[256] = "";
    LoadStringA(GetModuleHandleA(nullptr), IDP_SOCKETS_INIT_FAILED, text, sizeof text);
    ShowMessage(text);
    return false;
  }
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);

  CHomeFolderLock lock;
  if (!lock.IsFirst()) {
    ShowMessage("Brisko Download is already running from this folder. Use the window that is open.");
    return false;
  }

  CDownloaderDlg dlg;
#ifdef BRISKO_PACKAGE_KEY
  CTrustSettings trust;
  trust.publicKeysHex = {BRISKO_PACKAGE_KEY, BRISKO_PACKAGE_BACKUP_KEY};
  trust.minRelease = BRISKO_MIN_RELEASE;
  trust.product = BRISKO_RELEASE_PRODUCT;
  dlg.m_pVerifier = MakeSignedPackageVerifier(trust);
#endif
  if (!dlg.PreparePackage()) {
    ShowMessage(GeneralFailureMessage());
    return false;
  }
  dlg.DoModal();
  // Done, Escape and the close command all end here; the dialog's state must outlive the worker.
  dlg.EndWorker();
  return false;
}
