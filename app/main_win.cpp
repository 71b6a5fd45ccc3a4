#include <windows.h>

#include "app/downloader_app.h"
#include "common/system_library_win.h"

CDownloaderApp theApp;

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  HardenProcess();
  theApp.InitInstance();
  return 0;
}
