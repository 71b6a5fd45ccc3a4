#pragma once

#include <windows.h>

#include "common/progress_bar.h"

// A progress control driven by its window messages; safe to call from the worker thread, whose
// messages the dialog's thread carries out.
class CProgressCtrl : public IProgressBar {
 public:
  void Attach(HWND hwnd) { m_hWnd = hwnd; }
  void SetRange(unsigned short lower, unsigned short upper) override;
  void GetRange(int& lower, int& upper) override;
  void SetStep(int step) override;
  void SetPos(int pos) override;
  void OffsetPos(int delta) override;

 private:
  HWND m_hWnd = nullptr;
};
