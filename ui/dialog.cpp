#include "ui/dialog.h"

INT_PTR CDialog::DoModal() {
  return DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(m_templateId), m_hParent, DialogProc,
                         reinterpret_cast<LPARAM>(this));
}

bool CDialog::Create() {
  return CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(m_templateId), m_hParent, DialogProc,
                            reinterpret_cast<LPARAM>(this)) != nullptr;
}

void CDialog::Destroy() {
  if (m_hWnd != nullptr) DestroyWindow(m_hWnd);  // m_hWnd is cleared at WM_NCDESTROY
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* dialog = reinterpret_cast<CDialog*>(lParam);
    SetWindowLongPtrA(hwnd, DWLP_USER, lParam);
    dialog->m_hWnd = hwnd;
  }
  auto* dialog = reinterpret_cast<CDialog*>(GetWindowLongPtrA(hwnd, DWLP_USER));
  if (dialog == nullptr) return FALSE;  // messages that arrive before WM_INITDIALOG
  try {
    INT_PTR result = dialog->Dispatch(message, wParam, lParam);
    if (message == WM_NCDESTROY) dialog->m_hWnd = nullptr;
    return result;
  } catch (...) {
    return FALSE;
  }
}

INT_PTR CDialog::Dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_COMMAND:
      if (HIWORD(wParam) != BN_CLICKED) break;
      switch (LOWORD(wParam)) {
        case IDOK:
          OnOK();
          return TRUE;
        case IDCANCEL:
          OnCancel();
          return TRUE;
        default:
          return OnCommand(LOWORD(wParam)) ? TRUE : FALSE;
      }
  }
  INT_PTR result = FALSE;
  if (OnMessage(message, wParam, lParam, result)) return result;
  return FALSE;
}
