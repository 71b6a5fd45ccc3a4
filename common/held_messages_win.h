// While a CHeldMessages lives, ShowMessage on the thread that made it keeps its texts, in order,
// instead of showing them: start-up's preparation runs beside the start-up window, and what it
// has to say is shown once that window has gone, never behind or under it.
#pragma once

#include <string>
#include <vector>

class CHeldMessages {
 public:
  explicit CHeldMessages(std::vector<std::string>& held);
  ~CHeldMessages();
  CHeldMessages(const CHeldMessages&) = delete;
  CHeldMessages& operator=(const CHeldMessages&) = delete;

 private:
  std::vector<std::string>* m_pOuter;
};
