#pragma once

#include <string>
#include <vector>

// The tests' ShowMessage keeps every message instead of showing a box.
std::vector<std::string> TakeMessages();
