#include "transfer/requests_ahead.h"

#include <algorithm>
#include <chrono>
#include <system_error>

CRequestsAhead::CRequestsAhead(std::string host, unsigned short port, const std::atomic<int>& stopFlag)
    : m_strHost(std::move(host)), m_nPort(port), m_bStop(stopFlag) {}

CRequestsAhead::~CRequestsAhead() {
  EndAll();
  {
    std::lock_guard<std::mutex> hold(m_lock);
    m_bClosing = true;
  }
  m_changed.notify_all();
  for (std::thread& sender : m_senders) sender.join();
}

std::list<CRequestsAhead::CRequest>::iterator CRequestsAhead::Find(const std::string& object) {
  return std::find_if(m_requests.begin(), m_requests.end(),
                      [&](const CRequest& request) { return request.object == object; });
}

std::list<CRequestsAhead::CRequest>::iterator CRequestsAhead::FirstIn(EState state) {
  return std::find_if(m_requests.begin(), m_requests.end(),
                      [&](const CRequest& request) { return request.state == state; });
}

void CRequestsAhead::Send(const std::string& object) {
  std::unique_lock<std::mutex> hold(m_lock);
  if (Find(object) != m_requests.end()) return;  // already out
  m_requests.emplace_back();
  m_requests.back().object = object;
  const auto waiting = std::count_if(m_requests.begin(), m_requests.end(),
                                     [](const CRequest& request) { return request.state == EState::kWaiting; });
  if (waiting > m_nIdleSenders) {
    try {
      m_senders.emplace_back([this] { Serve(); });
      ++m_nIdleSenders;  // it takes up a waiting request as soon as it runs
    } catch (const std::system_error&) {
      // The senders there are will reach it; with none, nobody would.
      if (m_senders.empty()) m_requests.pop_back();
    }
  }
  hold.unlock();
  m_changed.notify_all();
}

void CRequestsAhead::Serve() {
  std::unique_lock<std::mutex> hold(m_lock);
  for (;;) {
    auto next = FirstIn(EState::kWaiting);
    if (next == m_requests.end()) {
      if (m_bClosing) return;
      m_changed.wait(hold);
      continue;
    }
    CRequest& request = *next;
    request.state = EState::kSending;
    --m_nIdleSenders;
    hold.unlock();
    std::unique_ptr<IHttpResponse> response;
    std::exception_ptr failure;
    try {
      response = CurrentHttpTransport().Get(m_strHost, m_nPort, request.object, &m_bStop);
    } catch (...) {
      failure = std::current_exception();
    }
    hold.lock();
    request.response = std::move(response);
    request.failure = failure;
    request.state = EState::kAnswered;
    ++m_nIdleSenders;
    m_changed.notify_all();
  }
}

std::unique_ptr<IHttpResponse> CRequestsAhead::Take(const std::string& object) {
  std::unique_lock<std::mutex> hold(m_lock);
  auto found = Find(object);
  if (found == m_requests.end()) return nullptr;
  m_changed.wait(hold, [&] { return found->state == EState::kAnswered; });
  std::unique_ptr<IHttpResponse> response = std::move(found->response);
  const std::exception_ptr failure = found->failure;
  m_requests.erase(found);
  hold.unlock();
  if (failure) std::rethrow_exception(failure);
  return response;
}

void CRequestsAhead::EndBeyond(size_t count) {
  std::unique_lock<std::mutex> hold(m_lock);
  while (m_requests.size() > count) {
    CRequest& last = m_requests.back();
    m_changed.wait(hold, [&] { return last.state != EState::kSending; });
    std::unique_ptr<IHttpResponse> ended = std::move(last.response);
    m_requests.pop_back();
    hold.unlock();
    ended.reset();  // closed outside the lock
    hold.lock();
  }
}

void CRequestsAhead::EndAll() {
  std::unique_lock<std::mutex> hold(m_lock);
  // Those no sender has taken up are never sent.
  m_requests.remove_if([](const CRequest& request) { return request.state == EState::kWaiting; });
  const auto sending = [this] { return FirstIn(EState::kSending) != m_requests.end(); };
  // A sender may not have opened its request yet when Cancel runs, and Cancel ends only those
  // open: it is repeated until every sender has come back.
  while (sending()) {
    hold.unlock();
    CurrentHttpTransport().Cancel();
    hold.lock();
    m_changed.wait_for(hold, std::chrono::milliseconds(50), [&] { return !sending(); });
  }
  std::list<CRequest> ended;
  ended.swap(m_requests);
  hold.unlock();
  // Closes what the requests left open, outside the lock.
}
