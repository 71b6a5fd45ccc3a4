#pragma once

#include <windows.h>

#include <atomic>

#include "common/progress_bar.h"

// A progress control driven by its window messages; safe to call from the worker thread, whose
// messages the dialog's thread carries out.
//
// The fetch moves the bar after every 4 KiB block, and under Wine each synchronous message to
// the dialog's thread costs about as much as receiving the block. So moves are gathered and sent
// at most every kMoveIntervalMs; any other operation sends what is gathered first, and the
// dialog's thread applies what is left on its timer (ApplyPendingMoves). Moves only go forward,
// so the control's clamping to its range gives the same position either way.
class CProgressCtrl : public IProgressBar {
 public:
  void Attach(HWND hwnd) { m_hWnd = hwnd; }
  void SetRange(unsigned short lower, unsigned short upper) override;
  void GetRange(int& lower, int& upper) override;
  void SetStep(int step) override;
  void SetPos(int pos) override;
  void OffsetPos(int delta) override;
  // Sends the moves gathered so far; called on the dialog's timer and before other operations.
  void ApplyPendingMoves();

 private:
  static constexpr DWORD kMoveIntervalMs = 50;
  HWND m_hWnd = nullptr;
  std::atomic<int> m_pendingDelta{0};
  DWORD m_lastMoveTick = 0;  // worker thread only
};
