#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>

#include <string>

#include "app/downloader_app.h"
#include "app/home_folder_lock_win.h"
#include "app/startup_wait_win.h"
#include "common/constants.h"
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
    if (lock.AskFirstToShowItsStartupWindow())
      ShowMessage("Brisko Download is already starting from this folder. Use its window, \"Starting Brisko "
                  "Download\", which shows what it is waiting for.");
    else
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
  const StartupOutcome outcome = PrepareWithStartupWindow(dlg, lock.StartingEvent());
  lock.EndStarting();  // from here a second copy is pointed at the main window
  if (outcome == StartupOutcome::kCancelled) return false;  // the user asked: nothing more to say
  if (outcome == StartupOutcome::kFailed) {
    ShowMessage(GeneralFailureMessage());
    return false;
  }
  dlg.DoModal();
  // Done, Escape and the close command all end here; the dialog's state must outlive the worker.
  dlg.EndWorker();
  return false;
}
