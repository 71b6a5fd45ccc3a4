#include "ui/startup_dlg.h"

#include <string>

namespace {

const char* StageText(StartupStage stage) {
  switch (stage) {
    case StartupStage::kFetchingIndex:
      return "Waiting for the package list from the download server...";
    case StartupStage::kFetchingRelease:
      return "Waiting for the signed release of the package from the download server...";
    case StartupStage::kPreparingFolder:
      return "Preparing the download folder...";
  }
  return "";
}

}  // namespace

CStartupDlg::CStartupDlg(CPackageDownload& download)
    : CDialog(IDD_STARTUP_DIALOG),
      m_download(download),
      m_hIcon(LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_MAINFRAME))) {}

bool CStartupDlg::Show() {
  if (m_hWnd == nullptr && !Create()) return false;
  if (!m_bCancelled) {
    ShowWindow(m_hWnd, SW_SHOW);
    SetForegroundWindow(m_hWnd);
  }
  return true;
}

BOOL CStartupDlg::OnInitDialog() {
  SendMessageA(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
  SendMessageA(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
  ShowProgress();
  SetTimer(m_hWnd, kRefreshTimer, 250, nullptr);
  return TRUE;
}

void CStartupDlg::OnCancel() {
  // The user asked: preparation ends its transfer at once and the program ends without a word.
  // The window goes now; the loop that runs it waits for preparation to end.
  m_bCancelled = true;
  m_download.CancelStartup();
  ShowWindow(m_hWnd, SW_HIDE);
}

bool CStartupDlg::OnMessage(UINT message, WPARAM wParam, LPARAM, INT_PTR&) {
  if (message != WM_TIMER || wParam != kRefreshTimer) return false;
  ShowProgress();
  return true;
}

void CStartupDlg::ShowProgress() {
  const StartupStage stage = m_download.m_startupStage.load();
  if (static_cast<int>(stage) != m_nShownStage) {
    m_nShownStage = static_cast<int>(stage);
    SetDlgItemTextA(m_hWnd, IDC_STARTUP_TEXT, StageText(stage));
  }
  const long long kilobytes = stage == StartupStage::kPreparingFolder ? 0 : m_download.m_startupReceived.load() / 1024;
  if (kilobytes != m_nShownKilobytes) {
    m_nShownKilobytes = kilobytes;
    const std::string text = kilobytes > 0 ? std::to_string(kilobytes) + " KB received so far." : "";
    SetDlgItemTextA(m_hWnd, IDC_STARTUP_RECEIVED, text.c_str());
  }
}
