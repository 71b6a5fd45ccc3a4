#pragma once

#include <string>

// A modal message box with the text and a single OK button; returns once the user dismissed it.
// Safe to call from the worker thread.
void ShowMessage(const std::string& text);
