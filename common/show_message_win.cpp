#include "common/show_message.h"

#include <windows.h>

#include "common/constants.h"
#include "common/held_messages_win.h"

namespace {

thread_local std::vector<std::string>* t_pHeld = nullptr;

}  // namespace

CHeldMessages::CHeldMessages(std::vector<std::string>& held) : m_pOuter(t_pHeld) { t_pHeld = &held; }

CHeldMessages::~CHeldMessages() { t_pHeld = m_pOuter; }

void ShowMessage(const std::string& text) {
  if (t_pHeld != nullptr) {
    t_pHeld->push_back(text);
    return;
  }
  // No owner window: the worker thread shows messages too, and a box owned by a window of another
  // thread would tie the two threads' input together.
  MessageBoxA(nullptr, text.c_str(), kMessageCaption, MB_OK | MB_ICONEXCLAMATION | MB_SETFOREGROUND);
}
