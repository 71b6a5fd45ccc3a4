#include "transfer/http_fetch.h"

#include <cstdio>
#include <memory>

#include "common/constants.h"
#include "common/file_system.h"
#include "common/progress_bar.h"
#include "transfer/fetch_pace.h"
#include "transfer/http_transport.h"
#include "transfer/requests_ahead.h"
#include "index/package_verifier.h"

namespace {

IHttpTransport* g_pTransport = nullptr;

}  // namespace

IHttpTransport& CurrentHttpTransport() { return g_pTransport ? *g_pTransport : PlatformHttpTransport(); }

void SetHttpTransport(IHttpTransport* transport) { g_pTransport = transport; }

std::string TooSlowDownloadText() { return "The download server is too slow to answer."; }

std::string IncompleteDownloadText(long long received, long long expected) {
  return "The download was interrupted: received " + std::to_string(received) + " of " + std::to_string(expected) +
         " bytes.";
}

std::string TooLongDownloadText(long long limit) {
  return "The download server sent more than expected (over " + std::to_string(limit) + " bytes).";
}

int HttpFetchFile(const char* host, unsigned short port, const char* object, const char* localPath, int binary,
                  std::string& error, IProgressBar* progress, int unitBytes, const std::atomic<int>* stopFlag, IPartHash* hash, long long maxBytes,
                  CFetchPace* pace, CRequestsAhead* ahead) {
  FilePtr file;
  try {
    std::unique_ptr<IHttpResponse> response = ahead != nullptr ? ahead->Take(object) : nullptr;
    // The stop flag is read after each block, as it always was: a request is sent whatever it holds.
    if (!response) response = CurrentHttpTransport().Get(host, port, object, nullptr);
    const int status = response->StatusCode();
    if (status <= 0 || status >= 300) {
      // No local file is opened, so an earlier copy stays as it was.
      error = "Failed to connect to the server.";
      return 0;
    }
    file.reset(OpenFileStream(localPath, binary ? "wb" : "w"));
    if (!file) {
      error = std::string("Cannot create file: ") + localPath;
      return 0;
    }
    const long long expected = response->ContentLength();
    // Neither the index nor a part may fill the disk: a body announced, or running, past what
    // the object can be fails as soon as it is known.
    if (maxBytes >= 0 && expected > maxBytes) {
      error = TooLongDownloadText(maxBytes);
      return 0;
    }
    long long received = 0;
    char buffer[kFetchBlockBytes];
    for (;;) {
      const size_t got = response->Read(buffer, sizeof buffer);
      if (got == 0) break;
      if (maxBytes >= 0 && received + static_cast<long long>(got) > maxBytes) {
        error = TooLongDownloadText(maxBytes);
        return 0;
      }
      if (fwrite(buffer, got, 1, file.get()) != 1) {
        error = std::string("Failed to write to file: ") + localPath;
        return 0;
      }
      received += static_cast<long long>(got);
      if (hash != nullptr) hash->Update(buffer, got);
      if (progress != nullptr && unitBytes > 0) progress->OffsetPos(static_cast<int>(kFetchBlockBytes) / unitBytes);
      if (stopFlag != nullptr && stopFlag->load() != 0) return 0;
      if (pace != nullptr && !pace->Received(static_cast<long long>(got), expected >= 0 && received >= expected)) {
        error = TooSlowDownloadText();
        return 0;
      }
    }
    // The whole body is in: its connection goes to the next request while the part is flushed.
    if (ahead != nullptr) {
      ahead->Delivered(received, expected < 0 || received == expected);
      if (expected >= 0 && received == expected) {
        response.reset();
        ahead->ConnectionFree();
      }
    }
    // Pushed to the disk before the caller records the part as done, so that a power cut
    // cannot leave a done flag over data that never reached the disk.
    const bool flushed = FlushToDisk(file.get());
    if (fclose(file.release()) != 0 || !flushed) {
      error = std::string("Failed to write to file: ") + localPath;
      return 0;
    }
    // A connection that drops mid-body can look like a normal end; the announced length tells.
    if (expected >= 0 && received != expected) {
      error = IncompleteDownloadText(received, expected);
      return 0;
    }
    return 1;
  } catch (const CHttpTransportError& failure) {
    // A transfer ended by the user's stop is no failure to describe; one ended by the watchdog
    // when the pace failed says so.
    if (pace != nullptr && pace->Failed())
      error = TooSlowDownloadText();
    else if (stopFlag == nullptr || stopFlag->load() == 0)
      error = failure.what();
    return 0;
  }
}
