#include "common/constants.h"
#include "common/file_system.h"

bool ReplaceFileContent(const std::string& path, const std::string& content, bool binary) {
  const std::string temp = path + kTempSuffix;
  FILE* file = OpenFileStream(temp, binary ? "wb" : "w");
  if (file == nullptr) return false;
  bool ok = fwrite(content.data(), 1, content.size(), file) == content.size();
  ok = FlushToDisk(file) && ok;
  ok = fclose(file) == 0 && ok;
  if (ok && MoveFileOver(temp, path)) return true;
  RemoveFile(temp);
  return false;
}
