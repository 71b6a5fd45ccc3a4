#include <windows.h>

#include "app/downloader_app.h"

CDownloaderApp theApp;

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  theApp.InitInstance();
  return 0;
}
