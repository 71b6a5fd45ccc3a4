#include "tools/pkgmake/release_signing.h"

// The Windows pkgmake checks packages but does not sign: signing keys are made and used with the
// native pkgmake on the vendor's build machine.
namespace {
const char kNoSigning[] = "This pkgmake cannot sign; make keys and sign releases with the Linux pkgmake.";
}

bool MakeSigningKey(const std::string&, std::string&, std::string& message) {
  message = kNoSigning;
  return false;
}

bool SignDigest(const std::string&, const Sha256Digest&, std::string&, std::string& message) {
  message = kNoSigning;
  return false;
}

bool ReadSigningKey(const std::string&, std::string&, std::string& message) {
  message = kNoSigning;
  return false;
}
