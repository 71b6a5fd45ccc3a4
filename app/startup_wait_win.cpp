// How the wait works: preparation runs on its own thread, holding back its messages
// (CHeldMessages), and sets an event when it ends. This thread waits for that event, for the
// second copy's request and for its own messages at once (MsgWaitForMultipleObjects), so that the
// start-up window, once shown, stays responsive. Cancel only asks preparation to end; this thread
// goes on waiting for it, then closes the window before it shows anything.
#include "app/startup_wait_win.h"

#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "common/constants.h"
#include "common/held_messages_win.h"
#include "common/show_message.h"
#include "transfer/package_download.h"
#include "ui/startup_dlg.h"

namespace {

class CEvent {
 public:
  CEvent() : m_hEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  ~CEvent() {
    if (m_hEvent != nullptr) CloseHandle(m_hEvent);
  }
  CEvent(const CEvent&) = delete;
  CEvent& operator=(const CEvent&) = delete;
  HANDLE Get() const { return m_hEvent; }

 private:
  HANDLE m_hEvent;
};

// Hands this thread's waiting messages to their windows, the start-up window's through the
// dialog manager (Tab, Escape, Enter). A quit request is kept in `quit` for the loop after this.
void DispatchMessages(CStartupDlg& window, MSG& quit) {
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      quit = message;
      continue;
    }
    if (window.TakeDialogMessage(message)) continue;
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
}

}  // namespace

StartupOutcome PrepareWithStartupWindow(CPackageDownload& download, HANDLE showNow) {
  CEvent ended;
  std::vector<std::string> held;
  int prepared = 0;
  std::thread preparation;
  if (ended.Get() != nullptr) {
    try {
      preparation = std::thread([&] {
        {
          CHeldMessages hold(held);
          prepared = download.PreparePackage();
        }
        SetEvent(ended.Get());
      });
    } catch (const std::system_error&) {
      // No thread: preparation runs here, as it did before there was a start-up window.
    }
  }
  if (!preparation.joinable()) return download.PreparePackage() ? StartupOutcome::kReady : StartupOutcome::kFailed;

  CStartupDlg window(download);
  MSG quit = {};
  bool windowDue = true;  // until the window has been shown, or could not be
  const ULONGLONG showAt = GetTickCount64() + kStartupWindowDelayMs;
  for (;;) {
    const HANDLE handles[2] = {ended.Get(), showNow};
    const DWORD count = showNow != nullptr ? 2 : 1;
    DWORD timeout = INFINITE;
    if (windowDue) {
      const ULONGLONG now = GetTickCount64();
      timeout = now >= showAt ? 0 : static_cast<DWORD>(showAt - now);
    }
    const DWORD wait = MsgWaitForMultipleObjects(count, handles, FALSE, timeout, QS_ALLINPUT);
    if (wait == WAIT_OBJECT_0) break;
    if (wait == WAIT_TIMEOUT || (count == 2 && wait == WAIT_OBJECT_0 + 1)) {
      window.Show();
      windowDue = false;
    } else if (wait == WAIT_OBJECT_0 + count) {
      DispatchMessages(window, quit);
    } else {
      // The wait itself failed: nothing left to show, only the end to wait for.
      WaitForSingleObject(ended.Get(), INFINITE);
      break;
    }
  }
  // Hereafter preparation has ended and the download is this thread's again.
  preparation.join();
  // What comes next (the main window, a message) takes the foreground the start-up window had,
  // rather than waiting in the taskbar; a user who went to another program meanwhile keeps it.
  if (window.GetSafeHwnd() != nullptr && GetForegroundWindow() == window.GetSafeHwnd())
    AllowSetForegroundWindow(GetCurrentProcessId());
  window.Destroy();
  if (quit.message == WM_QUIT) PostQuitMessage(static_cast<int>(quit.wParam));
  if (window.IsCancelled()) return StartupOutcome::kCancelled;
  for (const std::string& text : held) ShowMessage(text);
  return prepared ? StartupOutcome::kReady : StartupOutcome::kFailed;
}
