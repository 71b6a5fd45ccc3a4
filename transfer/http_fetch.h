#pragma once

#include <atomic>
#include <string>

class CFetchPace;
class CRequestsAhead;
class IPartHash;
class IProgressBar;

// The error text of a fetch that lost its pace.
std::string TooSlowDownloadText();

// One HTTP GET of `object` on host:port into localPath ("wb" when binary, else "w").
// Returns 1 when the whole body was received and written; 0 otherwise, with `error` set — except
// after a stop, which leaves `error` as it was. The progress bar, if given, moves by
// 4096 / unitBytes after every written block; the stop flag, if given, is read after every block.
// Never shows a message. A signed build passes `hash`, which is given every block as it is written.
// With `pace`, every block is counted there, and the fetch fails once the pace no longer holds
// (or a watchdog found so and cancelled the transfer). With `ahead`, a request
// already sent there for `object` is this fetch's request, and once its announced length is in,
// the request is closed and `ahead` told that its connection is free.
int HttpFetchFile(const char* host, unsigned short port, const char* object, const char* localPath, int binary,
                  std::string& error, IProgressBar* progress, int unitBytes, const std::atomic<int>* stopFlag,
                  IPartHash* hash = nullptr, long long maxBytes = -1, CFetchPace* pace = nullptr,
                  CRequestsAhead* ahead = nullptr);

// The most an index fetch takes: a 65,534-part index is about 2 MiB.
constexpr long long kMaxIndexBytes = 16 * 1024 * 1024;

// The error text for a body that runs past what the object can be.
std::string TooLongDownloadText(long long limit);

// The error text for a body that stopped short of (or ran past) its known length.
std::string IncompleteDownloadText(long long received, long long expected);
