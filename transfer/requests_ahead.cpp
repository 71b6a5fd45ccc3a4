#include "transfer/requests_ahead.h"

#include <algorithm>

CRequestsAhead::CRequestsAhead(std::string host, unsigned short port, const std::atomic<int>& stopFlag)
    : m_strHost(std::move(host)), m_nPort(port), m_bStop(stopFlag) {}

std::list<CRequestsAhead::CRequest>::iterator CRequestsAhead::Find(const std::string& object) {
  return std::find_if(m_requests.begin(), m_requests.end(), [&](const CRequest& out) { return out.object == object; });
}

void CRequestsAhead::Send(const std::string& object) {
  if (Find(object) != m_requests.end()) return;  // already out
  CRequest request;
  request.object = object;
  try {
    request.sent = CurrentHttpTransport().Send(m_strHost, m_nPort, object, &m_bStop);
  } catch (...) {
    request.failure = std::current_exception();  // thrown to the worker when it takes the part
  }
  m_requests.push_back(std::move(request));
}

std::unique_ptr<IHttpResponse> CRequestsAhead::Take(const std::string& object) {
  auto found = Find(object);
  if (found == m_requests.end()) return nullptr;
  CRequest request = std::move(*found);
  m_requests.erase(found);
  if (request.failure) std::rethrow_exception(request.failure);
  return request.sent->Answer();
}

void CRequestsAhead::EndBeyond(size_t count) {
  while (m_requests.size() > count) m_requests.pop_back();
}
