// A transport that answers from a script: per object, a queue of responses (status, body blocks,
// announced length, a failure at a chosen point, a stall). Every request is recorded, and how many
// were under way at once. Cancel ends every request under way, as the platform's does.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "transfer/http_transport.h"

struct ScriptedResponse {
  int status = 200;
  std::vector<std::string> blocks;  // what each Read returns, in order
  long long contentLength = -2;     // -2: the sum of the blocks; -1: none announced
  int failAtConnect = 0;            // non-zero: Get throws
  int failAfterBlocks = -1;         // >= 0: the Read after this many blocks throws
  int stallAtConnect = 0;           // non-zero: Get waits until Cancel (then throws)
  int stallAfterBlocks = -1;        // >= 0: the Read after this many blocks waits until Cancel
  std::string failureText = "The connection with the server was reset";

  static ScriptedResponse Ok(const std::string& body, size_t blockSize = 4096);
  static ScriptedResponse Status(int code);
  static ScriptedResponse Unreachable(const std::string& text = "The server name or address could not be resolved");
};

class CScriptedTransport : public IHttpTransport {
 public:
  CScriptedTransport() { SetHttpTransport(this); }
  ~CScriptedTransport() override { SetHttpTransport(nullptr); }

  // Queues a response for the object; the last queued response also answers later requests.
  void Script(const std::string& object, ScriptedResponse response);
  // Forgets what was queued for the object: from now on this response answers it.
  void Answer(const std::string& object, ScriptedResponse response);
  // Called after each block a response hands out (on the fetching thread).
  std::function<void(const std::string& object, int block)> onBlock;

  std::unique_ptr<IHttpResponse> Get(const std::string& host, unsigned short port, const std::string& object,
                                     const std::atomic<int>* stopFlag) override;
  // Counted under way from here; a stall or failure at connect comes with the answer.
  std::unique_ptr<IHttpRequestSent> Send(const std::string& host, unsigned short port, const std::string& object,
                                         const std::atomic<int>* stopFlag) override;
  void Cancel() override;
  std::vector<std::string> Requests();
  // The same, sorted: requests sent ahead overlap, so only what was asked for how often is fixed.
  std::vector<std::string> SortedRequests();
  int RequestCount(const std::string& object);
  std::string LastHost();
  // Requests under way (sent, their response not yet closed), now and at most at once.
  int UnderWay();
  int MostUnderWay();
  // Waits until `count` requests are under way and stalled; false if that took a minute.
  bool WaitForStalled(int count);

 private:
  friend class CScriptedResponse;
  friend class CScriptedRequestSent;
  // Waits until a Cancel after `epoch`; throws then, or after a minute (a test that never cancels).
  void Stall(unsigned epoch, const std::string& text);
  void Closed();

  std::condition_variable m_changed;
  unsigned m_nCancelEpoch = 0;
  int m_nUnderWay = 0, m_nMostUnderWay = 0, m_nStalled = 0;
  std::mutex m_lock;
  std::map<std::string, std::deque<ScriptedResponse>> m_script;
  std::vector<std::string> m_requests;
  std::string m_lastHost;
};
