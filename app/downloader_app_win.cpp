#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>

#include <string>

#include "app/downloader_app.h"
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

  CDownloaderDlg dlg;
#ifdef BRISKO_PACKAGE_KEY
  dlg.m_pVerifier = MakeSignedPackageVerifier(BRISKO_PACKAGE_KEY);
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
