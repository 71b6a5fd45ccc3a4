#include "common/path.h"

std::string JoinPath(const std::string& folder, const std::string& name) {
  return folder + "\\" + name;
}

std::string ParentFolder(const std::string& path) {
  const size_t at = path.find_last_of("\\/");
  if (at == std::string::npos) return ".";
  if (at == 0) return path.substr(0, 1);  // the root of the current drive, or of a POSIX system
  std::string parent = path.substr(0, at);
  const bool drive = parent.size() == 2 && parent[1] == ':';
  // \\server\share: two leading backslashes, and one more between the server and the share.
  const bool share = parent.compare(0, 2, "\\\\") == 0 && parent.find('\\', 2) != std::string::npos &&
                     parent.find('\\', parent.find('\\', 2) + 1) == std::string::npos;
  if (drive || share) parent += path[at];
  return parent;
}
