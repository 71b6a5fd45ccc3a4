#include "ui/scaled_logo.h"

#include <cstring>

namespace {

HWND FindBitmapControl(HWND dialog) {
  for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
    char kind[16] = "";
    GetClassNameA(child, kind, sizeof kind);
    if (_stricmp(kind, "Static") == 0 && (GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_BITMAP) return child;
  }
  return nullptr;
}

// The source scaled to width x height, smoothed: a 16-colour drawing stretched by a factor of
// 1.5 would otherwise show uneven pixels.
HBITMAP Scale(HBITMAP source, int sourceWidth, int sourceHeight, int width, int height) {
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top-down
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;  // no alpha: the control shows this very bitmap, not a copy
  info.bmiHeader.biCompression = BI_RGB;
  HDC screen = GetDC(nullptr);
  void* bits = nullptr;
  HBITMAP scaled = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HDC from = CreateCompatibleDC(screen);
  HDC to = CreateCompatibleDC(screen);
  ReleaseDC(nullptr, screen);
  if (scaled != nullptr && from != nullptr && to != nullptr) {
    HGDIOBJ oldFrom = SelectObject(from, source);
    HGDIOBJ oldTo = SelectObject(to, scaled);
    SetStretchBltMode(to, HALFTONE);
    SetBrushOrgEx(to, 0, 0, nullptr);
    StretchBlt(to, 0, 0, width, height, from, 0, 0, sourceWidth, sourceHeight, SRCCOPY);
    SelectObject(from, oldFrom);
    SelectObject(to, oldTo);
  }
  if (from != nullptr) DeleteDC(from);
  if (to != nullptr) DeleteDC(to);
  return scaled;
}

}  // namespace

CScaledLogo::~CScaledLogo() {
  if (m_hScaled != nullptr) DeleteObject(m_hScaled);
}

void CScaledLogo::Fit(HWND dialog, UINT bitmapId) {
  HWND control = FindBitmapControl(dialog);
  if (control == nullptr) return;
  // The control keeps its template size (SS_CENTERIMAGE), which the dialog scaled.
  RECT frame;
  GetClientRect(control, &frame);
  HBITMAP source = static_cast<HBITMAP>(
      LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(bitmapId), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
  BITMAP size = {};
  if (source == nullptr || GetObjectA(source, sizeof size, &size) == 0 || size.bmWidth <= 0 || size.bmHeight <= 0 ||
      frame.right <= 0 || frame.bottom <= 0) {
    if (source != nullptr) DeleteObject(source);
    return;
  }
  int width = frame.right;
  int height = MulDiv(width, size.bmHeight, size.bmWidth);
  if (height > frame.bottom) {
    height = frame.bottom;
    width = MulDiv(height, size.bmWidth, size.bmHeight);
  }
  HBITMAP scaled = Scale(source, size.bmWidth, size.bmHeight, width, height);
  DeleteObject(source);
  if (scaled == nullptr) return;
  // The bitmap the control showed before (the one its template loaded, or an earlier copy) is
  // no longer used by anybody: a static control never deletes its bitmaps itself.
  HGDIOBJ previous = reinterpret_cast<HGDIOBJ>(
      SendMessageA(control, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(scaled)));
  if (previous != nullptr && previous != scaled) DeleteObject(previous);
  m_hScaled = scaled;
}
