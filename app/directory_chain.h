#pragma once

#include <string>
#include <vector>

// Creates every missing folder along `path`, a prefix at each backslash after the first
// character; end the path with a backslash to have its last folder created. Stops at the first
// folder that cannot be created, after showing the system's reason.
void CreateDirectoryChain(std::string path);

// The folders CreateDirectoryChain considers, in order: each prefix of `path` ending at a
// backslash after its first character, but a drive name ("C:") or, on a network path, the server
// and share.
std::vector<std::string> FolderPrefixes(const std::string& path);

// The system's text for the calling thread's last error, in a buffer shared by all callers.
const char* GetLastErrorText();
