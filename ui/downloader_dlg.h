#pragma once

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>

#include "res/resource.h"
#include "transfer/download_view.h"
#include "transfer/package_download.h"
#include "ui/dialog.h"
#include "ui/progress_ctrl.h"
#include "ui/scaled_logo.h"

// The main dialog: the version and its folder, the overall and part bars, Download, Stop,
// Install and Done. It is the prepared download the worker works on, and the worker's view.
class CDownloaderDlg : public CDialog, public IDownloadView, public CPackageDownload {
 public:
  CDownloaderDlg();
  ~CDownloaderDlg() override;

  // Asks a running worker to stop and waits for it to end; call once the modal run is over.
  void EndWorker();

  // IDownloadView, called by the worker from its thread.
  IProgressBar& OverallProgress() override { return m_ctlOverallProgress; }
  IProgressBar& PartProgress() override { return m_ctlPartProgress; }
  void ShowPartLabel(bool show) override;
  void SetPartLabelText(const std::string& text) override;
  void ShowPartProgress(bool show) override;
  void EnableInstall(bool enable) override;
  std::function<void()> WorkerEnding() override;

 protected:
  BOOL OnInitDialog() override;
  bool OnCommand(int id) override;
  bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) override;

 private:
  void DoDataExchange();
  void AddAboutToSystemMenu();
  void OnDownload();
  void OnStop();
  void OnInstall();
  void FinishInstall();
  void OnClose();
  bool OnSysCommand(UINT nID, LPARAM lParam);
  bool OnPaint();
  HICON OnQueryDragIcon() { return m_hIcon; }
  static void ShowControl(HWND control, bool show, std::atomic<int>& shown);
  void ApplyPartLabelText();
  void ApplyPendingMoves();

  static constexpr UINT_PTR kProgressTimer = 1;
  static constexpr UINT kWorkerEndedMessage = WM_APP + 1;
  static constexpr UINT kLabelTextMessage = WM_APP + 2;
  static constexpr UINT kFitLogoMessage = WM_APP + 3;
  static constexpr UINT kDpiChangedMessage = 0x02E0;  // WM_DPICHANGED, Windows 8.1 and later

  CProgressCtrl m_ctlOverallProgress;
  CProgressCtrl m_ctlPartProgress;
  HICON m_hIcon;
  CScaledLogo m_logo;
  // Controls the worker changes, found once before any worker exists and never changed after.
  HWND m_hPartLabel = nullptr;
  HWND m_hPartProgress = nullptr;
  HWND m_hInstall = nullptr;
  HWND m_hDownload = nullptr;
  // The dialog's window as the worker's thread reads it: set once it exists and never cleared,
  // while CDialog's own handle is cleared on the dialog's thread as the window goes. A message
  // posted to a window that has gone is dropped.
  std::atomic<HWND> m_hWorkerTarget{nullptr};
  // Whether the part's label and bar were last asked to show (1) or hide (0); -1 before the first.
  std::atomic<int> m_nPartLabelShown{-1};
  std::atomic<int> m_nPartProgressShown{-1};
  // The part label's text as the worker last set it, for the dialog's thread to apply.
  std::mutex m_labelLock;
  std::string m_strPendingLabel;
  std::atomic<bool> m_bLabelPending{false};  // a message to apply it is on its way
  // The installer, held open from Install's check to its start; INVALID_HANDLE_VALUE otherwise.
  HANDLE m_hHeldInstaller = INVALID_HANDLE_VALUE;
};
