#include "common/path.h"

std::string JoinPath(const std::string& folder, const std::string& name) {
  return folder + "\\" + name;
}
