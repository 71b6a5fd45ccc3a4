#pragma once

#include <string>

// Paths are joined with a backslash and keep no trailing separator.
std::string JoinPath(const std::string& folder, const std::string& name);

// The folder that holds `path` (at its last backslash or slash), in a form the system opens as
// that folder: a drive's root keeps its backslash ("C:\", not "C:", which names the drive's
// current folder), and so does a network share's ("\\server\share\"). "." when the path names
// no folder.
std::string ParentFolder(const std::string& path);
