#include "support/scripted_transport.h"

#include <algorithm>
#include <chrono>
#include <cstring>

class CScriptedResponse : public IHttpResponse {
 public:
  CScriptedResponse(ScriptedResponse script, std::string object, CScriptedTransport& owner, unsigned epoch)
      : m_script(std::move(script)), m_object(std::move(object)), m_owner(owner), m_nEpoch(epoch) {}
  ~CScriptedResponse() override { m_owner.Closed("close " + m_object); }
  int StatusCode() override { return m_script.status; }
  long long ContentLength() override {
    if (m_script.contentLength != -2) return m_script.contentLength;
    long long total = 0;
    for (const std::string& block : m_script.blocks) total += static_cast<long long>(block.size());
    return total;
  }
  size_t Read(char* buffer, size_t size) override {
    if (m_script.failAfterBlocks >= 0 && m_next == static_cast<size_t>(m_script.failAfterBlocks))
      throw CHttpTransportError(m_script.failureText);
    if (m_script.stallAfterBlocks >= 0 && m_next == static_cast<size_t>(m_script.stallAfterBlocks))
      m_owner.Stall(m_nEpoch, m_script.failureText);
    if (m_next >= m_script.blocks.size()) return 0;
    const std::string& block = m_script.blocks[m_next++];
    const size_t n = std::min(size, block.size());
    memcpy(buffer, block.data(), n);
    if (m_owner.onBlock) m_owner.onBlock(m_object, static_cast<int>(m_next));
    return n;
  }

 private:
  ScriptedResponse m_script;
  std::string m_object;
  CScriptedTransport& m_owner;
  unsigned m_nEpoch;
  size_t m_next = 0;
};

ScriptedResponse ScriptedResponse::Ok(const std::string& body, size_t blockSize) {
  ScriptedResponse response;
  for (size_t at = 0; at < body.size(); at += blockSize) response.blocks.push_back(body.substr(at, blockSize));
  return response;
}

ScriptedResponse ScriptedResponse::Status(int code) {
  ScriptedResponse response;
  response.status = code;
  response.blocks = {"<html>not here</html>"};
  return response;
}

ScriptedResponse ScriptedResponse::Unreachable(const std::string& text) {
  ScriptedResponse response;
  response.failAtConnect = 1;
  response.failureText = text;
  return response;
}

void CScriptedTransport::Script(const std::string& object, ScriptedResponse response) {
  std::lock_guard<std::mutex> hold(m_lock);
  m_script[object].push_back(std::move(response));
}

void CScriptedTransport::Answer(const std::string& object, ScriptedResponse response) {
  std::lock_guard<std::mutex> hold(m_lock);
  m_script[object] = {std::move(response)};
}

// A request sent: under way from its send until its response is closed; it stalls or fails at
// connect only when its answer is asked for.
class CScriptedRequestSent : public IHttpRequestSent {
 public:
  CScriptedRequestSent(ScriptedResponse script, std::string object, CScriptedTransport& owner, unsigned epoch)
      : m_script(std::move(script)), m_object(std::move(object)), m_owner(owner), m_nEpoch(epoch) {}
  ~CScriptedRequestSent() override {
    if (!m_bAnswered) m_owner.Closed("end " + m_object);
  }
  std::unique_ptr<IHttpResponse> Answer() override {
    m_bAnswered = true;
    m_owner.Note("answer " + m_object.substr(m_object.rfind('/') + 1));
    if (m_owner.onAnswer) m_owner.onAnswer(m_object);
    try {
      if (m_script.stallAtConnect) m_owner.Stall(m_nEpoch, m_script.failureText);
      if (m_script.failAtConnect) throw CHttpTransportError(m_script.failureText);
    } catch (...) {
      m_owner.Closed("close " + m_object);
      throw;
    }
    return std::make_unique<CScriptedResponse>(std::move(m_script), m_object, m_owner, m_nEpoch);
  }

 private:
  ScriptedResponse m_script;
  std::string m_object;
  CScriptedTransport& m_owner;
  unsigned m_nEpoch;
  bool m_bAnswered = false;
};

