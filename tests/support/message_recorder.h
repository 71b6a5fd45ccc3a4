#pragma once

#include <functional>
#include <string>
#include <vector>

// The tests' ShowMessage keeps every message instead of showing a box.
std::vector<std::string> TakeMessages();
// Called as each message is shown, as the user would see it appear (nullptr: none).
void OnMessage(std::function<void()> hook);
