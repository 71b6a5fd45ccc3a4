#include "ui/progress_ctrl.h"

#include <commctrl.h>

// Position changes need no answer: from the worker they are queued for the dialog's thread in
// order with every other message the worker sends it, without waiting for them to be carried out.
void CProgressCtrl::ApplyPendingMoves() {
  const int delta = m_pendingDelta.exchange(0);
  if (delta != 0) SendNotifyMessageA(m_hWnd, PBM_DELTAPOS, delta, 0);
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
  ApplyPendingMoves();
  SendNotifyMessageA(m_hWnd, PBM_SETPOS, pos, 0);
}

void CProgressCtrl::OffsetPos(int delta) {
  m_pendingDelta += delta;
  const DWORD now = GetTickCount();
  if (now - m_lastMoveTick >= kMoveIntervalMs) {
    m_lastMoveTick = now;
    ApplyPendingMoves();
  }
}