std::unique_ptr<IHttpRequestSent> CScriptedTransport::Send(const std::string& host, unsigned short,
                                                           const std::string& object, const std::atomic<int>* stopFlag,
                                                           unsigned) {
  std::lock_guard<std::mutex> hold(m_lock);
  // As the platform's transport: a request begun after the stop was asked for is not sent.
  if (stopFlag != nullptr && stopFlag->load() != 0) throw CHttpTransportError("The download was stopped.");
  m_requests.push_back(object);
  m_lastHost = host;
  ScriptedResponse response;
  auto found = m_script.find(object);
  if (found == m_script.end() || found->second.empty()) {
    response = ScriptedResponse::Status(404);
  } else {
    response = found->second.front();
    if (found->second.size() > 1) found->second.pop_front();
  }
  const bool beyondLimit = perClientLimit > 0 && m_nUnderWay >= perClientLimit;
  if (response.failAtSend || (beyondLimit && dropBeyondLimit)) {
    NoteLocked("send-failed ", object);
    throw CHttpTransportError(beyondLimit ? "The operation timed out" : response.failureText);
  }
  if (beyondLimit) response = ScriptedResponse::Status(503);
  m_nMostUnderWay = std::max(m_nMostUnderWay, ++m_nUnderWay);
  NoteLocked("send ", object);
  return std::make_unique<CScriptedRequestSent>(std::move(response), object, *this, m_nCancelEpoch);
}

std::unique_ptr<IHttpResponse> CScriptedTransport::Get(const std::string& host, unsigned short port,
                                                       const std::string& object, const std::atomic<int>* stopFlag) {
  return Send(host, port, object, stopFlag)->Answer();
}

void CScriptedTransport::Cancel() {
  std::lock_guard<std::mutex> hold(m_lock);
  ++m_nCancelEpoch;
  m_changed.notify_all();
}

void CScriptedTransport::Stall(unsigned epoch, const std::string& text) {
  std::unique_lock<std::mutex> hold(m_lock);
  ++m_nStalled;
  m_changed.notify_all();
  const bool cancelled =
      m_changed.wait_for(hold, std::chrono::minutes(1), [&] { return m_nCancelEpoch != epoch; });
  --m_nStalled;
  throw CHttpTransportError(cancelled ? text : "A stalled request was never cancelled.");
}

void CScriptedTransport::Closed(const std::string& event) {
  std::lock_guard<std::mutex> hold(m_lock);
  --m_nUnderWay;
  m_events.push_back(event.substr(0, event.find(' ') + 1) + event.substr(event.rfind('/') + 1));
  m_changed.notify_all();
}

void CScriptedTransport::NoteLocked(const std::string& event, const std::string& object) {
  m_events.push_back(event + object.substr(object.rfind('/') + 1));
}

void CScriptedTransport::Note(const std::string& event) {
  std::lock_guard<std::mutex> hold(m_lock);
  m_events.push_back(event);
}

std::vector<std::string> CScriptedTransport::Events() {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_events;
}

int CScriptedTransport::UnderWay() {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_nUnderWay;
}

int CScriptedTransport::MostUnderWay() {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_nMostUnderWay;
}

bool CScriptedTransport::WaitForStalled(int count) {
  std::unique_lock<std::mutex> hold(m_lock);
  return m_changed.wait_for(hold, std::chrono::minutes(1), [&] { return m_nStalled >= count; });
}

std::vector<std::string> CScriptedTransport::Requests() {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_requests;
}

std::vector<std::string> CScriptedTransport::SortedRequests() {
  std::vector<std::string> sorted = Requests();
  std::sort(sorted.begin(), sorted.end());
  return sorted;
}

int CScriptedTransport::RequestCount(const std::string& object) {
  std::lock_guard<std::mutex> hold(m_lock);
  return static_cast<int>(std::count(m_requests.begin(), m_requests.end(), object));
}

std::string CScriptedTransport::LastHost() {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_lastHost;
}
