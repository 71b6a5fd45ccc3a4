// The vendor's side: cuts an installer into the parts and the index that the download server
// publishes, refusing what the program would reject or mishandle.
#pragma once

#include <string>
#include <utility>

struct PackageRequest {
  PackageRequest(std::string installerPath, std::string versionName, std::string partSizeText, std::string folder,
                 std::string key = "", std::string releaseNumber = "")
      : installer(std::move(installerPath)), version(std::move(versionName)), partSize(std::move(partSizeText)),
        outFolder(std::move(folder)), signingKey(std::move(key)), release(std::move(releaseNumber)) {}
  std::string installer;
  std::string version;
  std::string partSize;  // as typed
  std::string outFolder;
  std::string signingKey;  // a private key file from "pkgmake keygen": also write the signed release
  std::string release;     // the release number, as typed; empty: the current time in seconds
  std::string expires;     // days from now, or a UTC date YYYY-MM-DD; empty: the release does not expire
  std::string product;     // the product the release is for; empty: the program's default
  bool force = false;      // take a release number more than a year ahead
};

// 0 when the package was written (or the folder already holds exactly this package); otherwise
// 1 with `message` saying why, and nothing written. `report` says what was done.
// `warning`, if given, gets what was done but deserves a second look (an expiry already past).
int MakePackage(const PackageRequest& request, std::string& message, std::string& report,
                std::string* warning = nullptr);

// Checks a folder before it is published: the signed release's signature with the public key
// (128 hex digits), the index against it, and every part's and the installer's size and hash.
// 0 when all holds, with `report`; otherwise 1 with `message` saying what is wrong.
int CheckPackage(const std::string& folder, const std::string& publicKeyHex, std::string& message, std::string& report);
