#include "ui/downloader_dlg.h"

#include <shellapi.h>

#include "common/file_system.h"
#include "common/path.h"
#include "common/show_message.h"
#include "ui/about_dlg.h"

CDownloaderDlg::CDownloaderDlg()
    : CDialog(IDD_MAIN_DIALOG),
      CPackageDownload(this),
      m_hIcon(LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_MAINFRAME))) {}

CDownloaderDlg::~CDownloaderDlg() {
  EndWorker();
  if (m_hHeldInstaller != INVALID_HANDLE_VALUE) CloseHandle(m_hHeldInstaller);
}

void CDownloaderDlg::EndWorker() {
  // The worker may be inside a synchronous message to one of this thread's windows, sent just
  // before the window went: keep answering sent messages until it has ended, then reap it.
  RequestStop();
  while (IsWorkerRunning()) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_SENDMESSAGE);
    MSG message;
    PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
  }
  StopAndWaitForWorker();
}

void CDownloaderDlg::DoDataExchange() {
  m_ctlOverallProgress.Attach(GetDlgItem(IDC_OVERALL_PROGRESS));
  m_ctlPartProgress.Attach(GetDlgItem(IDC_PART_PROGRESS));
  SetDlgItemTextA(m_hWnd, IDC_DIRECTORY, m_strDirectory.c_str());
  SetDlgItemTextA(m_hWnd, IDC_VERSION, m_strVersion.c_str());
}

void CDownloaderDlg::AddAboutToSystemMenu() {
  HMENU menu = GetSystemMenu(m_hWnd, FALSE);
  if (menu == nullptr) return;
  char text[256] = "";
  LoadStringA(GetModuleHandleA(nullptr), IDS_ABOUTBOX, text, sizeof text);
  if (text[0] == '\0') return;
  AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
  AppendMenuA(menu, MF_STRING, IDM_ABOUTBOX, text);
}

