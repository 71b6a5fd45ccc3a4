#pragma once

#include <windows.h>

#include <atomic>
#include <mutex>

#include "common/progress_bar.h"

// A progress control driven by its window messages; safe to call from the worker thread, whose
// messages the dialog's thread carries out.
//
// The fetch moves the bar after every 4 KiB block and sets it at every part, and under Wine each
// message the dialog's thread carries out costs about as much as receiving a block. So positions
// and moves are gathered and sent at most every kMoveIntervalMs; any other operation sends what
// is gathered first, and the dialog's thread applies what is left on its timer
// (ApplyPendingMoves). Moves only go forward after the last position set, so the control's
// clamping to its range gives the same position either way.
class CProgressCtrl : public IProgressBar {
 public:
  // Called on the dialog's thread.
  void Attach(HWND hwnd) {
    m_hWnd = hwnd;
    m_dwOwnerThread = GetCurrentThreadId();
  }
  void SetRange(unsigned short lower, unsigned short upper) override;
  void GetRange(int& lower, int& upper) override;
  void SetStep(int step) override;
  void SetPos(int pos) override;
  void OffsetPos(int delta) override;
  // Sends the position and moves gathered so far; called on the dialog's timer and before other
  // operations.
  void ApplyPendingMoves();

 private:
  static constexpr DWORD kMoveIntervalMs = 50;
  // Sends what is gathered if kMoveIntervalMs have passed since the last time, or at once on the
  // dialog's own thread.
  void ApplyWhenDue();

  HWND m_hWnd = nullptr;
  DWORD m_dwOwnerThread = 0;
  std::mutex m_lock;  // over the two below, which the worker sets and either thread sends
  int m_nPendingPos = -1;  // a position set and not yet sent; -1 for none
  int m_nPendingDelta = 0;  // moves after it
  std::atomic<DWORD> m_lastMoveTick{0};
};
