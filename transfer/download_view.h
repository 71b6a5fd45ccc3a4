#pragma once

#include <functional>
#include <string>

class IProgressBar;

// What the download worker changes on the screen. On Windows each call is a window message that
// the dialog's thread carries out synchronously; tests keep the same state in memory.
class IDownloadView {
 public:
  virtual ~IDownloadView() = default;
  virtual IProgressBar& OverallProgress() = 0;
  virtual IProgressBar& PartProgress() = 0;
  virtual void ShowPartLabel(bool show) = 0;
  virtual void SetPartLabelText(const std::string& text) = 0;
  virtual void ShowPartProgress(bool show) = 0;
  virtual void EnableInstall(bool enable) = 0;
  // Called by the worker before it lets go of the download; must not wait on the dialog's thread.
  // Returns its last word, said once it has let go (IsWorkerRunning is false by then): Download
  // may be offered again. The last word may use neither the view nor the download, which can
  // be gone by then.
  virtual std::function<void()> WorkerEnding() = 0;
};
