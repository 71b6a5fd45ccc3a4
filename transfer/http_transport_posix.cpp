#include "transfer/http_transport.h"

namespace {

// Native builds carry the program's logic for the tests only; they have no network client.
class CNoNetworkTransport : public IHttpTransport {
 public:
  std::unique_ptr<IHttpResponse> Get(const std::string&, unsigned short, const std::string&,
                                      const std::atomic<int>*) override {
    throw CHttpTransportError("This build has no network client.");
  }
  std::unique_ptr<IHttpRequestSent> Send(const std::string&, unsigned short, const std::string&,
                                         const std::atomic<int>*, unsigned) override {
    throw CHttpTransportError("This build has no network client.");
  }
};

}  // namespace

void SetSlowTransferSeconds(unsigned) {}

IHttpTransport& PlatformHttpTransport() {
  static CNoNetworkTransport transport;
  return transport;
}
