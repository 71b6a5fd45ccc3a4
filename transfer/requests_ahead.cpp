#include "transfer/requests_ahead.h"

#include <algorithm>
#include <chrono>

CRequestsAhead::CRequestsAhead(std::string host, unsigned short port, const std::atomic<int>& stopFlag,
                               std::function<long long()> clockMs)
    : m_strHost(std::move(host)), m_nPort(port), m_bStop(stopFlag), m_clockMs(std::move(clockMs)) {
  if (!m_clockMs)
    m_clockMs = [] {
      return static_cast<long long>(
          std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
              .count());
    };
  m_nStartMs = m_clockMs();
}

std::list<CRequestsAhead::CRequest>::iterator CRequestsAhead::Find(const std::string& object) {
  return std::find_if(m_requests.begin(), m_requests.end(), [&](const CRequest& out) { return out.object == object; });
}

std::list<CRequestsAhead::CRequest>::const_iterator CRequestsAhead::Find(const std::string& object) const {
  return std::find_if(m_requests.begin(), m_requests.end(), [&](const CRequest& out) { return out.object == object; });
}

bool CRequestsAhead::IsOut(const std::string& object) const { return Find(object) != m_requests.end(); }

bool CRequestsAhead::IsHint(const std::string& object) const {
  auto found = Find(object);
  return found != m_requests.end() && found->hint;
}

void CRequestsAhead::Reach(const std::string& object) {
  auto found = Find(object);
  if (found != m_requests.end()) found->reached = true;
  BeginPart(true);
}

void CRequestsAhead::BeginPart(bool hint) {
  m_nPartBegunMs = m_clockMs();
  m_bReadingHint = hint;
}

void CRequestsAhead::Delivered(long long bytes, bool whole) {
  m_nDelivered += bytes;
  if (!whole) return;
  const long long took = m_clockMs() - m_nPartBegunMs;
  // A hint is worth its connection only while its part comes no later than a part asked at its
  // turn did (a little leeway for the clock and the disk). The first part is always asked at its
  // turn, on a cold connection: a hint slower even than that costs time for certain.
  if (!m_bReadingHint) {
    if (m_nQuickestOwnMs < 0 || took < m_nQuickestOwnMs) m_nQuickestOwnMs = took;
  } else if (m_nQuickestOwnMs >= 0 && took > m_nQuickestOwnMs + std::max(m_nQuickestOwnMs / 4, kHintLeewayMs)) {
    HintFailed();
  }
}

void CRequestsAhead::SendOwn(const std::string& object) {
  BeginPart(false);
  CRequest request;
  request.object = object;
  try {
    request.sent = CurrentHttpTransport().Send(m_strHost, m_nPort, object, &m_bStop);
  } catch (...) {
    request.failure = std::current_exception();  // thrown to the worker when it takes the part
  }
  m_requests.push_back(std::move(request));
}

void CRequestsAhead::SendHint(const std::string& object) {
  if (m_bHintsOff || IsOut(object)) return;
  CRequest request;
  request.object = object;
  request.hint = true;
  try {
    request.sent = CurrentHttpTransport().Send(m_strHost, m_nPort, object, &m_bStop, kAheadConnectTimeoutMs);
  } catch (const CHttpTransportError&) {
    HintFailed();
    return;
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

void CRequestsAhead::HintFailed() {
  m_bHintsOff = true;
  // The furthest first, as EndBeyond ends them.
  for (auto at = m_requests.end(); at != m_requests.begin();) {
    --at;
    if (at->hint && !at->reached) at = m_requests.erase(at);
  }
}

int CRequestsAhead::Depth(long long partSize) const {
  if (m_bHintsOff || m_nDelivered == 0) return 0;
  int depth = std::min<int>(kRequestsAhead, static_cast<int>(CurrentHttpTransport().ConnectionLimit()) - 1);
  if (partSize > 0) {
    // What the line delivers in the horizon, in whole parts, at the rate so far.
    const long long elapsed = std::max(1LL, m_clockMs() - m_nStartMs);
    const long long reach = m_nDelivered * kAheadHorizonMs / elapsed / partSize;
    depth = static_cast<int>(std::min<long long>(depth, reach));
  }
  return std::max(depth, 0);
}

void CRequestsAhead::EndBeyond(size_t count) {
  while (m_requests.size() > count) m_requests.pop_back();
}
