#pragma once

// The application: brings up sockets and the common controls, prepares the download and runs
// the main dialog. There is one, and it ends the program when InitInstance returns.
class CDownloaderApp {
 public:
  // Always false: the program ends when it returns.
  bool InitInstance();
};
