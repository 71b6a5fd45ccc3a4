#pragma once

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
  // The worker's last word before it ends: Download may be offered again. Must not wait on the
  // dialog's thread.
  virtual void WorkerEnding() = 0;
};
