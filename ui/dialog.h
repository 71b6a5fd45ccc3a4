// A small dialog layer over Win32: one dialog procedure stores `this` at WM_INITDIALOG and
// hands messages to virtual handlers, never letting an exception cross into the system.
#pragma once

#include <windows.h>

class CDialog {
 public:
  CDialog(UINT templateId, HWND parent = nullptr) : m_templateId(templateId), m_hParent(parent) {}
  virtual ~CDialog() = default;
  CDialog(const CDialog&) = delete;
  CDialog& operator=(const CDialog&) = delete;

  // Shows the dialog and runs its modal loop; returns the code passed to EndDialog, -1 on failure.
  INT_PTR DoModal();
  // Creates the dialog without a loop of its own: the creator's message loop passes it its
  // messages through TakeDialogMessage, which is true for one the dialog took (Tab, Escape,
  // Enter, and any message of its own). False on failure. Destroy ends it.
  bool Create();
  void Destroy();
  bool TakeDialogMessage(MSG& message) { return m_hWnd != nullptr && ::IsDialogMessageA(m_hWnd, &message); }
  HWND GetSafeHwnd() const { return m_hWnd; }
  HWND GetDlgItem(int id) const { return ::GetDlgItem(m_hWnd, id); }

 protected:
  virtual BOOL OnInitDialog() { return TRUE; }
  virtual void OnOK() { EndDialog(m_hWnd, IDOK); }
  virtual void OnCancel() { EndDialog(m_hWnd, IDCANCEL); }  // a dialog made by Create overrides it
  // A click on a control other than OK and Cancel; true when handled.
  virtual bool OnCommand(int /*id*/) { return false; }
  // Any other message; true when handled, with `result` the dialog procedure's answer.
  virtual bool OnMessage(UINT /*message*/, WPARAM, LPARAM, INT_PTR& /*result*/) { return false; }

  HWND m_hWnd = nullptr;

 private:
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR Dispatch(UINT message, WPARAM wParam, LPARAM lParam);

  UINT m_templateId;
  HWND m_hParent;
};
