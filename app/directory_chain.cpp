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

void CreateDirectoryChain(std::string path) {
  for (size_t separator = path.find('\\', 1); separator != std::string::npos;
       separator = path.find('\\', separator + 1)) {
    const std::string prefix = path.substr(0, separator);
    if (prefix.empty() || prefix.back() == ':' || FileExists(prefix)) continue;  // drive names stay
    if (!CreateFolder(prefix)) {
      ShowMessage(GetLastErrorText());
      return;
    }
  }
}
