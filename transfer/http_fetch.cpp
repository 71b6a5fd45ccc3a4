#include "transfer/http_fetch.h"

#include <memory>

#include "common/constants.h"
#include "common/file_system.h"
#include "common/progress_bar.h"
#include "transfer/body_to_file.h"
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
  try {
    // A body the requests ahead have begun to read goes on where they left it.
    std::unique_ptr<CBodyToFile> body = ahead != nullptr ? ahead->TakeBegun(object) : nullptr;
    if (body) {
      if (progress != nullptr && unitBytes > 0) progress->OffsetPos(static_cast<int>(body->Received() / unitBytes));
    } else {
      std::unique_ptr<IHttpResponse> response = ahead != nullptr ? ahead->Take(object) : nullptr;
      // The stop flag is read after each block, as it always was: a request is sent whatever it holds.
      if (!response) response = CurrentHttpTransport().Get(host, port, object, nullptr);
      body = std::make_unique<CBodyToFile>(std::move(response), localPath, binary != 0, hash, maxBytes);
      if (!body->Open(error)) return 0;
    }
    const long long before = body->Received();
    long long counted = before;
    for (;;) {
      const CBodyToFile::Step step = body->Next(error);
      if (step == CBodyToFile::Step::kFailed) return 0;
      if (step == CBodyToFile::Step::kEnd) break;
      if (progress != nullptr && unitBytes > 0) progress->OffsetPos(static_cast<int>(kFetchBlockBytes) / unitBytes);
      if (stopFlag != nullptr && stopFlag->load() != 0) return 0;
      const long long got = body->Received() - counted;
      counted = body->Received();
      if (pace != nullptr && !pace->Received(got, body->Expected() >= 0 && body->Received() >= body->Expected())) {
        error = TooSlowDownloadText();
        return 0;
      }
      // The bodies asked for ahead are read on between this body's blocks, so that none waits
      // unread.
      if (ahead != nullptr) ahead->ReadOthers();
    }
    // The whole body is in: its connection goes to the next request while the part is flushed.
    if (ahead != nullptr) {
      ahead->Delivered(body->Received() - before, body->Whole());
      if (body->Expected() >= 0 && body->Whole()) {
        body->EndResponse();
        ahead->ConnectionFree();
      }
    }
    return body->Close(error) ? 1 : 0;
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