BOOL CDownloaderDlg::OnInitDialog() {
  DoDataExchange();
  m_hPartLabel = GetDlgItem(IDC_PART_LABEL);
  m_hPartProgress = GetDlgItem(IDC_PART_PROGRESS);
  m_hInstall = GetDlgItem(IDC_INSTALL);
  m_hDownload = GetDlgItem(IDC_DOWNLOAD);
  m_hWorkerTarget = m_hWnd;
  AddAboutToSystemMenu();
  SendMessageA(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
  SendMessageA(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
  ShowInitialState();
  m_logo.Fit(m_hWnd, IDB_LOGO);
  SetTimer(m_hWnd, kProgressTimer, 100, nullptr);
  return TRUE;
}

bool CDownloaderDlg::OnCommand(int id) {
  switch (id) {
    case IDC_DOWNLOAD:
      OnDownload();
      return true;
    case IDC_STOP:
      OnStop();
      return true;
    case IDC_INSTALL:
      OnInstall();
      return true;
  }
  return false;
}

bool CDownloaderDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) {
  switch (message) {
    case WM_SYSCOMMAND:
      return OnSysCommand(static_cast<UINT>(wParam), lParam);
    case WM_PAINT:
      return OnPaint();
    case WM_QUERYDRAGICON:
      result = reinterpret_cast<INT_PTR>(OnQueryDragIcon());
      return true;
    case WM_CLOSE:
      OnClose();
      return false;  // the default handling ends the dialog
    case kWorkerEndedMessage:
      // Posted by a worker once it has let go of this dialog, so nothing here waits for it. If
      // Download has started a newer worker meanwhile, that one posts its own when it ends.
      if (IsWorkerRunning()) return true;
      EnableWindow(m_hDownload, TRUE);
      if (m_hHeldInstaller != INVALID_HANDLE_VALUE) FinishInstall();
      return true;
    case kLabelTextMessage:
      ApplyPartLabelText();
      return true;
    case WM_TIMER:
      if (wParam != kProgressTimer) return false;
      ApplyPendingMoves();
      return true;
    case kDpiChangedMessage:
      // Moved to a monitor of another DPI: the dialog manager rescales the dialog and its
      // controls in the default handling; the logo follows once that is done.
      PostMessageA(m_hWnd, kFitLogoMessage, 0, 0);
      return false;
    case kFitLogoMessage:
      m_logo.Fit(m_hWnd, IDB_LOGO);
      return true;
  }
  return false;
}

void CDownloaderDlg::OnDownload() {
  // Download is offered only while no worker runs (one pausing after a stop or a failure still
  // runs), so the user sees when a press will work; a press that slips through changes nothing.
  if (StartWorker()) EnableWindow(m_hDownload, FALSE);
}

void CDownloaderDlg::OnStop() { RequestStop(); }

void CDownloaderDlg::OnInstall() {
  const std::string installer = JoinPath(m_strDirectory, kInstallerFileName);
  if (!m_pVerifier) {
    ShellExecuteA(m_hWnd, nullptr, installer.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    return;
  }
  if (m_hHeldInstaller != INVALID_HANDLE_VALUE) return;  // a check is under way
  // A signed build checks the installer once more before it starts it, on the worker so that the
  // window stays responsive, holding the file open from the check to the start so that nobody can
  // change or replace it in between. FinishInstall goes on once the worker has ended.
  HANDLE held = CreateFileA(installer.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (held == INVALID_HANDLE_VALUE) {
    ShowMessage(RefuseInstall(CheckOutcome::kCouldNotCheck, installer));
    return;
  }
  if (!StartInstallCheck(installer)) {
    CloseHandle(held);
    return;
  }
  m_hHeldInstaller = held;
  EnableWindow(m_hInstall, FALSE);
  EnableWindow(m_hDownload, FALSE);
}

void CDownloaderDlg::FinishInstall() {
  HANDLE held = m_hHeldInstaller;
  m_hHeldInstaller = INVALID_HANDLE_VALUE;
  const std::string installer = JoinPath(m_strDirectory, kInstallerFileName);
  const CheckOutcome outcome = m_installCheck;
  if (outcome == CheckOutcome::kMatches) {
    ShellExecuteA(m_hWnd, nullptr, installer.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    CloseHandle(held);
    EnableInstall(true);
    return;
  }
  CloseHandle(held);
  if (m_bStop != 0) {  // the window is closing
    EnableInstall(true);
    return;
  }
  const std::string refusal = RefuseInstall(outcome, installer);
  EnableInstall(FileExists(installer));
  ShowMessage(refusal);
}

void CDownloaderDlg::OnClose() { RequestStop(); }

bool CDownloaderDlg::OnSysCommand(UINT nID, LPARAM) {
  if ((nID & 0xFFF0) != IDM_ABOUTBOX) return false;
  CAboutDlg about(m_hWnd);
  about.DoModal();
  return true;
}

bool CDownloaderDlg::OnPaint() {
  if (!IsIconic(m_hWnd)) return false;
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(m_hWnd, &paint);
  SendMessageA(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  const int iconWidth = GetSystemMetrics(SM_CXICON);
  const int iconHeight = GetSystemMetrics(SM_CYICON);
  RECT client;
  GetClientRect(m_hWnd, &client);
  const int x = (client.right - client.left - iconWidth + 1) / 2;
  const int y = (client.bottom - client.top - iconHeight + 1) / 2;
  DrawIcon(dc, x, y, m_hIcon);
  EndPaint(m_hWnd, &paint);
  return true;
}

// Showing and hiding are queued for the dialog's thread without waiting: the worker does it for
// every part, and under Wine each wait costs about a millisecond. A control already shown (or
// hidden) is left alone: asking again would still cost the dialog's thread a repaint per part.
void CDownloaderDlg::ShowControl(HWND control, bool show, std::atomic<int>& shown) {
  if (shown.exchange(show ? 1 : 0) != (show ? 1 : 0)) ShowWindowAsync(control, show ? SW_SHOW : SW_HIDE);
}

// The label's new text is handed over, and set by the dialog's thread in order with the bars'
// moves, without the worker waiting: under Wine the label's repaint costs as much as receiving a
// small part. Texts that arrive faster than the dialog's thread shows them are shown once, the
// latest: a busy machine does not fall behind repainting names nobody could read.
void CDownloaderDlg::SetPartLabelText(const std::string& text) {
  {
    std::lock_guard<std::mutex> hold(m_labelLock);
    m_strPendingLabel = text;
  }
  if (!m_bLabelPending.exchange(true)) SendNotifyMessageA(m_hWorkerTarget.load(), kLabelTextMessage, 0, 0);
}

void CDownloaderDlg::ApplyPartLabelText() {
  std::string text;
  {
    std::lock_guard<std::mutex> hold(m_labelLock);
    m_bLabelPending = false;  // a text set after this point sends its own message
    text = m_strPendingLabel;
  }
  SetWindowTextA(m_hPartLabel, text.c_str());
}

void CDownloaderDlg::ShowPartLabel(bool show) { ShowControl(m_hPartLabel, show, m_nPartLabelShown); }

void CDownloaderDlg::ShowPartProgress(bool show) { ShowControl(m_hPartProgress, show, m_nPartProgressShown); }

// The bars' last positions go out before Install changes or the worker ends, so that neither is
// seen before the bars have been told where they end.
void CDownloaderDlg::ApplyPendingMoves() {
  m_ctlOverallProgress.ApplyPendingMoves();
  m_ctlPartProgress.ApplyPendingMoves();
}

void CDownloaderDlg::EnableInstall(bool enable) {
  ApplyPendingMoves();
  EnableWindow(m_hInstall, enable);
}

std::function<void()> CDownloaderDlg::WorkerEnding() {
  ApplyPendingMoves();
  const HWND window = m_hWorkerTarget.load();
  return [window] { PostMessageA(window, kWorkerEndedMessage, 0, 0); };
}
