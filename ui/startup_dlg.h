// The start-up window: shown when start-up takes more than a moment (a slow line, a large
// package), it says what start-up waits for and how much has come, and offers Cancel. It runs
// without a loop of its own, in the loop that waits for preparation (app/startup_wait_win.h).
#pragma once

#include "res/resource.h"
#include "transfer/package_download.h"
#include "ui/dialog.h"

class CStartupDlg : public CDialog {
 public:
  explicit CStartupDlg(CPackageDownload& download);
  ~CStartupDlg() override { Destroy(); }
  // Creates and shows the window, or brings it to the front when it is already shown; false when
  // it could not be created.
  bool Show();
  // The user pressed Cancel (or closed the window, or pressed Escape).
  bool IsCancelled() const { return m_bCancelled; }

 protected:
  BOOL OnInitDialog() override;
  void OnCancel() override;
  bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) override;

 private:
  void ShowProgress();

  static constexpr UINT_PTR kRefreshTimer = 1;
  CPackageDownload& m_download;
  HICON m_hIcon;
  bool m_bCancelled = false;
  int m_nShownStage = -1;
  long long m_nShownKilobytes = -1;
};
