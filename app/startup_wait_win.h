// Start-up's preparation, with the start-up window when it takes more than a moment.
#pragma once

#include <windows.h>

class CPackageDownload;

enum class StartupOutcome { kReady, kFailed, kCancelled };

// Runs the download's preparation on a thread of its own while this thread keeps answering its
// messages. After kStartupWindowDelayMs, or at once when `showNow` is set (a second copy asks),
// the start-up window says what preparation waits for; a fast start-up shows no window at all.
// What preparation had to say is shown once the window has gone. kReady when the download is
// ready; kFailed after the messages of a failure; kCancelled, with no message, after the user's
// Cancel.
StartupOutcome PrepareWithStartupWindow(CPackageDownload& download, HANDLE showNow);
