#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/file_system.h"
#include "tools/pkgmake/package_maker.h"
#include "tools/pkgmake/release_signing.h"

namespace {

const char kUsage[] =
    "Usage: pkgmake <installer> <version> <part-size-bytes> <out-folder>\n"
    "               [--sign <private-key> [--release <n>] [--expires <days|YYYY-MM-DD>] [--product <name>] [--force]]\n"
    "       pkgmake keygen <private-key>\n"
    "       pkgmake verify <folder> <public-key>\n"
    "\n"
    "Cuts the installer into parts of exactly <part-size-bytes> (the last one shorter or equal),\n"
    "named corvane.part001, corvane.part002, ..., and writes the index pkgindex.txt (format 1,\n"
    "every part not done) beside them in <out-folder>. Publish the folder's files under\n"
    "/download/brisko/ on the download server.\n"
    "\n"
    "It refuses, writing nothing: a version that cannot be a folder name, a part size of 0 or\n"
    "less or of 64 MiB and more, more than 65534 parts, an installer of 2 GiB or more, an\n"
    "installer it cannot read, and an out-folder that already holds a different package.\n"
    "\n"
    "Signed packages: 'keygen' makes a key pair, writes the private key to a new file only you\n"
    "can read and prints the public key, which the program is built with (BRISKO_PACKAGE_KEY).\n"
    "With --sign, the package also gets pkgrelease.txt: every part's and the installer's size and\n"
    "SHA-256, signed with the private key. --release numbers the release (it must grow from one\n"
    "release to the next; the default is the current time in seconds; a number more than a year\n"
    "ahead is refused unless --force). --expires makes the program refuse the release for new\n"
    "downloads after that many days, or from that UTC date (re-sign before then). --product names\n"
    "the program the release is for (default brisko-download). 'verify' checks a folder with the\n"
    "public key before you publish it.\n";

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string message, report;
  int result = 2;
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    fputs(kUsage, stdout);
    return 0;
  }
  if (args.size() == 2 && args[0] == "keygen") {
    std::string publicKey;
    if (!MakeSigningKey(args[1], publicKey, message)) {
      fprintf(stderr, "pkgmake: %s\n", message.c_str());
      return 1;
    }
    // The private key is never printed; the public key goes to standard output alone.
    fprintf(stderr, "Wrote the private key to %s (readable by you only); keep it offline.\n", args[1].c_str());
    printf("%s\n", publicKey.c_str());
    return 0;
  }
  if (args.size() == 3 && args[0] == "verify") {
    result = CheckPackage(args[1], args[2], message, report);
  } else if (args.size() >= 4 && args[0] != "keygen" && args[0] != "verify") {
    PackageRequest request(args[0], args[1], args[2], args[3]);
    size_t at = 4;
    bool signingOption = false;
    for (; at < args.size(); at += 2) {
      if (args[at] == "--force") {
        request.force = true;
        --at;
        continue;
      }
      if (at + 1 >= args.size()) break;
      if (args[at] == "--sign") {
        request.signingKey = args[at + 1];
      } else if (args[at] == "--release") {
        request.release = args[at + 1];
      } else if (args[at] == "--expires") {
        request.expires = args[at + 1];
      } else if (args[at] == "--product") {
        request.product = args[at + 1];
      } else {
        break;
      }
      signingOption = signingOption || args[at] != "--sign";
    }
    if (at != args.size() || ((signingOption || request.force) && request.signingKey.empty())) {
      fputs(kUsage, stderr);
      return 2;
    }
    std::string warning;
    result = MakePackage(request, message, report, &warning);
    if (!warning.empty()) fprintf(stderr, "pkgmake: warning: %s\n", warning.c_str());
  } else {
    fputs(kUsage, stderr);
    return 2;
  }
  if (result != 0) {
    fprintf(stderr, "pkgmake: %s\n", NativePath(message).c_str());
    return result;
  }
  printf("%s\n", NativePath(report).c_str());
  return 0;
}
