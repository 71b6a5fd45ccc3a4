#include "support/scripted_transport.h"

#include <algorithm>
#include <cstring>

namespace {

class CScriptedResponse : public IHttpResponse {
 public:
  CScriptedResponse(ScriptedResponse script, std::string object, CScriptedTransport& owner)
      : m_script(std::move(script)), m_object(std::move(object)), m_owner(owner) {}
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
  size_t m_next = 0;
};

}  // namespace

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

std::unique_ptr<IHttpResponse> CScriptedTransport::Get(const std::string& host, unsigned short, const std::string& object) {
  ScriptedResponse response;
  {
    std::lock_guard<std::mutex> hold(m_lock);
    m_requests.push_back(object);
    m_lastHost = host;
    auto found = m_script.find(object);
    if (found == m_script.end() || found->second.empty()) {
      response = ScriptedResponse::Status(404);
    } else {
      response = found->second.front();
      if (found->second.size() > 1) found->second.pop_front();
    }
  }
  if (response.failAtConnect) throw CHttpTransportError(response.failureText);
  return std::make_unique<CScriptedResponse>(std::move(response), object, *this);
}

std::vector<std::string> CScriptedTransport::Requests() {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_requests;
}

int CScriptedTransport::RequestCount(const std::string& object) {
  std::lock_guard<std::mutex> hold(m_lock);
  return static_cast<int>(std::count(m_requests.begin(), m_requests.end(), object));
}

std::string CScriptedTransport::LastHost() {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_lastHost;
}
