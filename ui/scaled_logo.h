// The logo in the main dialog, drawn at the size of its frame in the dialog template: the frame
// grows with the dialog's font and DPI, the bitmap in the resources does not.
#pragma once

#include <windows.h>

class CScaledLogo {
 public:
  CScaledLogo() = default;
  ~CScaledLogo();
  CScaledLogo(const CScaledLogo&) = delete;
  CScaledLogo& operator=(const CScaledLogo&) = delete;

  // Shows bitmap `bitmapId` in the dialog's bitmap control, scaled to fit the control with its
  // proportions kept. Call once the dialog is laid out, and again after its DPI changed.
  void Fit(HWND dialog, UINT bitmapId);

 private:
  HBITMAP m_hScaled = nullptr;  // the copy the control shows, deleted once the dialog is gone
};
