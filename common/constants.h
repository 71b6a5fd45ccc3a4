// The program's fixed values, each named once. The server's host, port and scheme come from the
// build (BRISKO_SERVER_HOST, BRISKO_SERVER_PORT, BRISKO_SERVER_SCHEME); nothing here is read at
// run time.
#pragma once

#include <cstddef>

#ifndef BRISKO_SERVER_HOST
#define BRISKO_SERVER_HOST "download.corvane-software.com"
#endif
#ifndef BRISKO_SERVER_PORT
#define BRISKO_SERVER_PORT 80
#endif
#ifndef BRISKO_SERVER_HTTPS
#define BRISKO_SERVER_HTTPS 0
#endif

constexpr const char* kServerHost = BRISKO_SERVER_HOST;
constexpr unsigned short kServerPort = BRISKO_SERVER_PORT;
// An HTTPS build talks to its server over TLS only, the server's certificate checked by Windows
// against the user's trusted roots; a plain build over HTTP only.
constexpr bool kServerUsesHttps = BRISKO_SERVER_HTTPS != 0;

constexpr const char* kRemoteFolder = "/download/brisko/";
constexpr const char* kRemoteIndexObject = "/download/brisko/pkgindex.txt";
constexpr const char* kIndexFileName = "pkgindex.txt";
constexpr const char* kInstallerFileName = "corvane.exe";

// The most parts a package has: the overall bar counts the parts and the join in a 16-bit range.
constexpr int kMaxPartCount = 65534;

constexpr int kAttemptsPerPart = 3;
constexpr unsigned kRetryPauseMs = 10000;
constexpr std::size_t kFetchBlockBytes = 4096;  // one network read
constexpr std::size_t kIndexLineBytes = 1024;   // the longest index line read
constexpr int kProgressUnitBytes = 1024;        // bytes per step of the part bar
constexpr unsigned kNetworkTimeoutMs = 60000;   // connect, send and receive
// Start-up fetches the index (and a signed build the release file) before the main window exists.
// Each fetch waits for its first block as long as a connection waits (kNetworkTimeoutMs); after
// that it fails when no block comes for kStartupStallMs, or when, once bytes have flowed for
// kStartupRateWindowMs, the last such window brought less than kStartupMinBytesPerSecond on
// average: half of what a 32 kbit/s line carries. There is no total: the largest index takes
// minutes on a slow mobile line, and the start-up window lets the user cancel.
constexpr long long kStartupStallMs = 30000;
constexpr long long kStartupRateWindowMs = 30000;
constexpr long long kStartupMinBytesPerSecond = 2048;
// A start-up that takes longer than this shows a small window saying what it waits for.
constexpr unsigned kStartupWindowDelayMs = 2000;

constexpr const char* kSupportAddress = "brisko-support@corvane-software.com";
constexpr const char* kVendorWebSite = "https://www.corvane-software.com/brisko";

// Caption of every message box the program shows.
constexpr const char* kMessageCaption = "trelkin";

// Suffix of the files that are written beside a target and moved over it once complete.
constexpr const char* kTempSuffix = ".tmp";

// Signed packages (builds with a package key): the signed release that the vendor publishes
// beside the index, and the copy kept in the home folder and in the version folder.
constexpr const char* kReleaseFileName = "pkgrelease.txt";
constexpr const char* kRemoteReleaseObject = "/download/brisko/pkgrelease.txt";
// Which program a signed release is for, unless the build names another (BRISKO_RELEASE_PRODUCT).
constexpr const char* kDefaultReleaseProduct = "brisko-download";
// The longest release file read: 65,534 part lines of at most 160 bytes, and the lines before
// and after them.
constexpr std::size_t kMaxReleasePartLineBytes = 160;
constexpr std::size_t kMaxReleaseFileBytes = kMaxPartCount * kMaxReleasePartLineBytes + 16 * 1024;
