// The vendor's side: cuts an installer into the parts and the index that the download server
// publishes, refusing what the program would reject or mishandle.
#pragma once

#include <string>

struct PackageRequest {
  std::string installer;
  std::string version;
  std::string partSize;  // as typed
  std::string outFolder;
  std::string signingKey;  // a private key file from "pkgmake keygen": also write the signed release
  std::string release;     // the release number, as typed; empty: the current time in seconds
};

// 0 when the package was written (or the folder already holds exactly this package); otherwise
// 1 with `message` saying why, and nothing written. `report` says what was done.
int MakePackage(const PackageRequest& request, std::string& message, std::string& report);

// Checks a folder before it is published: the signed release's signature with the public key
// (128 hex digits), the index against it, and every part's and the installer's size and hash.
// 0 when all holds, with `report`; otherwise 1 with `message` saying what is wrong.
int CheckPackage(const std::string& folder, const std::string& publicKeyHex, std::string& message, std::string& report);
