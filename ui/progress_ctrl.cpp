#include "ui/progress_ctrl.h"

#include <commctrl.h>

void CProgressCtrl::SetRange(unsigned short lower, unsigned short upper) {
  SendMessageA(m_hWnd, PBM_SETRANGE, 0, MAKELPARAM(lower, upper));
}

void CProgressCtrl::GetRange(int& lower, int& upper) {
  PBRANGE range = {0, 0};
  SendMessageA(m_hWnd, PBM_GETRANGE, TRUE, reinterpret_cast<LPARAM>(&range));
  lower = range.iLow;
  upper = range.iHigh;
}

void CProgressCtrl::SetStep(int step) { SendMessageA(m_hWnd, PBM_SETSTEP, step, 0); }

void CProgressCtrl::SetPos(int pos) { SendMessageA(m_hWnd, PBM_SETPOS, pos, 0); }

void CProgressCtrl::OffsetPos(int delta) { SendMessageA(m_hWnd, PBM_DELTAPOS, delta, 0); }
