#pragma once

#include <string>

// Paths are joined with a backslash and keep no trailing separator.
std::string JoinPath(const std::string& folder, const std::string& name);
