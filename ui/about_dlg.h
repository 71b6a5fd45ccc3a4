#pragma once

#include "res/resource.h"
#include "ui/dialog.h"

// The About box: the program's name, version and a line about it; OK closes it.
class CAboutDlg : public CDialog {
 public:
  explicit CAboutDlg(HWND parent) : CDialog(IDD_ABOUTBOX, parent) {}
};
