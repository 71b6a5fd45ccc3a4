#include "app/home_folder_lock_win.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>

#include "common/file_system.h"

CHomeFolderLock::CHomeFolderLock() {
  const std::string module = GetModulePath();
  const std::string home = module.substr(0, module.find_last_of("\\/") + 1);
  uint64_t hash = 1469598103934665603ULL;  // FNV-1a of the folder's name, case folded as Windows does
  for (char c : home) {
    hash ^= static_cast<unsigned char>(toupper(static_cast<unsigned char>(c)));
    hash *= 1099511628211ULL;
  }
  char name[64];
  snprintf(name, sizeof name, "Local\\BriskoDownload-%016llx", static_cast<unsigned long long>(hash));
  snprintf(m_startingName, sizeof m_startingName, "%s-starting", name);
  m_hMutex = CreateMutexA(nullptr, FALSE, name);
  m_bFirst = m_hMutex != nullptr && GetLastError() != ERROR_ALREADY_EXISTS;
  if (m_bFirst) m_hStarting = CreateEventA(nullptr, FALSE, FALSE, m_startingName);
}

CHomeFolderLock::~CHomeFolderLock() {
  EndStarting();
  if (m_hMutex != nullptr) CloseHandle(m_hMutex);
}

void CHomeFolderLock::EndStarting() {
  if (m_hStarting != nullptr) CloseHandle(m_hStarting);
  m_hStarting = nullptr;
}

bool CHomeFolderLock::AskFirstToShowItsStartupWindow() const {
  HANDLE starting = OpenEventA(EVENT_MODIFY_STATE, FALSE, m_startingName);
  if (starting == nullptr) return false;
  SetEvent(starting);
  CloseHandle(starting);
  return true;
}
