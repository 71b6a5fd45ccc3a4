// One prepared download: the version folder, its resume index, the stop flag and the worker that
// fetches the parts. The main dialog is one; the tests drive one against in-memory controls.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "common/constants.h"
#include "index/package_index.h"
#include "index/package_verifier.h"

class IDownloadView;

// What start-up is doing, for the start-up window to say.
enum class StartupStage { kFetchingIndex, kFetchingRelease, kPreparingFolder };

class CPackageDownload {
 public:
  explicit CPackageDownload(IDownloadView* view);
  virtual ~CPackageDownload();
  CPackageDownload(const CPackageDownload&) = delete;
  CPackageDownload& operator=(const CPackageDownload&) = delete;

  // Start-up: fetches and reads the server's index and loads the version folder's resume index.
  // 1 when the download is ready; 0 after a failure (reported, but for an unwritable resume file).
  int PreparePackage();
  int PreparePackageFrom(const std::string& modulePath);

  // The dialog's first look: Install enabled only for a complete installer, both bars' ranges,
  // the overall bar at the first part not done, the part label and bar hidden.
  void ShowInitialState();

  // Starts the worker with the stop flag cleared; false (and nothing changed) while one runs.
  bool StartWorker();
  // Install's check in a signed build, off the dialog's thread: the worker hashes the installer
  // at `path` (which the caller holds open until it has started it), moving the part bar, and
  // leaves what it found in m_installCheck before it ends. False (nothing started) while a
  // worker runs.
  bool StartInstallCheck(const std::string& path);
  std::atomic<CheckOutcome> m_installCheck{CheckOutcome::kCouldNotCheck};
  std::string m_strInstallPath;

  // Asks a running worker to stop at its next poll, and ends a transfer under way at once.
  void RequestStop();
  // Asks the worker to stop and waits until it has ended. On Windows the dialog's window must be
  // gone by then, or the worker's synchronous control messages would wait on this thread.
  void StopAndWaitForWorker();
  bool IsWorkerRunning() const { return m_pWorker.load() != nullptr; }

  std::string m_strServer;
  CPackageIndex m_index;
  std::string m_strVersion;
  std::string m_strDirectory;  // the version folder, no trailing separator
  std::atomic<int> m_bStop{0};
  // The running worker's thread, or nullptr. Set before the thread starts; the worker clears it
  // as its very last step.
  std::atomic<std::thread*> m_pWorker{nullptr};
  IDownloadView* m_pView;
  unsigned m_nRetryPauseMs = kRetryPauseMs;
  // The clock of start-up's fetch pace, in milliseconds; the system's steady clock when empty.
  std::function<long long()> m_startupClockMs;
  // The clock the worker measures the line's rate by, in milliseconds; the steady clock when empty.
  std::function<long long()> m_clockMs;
  // Start-up as another thread sees it while preparation runs: what it waits for, and the bytes
  // of the fetch under way received so far.
  std::atomic<StartupStage> m_startupStage{StartupStage::kFetchingIndex};
  std::atomic<long long> m_startupReceived{0};
  // From any thread while preparation runs: ends its transfer at once, and preparation ends with
  // 0 and no message of its own (the user asked). Only preparation reads the flag.
  void CancelStartup();
  std::atomic<int> m_bStartupCancelled{0};
  // Set in builds with a package key: nothing is recorded, joined or offered unless it is the
  // release the vendor signed. None in the others.
  std::unique_ptr<IPackageVerifier> m_pVerifier;

 private:
  bool StartThread(unsigned (*procedure)(void*));
  std::thread m_workerThread;
};

// Applies ValidateInstallerFile, and in a signed build also removes an installer that is not the
// signed one; true when a complete installer stands in `dir`. An installer that could not be
// checked is neither offered nor removed, and sets `unchecked`.
bool CheckInstaller(const std::string& dir, const CPackageIndex& index, const IPackageVerifier* verifier,
                    bool* unchecked = nullptr);

// After Install's check in a signed build refused the installer at `path` (which the caller no
// longer holds open): removes it only when it does not match, and says what happened and what the
// user can do.
std::string RefuseInstall(CheckOutcome outcome, const std::string& path);

// The worker's thread procedure; `param` is the CPackageDownload. Result 0 when it finished or
// stopped, 9 when a part could not be fetched or the join failed.
unsigned DownloadThreadProc(void* param);
// The install check's thread procedure (see StartInstallCheck).
unsigned InstallCheckThreadProc(void* param);
