#include "transfer/package_download.h"

#include <system_error>

#include "common/file_system.h"
#include "common/path.h"
#include "common/progress_bar.h"
#include "common/constants.h"
#include "index/part_assembly.h"
#include "transfer/download_view.h"
#include "transfer/http_transport.h"

CPackageDownload::CPackageDownload(IDownloadView* view) : m_pView(view) {}

bool CheckInstaller(const std::string& dir, const CPackageIndex& index, const IPackageVerifier* verifier,
                    bool* unchecked) {
  if (unchecked != nullptr) *unchecked = false;
  if (!ValidateInstallerFile(dir, index)) return false;
  const std::string path = JoinPath(dir, kInstallerFileName);
  if (verifier == nullptr) return true;
  switch (verifier->InstallerMatches(path, true)) {
    case CheckOutcome::kMatches:
      return true;
    case CheckOutcome::kDoesNotMatch:
      RemoveFile(path);  // never offered: it is not what the vendor signed
      return false;
    case CheckOutcome::kCouldNotCheck:
      if (unchecked != nullptr) *unchecked = true;
      return false;
  }
  return false;
}

std::string RefuseInstall(CheckOutcome outcome, const std::string& path) {
  if (outcome != CheckOutcome::kDoesNotMatch)
    return "The installer " + path +
           " could not be opened or checked, so it was not started. It was not removed. Close any program that uses "
           "it (a virus scanner, say) and press Install again.";
  if (!RemoveFile(path))
    return "The installer " + path +
           " is not the one Corvane Software signed, so it was not started, and it could not be removed. Remove it "
           "yourself, then press Download to build it again.";
  return "The installer " + path +
         " is not the one Corvane Software signed, so it was removed. Press Download to build it again.";
}

CPackageDownload::~CPackageDownload() { StopAndWaitForWorker(); }

void CPackageDownload::ShowInitialState() {
  IDownloadView& view = *m_pView;
  const bool ready = CheckInstaller(m_strDirectory, m_index, m_pVerifier.get());
  view.EnableInstall(ready);
  // One unit per part and one for the join. The range message carries 16 bits per bound.
  const int count = m_index.PartCount();
  view.OverallProgress().SetRange(0, static_cast<unsigned short>(count + 1));
  view.OverallProgress().SetStep(1);
  view.OverallProgress().SetPos(ready ? count + 1 : m_index.FirstIncompletePart());
  view.PartProgress().SetRange(0, static_cast<unsigned short>(m_index.m_nPartSize / kProgressUnitBytes));
  view.ShowPartLabel(false);
  view.ShowPartProgress(false);
}

bool CPackageDownload::StartWorker() { return StartThread(DownloadThreadProc); }

bool CPackageDownload::StartInstallCheck(const std::string& path) {
  if (!m_pVerifier || IsWorkerRunning()) return false;
  m_strInstallPath = path;
  m_installCheck = CheckOutcome::kCouldNotCheck;
  return StartThread(InstallCheckThreadProc);
}

bool CPackageDownload::StartThread(unsigned (*procedure)(void*)) {
  // A worker counts as running until its thread procedure has ended, pause included; clearing
  // the stop flag under it would let it go on beside a second one.
  if (IsWorkerRunning()) return false;
  if (m_workerThread.joinable()) m_workerThread.join();  // the last worker has ended: reap it
  m_bStop = 0;
  m_pWorker = &m_workerThread;  // before the new worker can clear it
  try {
    m_workerThread = std::thread(procedure, this);
  } catch (const std::system_error&) {
    m_pWorker = nullptr;
    return false;
  }
  return true;
}

void CPackageDownload::RequestStop() {
  m_bStop = 1;
  if (IsWorkerRunning()) CurrentHttpTransport().Cancel();
}

void CPackageDownload::CancelStartup() {
  m_bStartupCancelled = 1;
  CurrentHttpTransport().Cancel();
}

void CPackageDownload::StopAndWaitForWorker() {
  m_bStop = 1;
  if (m_workerThread.joinable()) m_workerThread.join();
}
