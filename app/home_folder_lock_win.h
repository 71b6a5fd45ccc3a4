// One program per home folder: a second copy started from the same folder (a double
// double-click) would write the same parts and resume index as the first. A named mutex, per
// folder and per user session, tells the second copy that the first is there; a named event
// tells it that the first is still starting, and lets it ask the first to show its start-up
// window at once.
#pragma once

#include <windows.h>

class CHomeFolderLock {
 public:
  CHomeFolderLock();
  ~CHomeFolderLock();
  CHomeFolderLock(const CHomeFolderLock&) = delete;
  CHomeFolderLock& operator=(const CHomeFolderLock&) = delete;

  bool IsFirst() const { return m_bFirst; }

  // The first copy, while it starts: the event a second copy sets to ask for the start-up
  // window (auto-reset; nullptr if it could not be made). EndStarting closes it once the main
  // window is about to open.
  HANDLE StartingEvent() const { return m_hStarting; }
  void EndStarting();

  // A second copy: true when the first is still starting, having asked it to show its window.
  bool AskFirstToShowItsStartupWindow() const;

 private:
  HANDLE m_hMutex = nullptr;
  HANDLE m_hStarting = nullptr;
  bool m_bFirst = false;
  char m_startingName[80] = "";
};
