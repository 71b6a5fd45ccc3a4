#include <cstdio>
#include <cstring>
#include <string>

#include "tools/pkgmake/package_maker.h"

namespace {

const char kUsage[] =
    "Usage: pkgmake <installer> <version> <part-size-bytes> <out-folder>\n"
    "\n"
    "Cuts the installer into parts of exactly <part-size-bytes> (the last one shorter or equal),\n"
    "named corvane.part001, corvane.part002, ..., and writes the index pkgindex.txt (format 1,\n"
    "every part not done) beside them in <out-folder>. Publish the folder's files under\n"
    "/download/brisko/ on the download server.\n"
    "\n"
    "It refuses, writing nothing: a version that cannot be a folder name, a part size of 0 or\n"
    "less or of 64 MiB and more, more than 65534 parts, an installer of 2 GiB or more, an\n"
    "installer it cannot read, and an out-folder that already holds a different package.\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    fputs(kUsage, stdout);
    return 0;
  }
  if (argc != 5) {
    fputs(kUsage, stderr);
    return 2;
  }
  std::string message, report;
  const int result = MakePackage({argv[1], argv[2], argv[3], argv[4]}, message, report);
  if (result != 0) {
    fprintf(stderr, "pkgmake: %s\n", message.c_str());
    return result;
  }
  printf("%s\n", report.c_str());
  return 0;
}
