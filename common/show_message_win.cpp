#include "common/show_message.h"

#include <windows.h>

#include "common/constants.h"

void ShowMessage(const std::string& text) {
  // No owner window: the worker thread shows messages too, and a box owned by a window of another
  // thread would tie the two threads' input together.
  MessageBoxA(nullptr, text.c_str(), kMessageCaption, MB_OK | MB_ICONEXCLAMATION | MB_SETFOREGROUND);
}
