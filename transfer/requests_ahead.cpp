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

void CRequestsAhead::Reach(const std::string& object, std::unique_ptr<IPartHash>& hash) {
  auto found = Find(object);
  if (found != m_requests.end()) {
    found->reached = true;
    if (found->hash) hash = std::move(found->hash);  // the body, if begun, goes on giving it blocks
  }
  BeginPart(true);
}

void CRequestsAhead::BeginPart(bool hint) {
  m_nPartBegunMs = m_clockMs();
  m_nDeliveredAtBegin = m_nDelivered;
  if (hint && !m_bReadingHint) m_nHintParts = 0;
  m_bReadingHint = hint;
}

void CRequestsAhead::Delivered(long long bytes, bool whole) {
  m_nDelivered += bytes;
  if (!whole) return;
  const long long now = m_clockMs();
  // Asking ahead is worth its connections only while the line delivers, as the worker waits for
  // the parts it asked ahead, at least about the pace of a part asked at its turn (a little
  // leeway for the clock and the disk). The first part is always asked at its turn, on a cold
  // connection: hints slower even than that cost time for certain.
  if (!m_bReadingHint) {
    const long long took = std::max(1LL, now - m_nPartBegunMs);
    const long long came = m_nDelivered - m_nDeliveredAtBegin;
    if (m_nBestOwnMs < 0 || came * m_nBestOwnMs > m_nBestOwnBytes * took) {
      m_nBestOwnBytes = came;
      m_nBestOwnMs = took;
    }
    return;
  }
  if (++m_nHintParts == kHintPartsWeighed) {
    m_nHintsBegunMs = now;
    m_nDeliveredAtHints = m_nDelivered;
  }
  const long long took = now - m_nHintsBegunMs;
  const long long came = m_nDelivered - m_nDeliveredAtHints;  // these parts' and the others' read meanwhile
  if (m_nHintParts >= 2 * kHintPartsWeighed && m_nBestOwnMs >= 0 && took > kHintLeewayMs &&
      came * m_nBestOwnMs * 5 < m_nBestOwnBytes * took * 4)
    HintFailed();
}

void CRequestsAhead::SendOwn(const std::string& object) {
  BeginPart(false);
  CRequest request;
  request.object = object;
  try {
    request.sent = CurrentHttpTransport().Send(m_strHost, m_nPort, object, &m_bStop);
    request.sentMs = m_clockMs();
  } catch (...) {
    request.failure = std::current_exception();  // thrown to the worker when it takes the part
  }
  m_requests.push_back(std::move(request));
}

void CRequestsAhead::SendHint(const std::string& object, const std::string& localPath,
                              std::unique_ptr<IPartHash> hash, long long maxBytes) {
  if (m_bHintsOff || IsOut(object)) return;
  CRequest request;
  request.object = object;
  request.hint = true;
  request.localPath = localPath;
  request.hash = std::move(hash);
  request.maxBytes = maxBytes;
  try {
    request.sent = CurrentHttpTransport().Send(m_strHost, m_nPort, object, &m_bStop, kAheadConnectTimeoutMs);
    request.sentMs = m_clockMs();
  } catch (const CHttpTransportError&) {
    HintFailed();
    return;
  }
  m_requests.push_back(std::move(request));
}

CRequestsAhead::CRequest CRequestsAhead::TakeOut(std::list<CRequest>::iterator at) {
  CRequest request = std::move(*at);
  m_requests.erase(at);
  return request;
}

std::unique_ptr<IHttpResponse> CRequestsAhead::Take(const std::string& object) {
  auto found = Find(object);
  if (found == m_requests.end()) return nullptr;
  CRequest request = TakeOut(found);
  if (request.failure) std::rethrow_exception(request.failure);
  std::unique_ptr<IHttpResponse> response = request.sent->Answer();
  if (!request.hint) {
    const long long took = m_clockMs() - request.sentMs;
    if (m_nAnswerMs < 0 || took < m_nAnswerMs) m_nAnswerMs = took;
  }
  return response;
}

std::unique_ptr<CBodyToFile> CRequestsAhead::TakeBegun(const std::string& object) {
  auto found = Find(object);
  if (found == m_requests.end() || !found->body) return nullptr;
  return std::move(TakeOut(found).body);
}

bool CRequestsAhead::ReadOn(CRequest& request) {
  std::string error;  // a hint's failure is never shown: its part's own attempt says what fails
  try {
    if (!request.body) {
      // Its answer cannot have come before a round trip: waiting for it then would hold up the
      // others, the part being read among them.
      if (m_clockMs() - request.sentMs < m_nAnswerMs) return true;
      request.body = std::make_unique<CBodyToFile>(request.sent->Answer(), request.localPath, true,
                                                   request.hash.get(), request.maxBytes);
      if (!request.body->Open(error)) return false;
    }
    if (request.body->Written()) return true;
    const long long before = request.body->Received();
    const CBodyToFile::Step step = request.body->Next(error, true);
    m_nDelivered += request.body->Received() - before;
    if (step == CBodyToFile::Step::kFailed) return false;
    if (step == CBodyToFile::Step::kEnd || request.body->Complete()) {
      // The whole body is in its file, flushed, and the connection is let go; a body cut short
      // is a failed hint.
      request.body->EndResponse();
      return request.body->Close(error);
    }
    return true;
  } catch (const CHttpTransportError&) {
    return false;
  }
}

void CRequestsAhead::ReadOthers() {
  for (CRequest& request : m_requests) {
    if (!request.hint) continue;  // a hint is out only once sent
    if (!ReadOn(request)) {
      HintFailed();  // ends this request too; the list has changed
      return;
    }
  }
}

void CRequestsAhead::HintFailed() {
  m_bHintsOff = true;
  // The furthest first, as EndBeyond ends them.
  for (auto at = m_requests.end(); at != m_requests.begin();) {
    --at;
    const bool written = at->body && at->body->Written();
    if (at->hint && !at->reached && !written) at = m_requests.erase(at);
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
