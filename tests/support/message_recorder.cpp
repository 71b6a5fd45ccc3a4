#include "support/message_recorder.h"

#include <mutex>

#include "common/show_message.h"

namespace {
std::mutex g_lock;
std::vector<std::string> g_messages;
std::function<void()> g_onMessage;
}  // namespace

void ShowMessage(const std::string& text) {
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    g_messages.push_back(text);
    hook = g_onMessage;
  }
  if (hook) hook();
}

void OnMessage(std::function<void()> hook) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_onMessage = std::move(hook);
}

std::vector<std::string> TakeMessages() {
  std::lock_guard<std::mutex> hold(g_lock);
  std::vector<std::string> taken;
  taken.swap(g_messages);
  return taken;
}
