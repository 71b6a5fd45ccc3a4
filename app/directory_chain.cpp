#include "app/directory_chain.h"

#include <cstring>

#include "common/file_system.h"
#include "common/show_message.h"

const char* GetLastErrorText() {
  static char s_buffer[1024] = "";
  const std::string text = FormatLastSystemError();
  strncpy(s_buffer, text.c_str(), sizeof s_buffer - 1);
  return s_buffer;
}

std::vector<std::string> FolderPrefixes(const std::string& path) {
  // A network path (\\server\share\...) starts with its server and share, which are no folders
  // to create: the first prefix considered is the first folder inside the share.
  size_t from = 1;
  if (path.compare(0, 2, "\\\\") == 0) {
    const size_t server = path.find('\\', 2);
    const size_t share = server == std::string::npos ? server : path.find('\\', server + 1);
    if (share == std::string::npos) return {};
    from = share + 1;
  }
  std::vector<std::string> prefixes;
  for (size_t separator = path.find('\\', from); separator != std::string::npos;
       separator = path.find('\\', separator + 1)) {
    const std::string prefix = path.substr(0, separator);
    if (!prefix.empty() && prefix.back() != ':') prefixes.push_back(prefix);  // drive names stay
  }
  return prefixes;
}

void CreateDirectoryChain(std::string path) {
  for (const std::string& prefix : FolderPrefixes(path)) {
    if (FileExists(prefix)) continue;
    if (CreateFolder(prefix)) continue;
    // The creation's own error, taken before the next query overwrites the last error.
    const std::string error = GetLastErrorText();
    // A folder that appeared meanwhile (another copy, another user) is as good as one made here.
    if (FileExists(prefix)) continue;
    ShowMessage(error);
    return;
  }
}
