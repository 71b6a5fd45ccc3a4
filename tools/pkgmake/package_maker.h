// The vendor's side: cuts an installer into the parts and the index that the download server
// publishes, refusing what the program would reject or mishandle.
#pragma once

#include <string>

struct PackageRequest {
  std::string installer;
  std::string version;
  std::string partSize;  // as typed
  std::string outFolder;
};

// 0 when the package was written (or the folder already holds exactly this package); otherwise
// 1 with `message` saying why, and nothing written. `report` says what was done.
int MakePackage(const PackageRequest& request, std::string& message, std::string& report);
