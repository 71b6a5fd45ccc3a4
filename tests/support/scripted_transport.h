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
  int failAtSend = 0;               // non-zero: Send throws (a connect that failed or timed out)
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
  // Called after each block a response hands out, and as a request's answer is taken (on the
  // fetching thread).
  std::function<void(const std::string& object, int block)> onBlock;
  std::function<void(const std::string& object)> onAnswer;
  // A server that allows each client `perClientLimit` requests under way (0: no limit), and
  // answers one beyond them with 503, or, `dropBeyondLimit`, never answers its connect at all.
  int perClientLimit = 0;
  bool dropBeyondLimit = false;
  // The most connections the client keeps to one server (ConnectionLimit).
  unsigned clientLimit = kMaxConnectionsPerServer;

  std::unique_ptr<IHttpResponse> Get(const std::string& host, unsigned short port, const std::string& object,
                                     const std::atomic<int>* stopFlag) override;
  // Counted under way from here; a stall or failure at connect comes with the answer.
  std::unique_ptr<IHttpRequestSent> Send(const std::string& host, unsigned short port, const std::string& object,
                                         const std::atomic<int>* stopFlag, unsigned connectTimeoutMs = 0) override;
  unsigned ConnectionLimit() override { return clientLimit; }
  void Cancel() override;
  // What became of the requests, in order, by the object's last name: "send p2", "send-failed p2",
  // "end p2" (ended unanswered), "answer p2", "close p2" (its response closed); and what a test
  // notes itself.
  std::vector<std::string> Events();
  void Note(const std::string& event);
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
  void Closed(const std::string& object);
  void NoteLocked(const std::string& event, const std::string& object);

  std::condition_variable m_changed;
  unsigned m_nCancelEpoch = 0;
  int m_nUnderWay = 0, m_nMostUnderWay = 0, m_nStalled = 0;
  std::mutex m_lock;
  std::map<std::string, std::deque<ScriptedResponse>> m_script;
  std::vector<std::string> m_requests;
  std::vector<std::string> m_events;
  std::string m_lastHost;
};
