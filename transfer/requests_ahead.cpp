#include "transfer/requests_ahead.h"

#include <algorithm>
#include <system_error>

CRequestsAhead::CRequestsAhead(std::string host, unsigned short port, const std::atomic<int>& stopFlag)
    : m_strHost(std::move(host)), m_nPort(port), m_bStop(stopFlag) {}

CRequestsAhead::~CRequestsAhead() { EndAll(); }

bool CRequestsAhead::IsOut(const std::string& object) const {
  return std::any_of(m_requests.begin(), m_requests.end(),
                     [&](const CRequest& request) { return request.object == object; });
}

void CRequestsAhead::Send(const std::string& object) {
  if (IsOut(object)) return;
  m_requests.emplace_back();
  CRequest& request = m_requests.back();
  request.object = object;
  try {
    // The list never moves its elements, so the thread may fill in `request` where it stands.
    request.thread = std::thread([this, &request] {
      try {
        request.response = CurrentHttpTransport().Get(m_strHost, m_nPort, request.object, &m_bStop);
      } catch (...) {
        request.failure = std::current_exception();
      }
    });
  } catch (const std::system_error&) {
    m_requests.pop_back();
  }
}

std::unique_ptr<IHttpResponse> CRequestsAhead::Take(const std::string& object) {
  auto found = std::find_if(m_requests.begin(), m_requests.end(),
                            [&](const CRequest& request) { return request.object == object; });
  if (found == m_requests.end()) return nullptr;
  found->thread.join();
  std::unique_ptr<IHttpResponse> response = std::move(found->response);
  const std::exception_ptr failure = found->failure;
  m_requests.erase(found);
  if (failure) std::rethrow_exception(failure);
  return response;
}

void CRequestsAhead::EndAll() {
  if (m_requests.empty()) return;
  CurrentHttpTransport().Cancel();
  for (CRequest& request : m_requests) request.thread.join();
  m_requests.clear();  // closes what the requests left open
}
