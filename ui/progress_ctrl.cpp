#include "ui/progress_ctrl.h"

#include <commctrl.h>

// Position changes need no answer: from the worker they are queued for the dialog's thread in
// order with every other message the worker sends it, without waiting for them to be carried out.
void CProgressCtrl::ApplyPendingMoves() {
  // Sent under the lock, so that two threads applying at once cannot reorder a position and the
  // moves after it. On the dialog's thread the control handles them at once, without calling back.
  std::lock_guard<std::mutex> hold(m_lock);
  if (m_nPendingPos >= 0) SendNotifyMessageA(m_hWnd, PBM_SETPOS, m_nPendingPos, 0);
  if (m_nPendingDelta != 0) SendNotifyMessageA(m_hWnd, PBM_DELTAPOS, m_nPendingDelta, 0);
  m_nPendingPos = -1;
  m_nPendingDelta = 0;
}

void CProgressCtrl::ApplyWhenDue() {
  const DWORD now = GetTickCount();
  if (GetCurrentThreadId() != m_dwOwnerThread && now - m_lastMoveTick < kMoveIntervalMs) return;
  m_lastMoveTick = now;
  ApplyPendingMoves();
}

void CProgressCtrl::SetRange(unsigned short lower, unsigned short upper) {
  ApplyPendingMoves();
  SendMessageA(m_hWnd, PBM_SETRANGE, 0, MAKELPARAM(lower, upper));
}

void CProgressCtrl::GetRange(int& lower, int& upper) {
  ApplyPendingMoves();
  PBRANGE range = {0, 0};
  SendMessageA(m_hWnd, PBM_GETRANGE, TRUE, reinterpret_cast<LPARAM>(&range));
  lower = range.iLow;
  upper = range.iHigh;
}

void CProgressCtrl::SetStep(int step) {
  ApplyPendingMoves();
  SendMessageA(m_hWnd, PBM_SETSTEP, step, 0);
}

void CProgressCtrl::SetPos(int pos) {
  {
    std::lock_guard<std::mutex> hold(m_lock);
    m_nPendingPos = pos;
    m_nPendingDelta = 0;
  }
  ApplyWhenDue();
}

void CProgressCtrl::OffsetPos(int delta) {
  {
    std::lock_guard<std::mutex> hold(m_lock);
    m_nPendingDelta += delta;
  }
  ApplyWhenDue();
}
