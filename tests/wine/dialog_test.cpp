// The main dialog in this process, driven from a second thread: its first look, the system
// menu's About entry and the About box, and its layout at the screen's DPI; and the start-up
// window (the end-to-end run
// sets BRISKO_DIALOG_DPI to the DPI it gave Wine). Needs a display (the end-to-end run provides
// Xvfb).
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

#include "support/memory_view.h"
#include "support/message_recorder.h"
#include "support/scripted_transport.h"
#include "support/temp_dir.h"
#include "ui/downloader_dlg.h"
#include "ui/startup_dlg.h"

namespace {

HWND WaitForWindow(const char* caption) {
  for (int i = 0; i < 200; ++i) {
    if (HWND hwnd = FindWindowA(nullptr, caption)) return hwnd;
    Sleep(50);
  }
  return nullptr;
}

std::string MenuItemText(HMENU menu, int position, UINT& id, bool& separator) {
  char text[256] = "";
  MENUITEMINFOA info = {};
  info.cbSize = sizeof info;
  info.fMask = MIIM_FTYPE | MIIM_STRING | MIIM_ID;
  info.dwTypeData = text;
  info.cch = sizeof text;
  GetMenuItemInfoA(menu, position, TRUE, &info);
  id = info.wID;
  separator = (info.fType & MFT_SEPARATOR) != 0;
  return text;
}

std::string ChildText(HWND parent, int id) {
  char text[512] = "";
  GetDlgItemTextA(parent, id, text, sizeof text);
  return text;
}

std::string ChildText(HWND control) {
  char text[512] = "";
  GetWindowTextA(control, text, sizeof text);
  return text;
}

class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    m_dlg.m_strDirectory = m_dir.Path();
    m_dlg.m_strVersion = "4.2";
    m_dlg.m_index.m_strProductVersion = "4.2";
    m_dlg.m_index.m_nPartSize = 2048;
    for (int i = 0; i < 5; ++i) m_dlg.m_index.m_parts.push_back({"part" + std::to_string(i), i < 3 ? 1 : 0});
  }
  CTempDir m_dir;
  CDownloaderDlg m_dlg;
};

TEST_F(DialogTest, FirstLookSystemMenuAndAboutBox) {
  std::string overall, directory, version, menuTail, aboutCaption, aboutLine, labelShown;
  int aboutLineWidth = 0, aboutLineRoom = -1;
  bool installEnabled = true, labelVisible = true, aboutClosed = false;
  LRESULT movedTo = -1, clampedAt = -1;
  std::thread user([&] {
    HWND main = WaitForWindow("Corvane Software Brisko Download");
    if (!main) return;
    Sleep(200);
    directory = ChildText(main, IDC_DIRECTORY);
    version = ChildText(main, IDC_VERSION);
    HWND bar = GetDlgItem(main, IDC_OVERALL_PROGRESS);
    overall = std::to_string(SendMessageA(bar, PBM_GETPOS, 0, 0)) + " of " +
              std::to_string(SendMessageA(bar, PBM_GETRANGE, FALSE, 0));
    installEnabled = IsWindowEnabled(GetDlgItem(main, IDC_INSTALL));
    labelVisible = IsWindowVisible(GetDlgItem(main, IDC_PART_LABEL));

    HMENU menu = GetSystemMenu(main, FALSE);
    const int count = GetMenuItemCount(menu);
    UINT id = 0;
    bool separator = false;
    MenuItemText(menu, count - 2, id, separator);
    menuTail = separator ? "-" : "?";
    const std::string last = MenuItemText(menu, count - 1, id, separator);
    menuTail += ";" + last + "#" + std::to_string(id);

    // Moves from another thread, as the worker makes them, all reach the control.
    m_dlg.OverallProgress().SetPos(0);
    for (int i = 0; i < 5; ++i) m_dlg.OverallProgress().OffsetPos(1);
    Sleep(300);
    movedTo = SendMessageA(bar, PBM_GETPOS, 0, 0);
    for (int i = 0; i < 5; ++i) m_dlg.OverallProgress().OffsetPos(1);
    Sleep(300);
    clampedAt = SendMessageA(bar, PBM_GETPOS, 0, 0);
    // The part's label as the worker drives it, from its own thread, without waiting: the last
    // text wins, and asking twice to show it does not undo a later hide.
    HWND label = GetDlgItem(main, IDC_PART_LABEL);
    m_dlg.SetPartLabelText("part3");
    m_dlg.ShowPartLabel(true);
    m_dlg.SetPartLabelText("part4");
    m_dlg.ShowPartLabel(true);
    Sleep(300);
    labelShown = ChildText(label) + (IsWindowVisible(label) ? " shown" : " hidden");
    m_dlg.ShowPartLabel(false);
    Sleep(300);
    labelShown += IsWindowVisible(label) ? ", then shown" : ", then hidden";

    PostMessageA(main, WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
    if (HWND about = WaitForWindow("About trelkin")) {
      aboutCaption = "About trelkin";
      // The second line must fit its one-line rectangle in the box's own font.
      for (HWND child = nullptr; (child = FindWindowExA(about, child, "Static", nullptr)) != nullptr;) {
        const std::string text = ChildText(child);
        if (text.empty() || text == "trelkin Version 1.0") continue;
        aboutLine = text;
        HDC dc = GetDC(child);
        HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageA(child, WM_GETFONT, 0, 0)));
        SIZE size = {};
        GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &size);
        SelectObject(dc, old);
        ReleaseDC(child, dc);
        RECT room;
        GetClientRect(child, &room);
        aboutLineWidth = size.cx;
        aboutLineRoom = room.right;
      }
      PostMessageA(about, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
      for (int i = 0; i < 100 && IsWindow(about); ++i) Sleep(50);
      aboutClosed = !IsWindow(about);
    }
    PostMessageA(main, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  });
  m_dlg.DoModal();
  user.join();

  EXPECT_EQ(m_dir.Path(), directory);
  EXPECT_EQ("4.2", version);
  EXPECT_EQ("3 of 6", overall);
  EXPECT_FALSE(installEnabled);
  EXPECT_FALSE(labelVisible);
  EXPECT_EQ("-;&About trelkin...#16", menuTail);
  EXPECT_EQ(5, movedTo);
  EXPECT_EQ(6, clampedAt);
  EXPECT_EQ("part4 shown, then hidden", labelShown);
  EXPECT_EQ("About trelkin", aboutCaption);
  EXPECT_FALSE(aboutLine.empty());
  EXPECT_LE(aboutLineWidth, aboutLineRoom) << aboutLine;
  EXPECT_TRUE(aboutClosed);
  EXPECT_TRUE(TakeMessages().empty());
}

// At the DPI the process runs at: every control within the dialog, and the logo drawn at the size
// of its frame in the template (the dialog's size grows with the DPI, the resource's 201 x 94
// pixels do not).
TEST_F(DialogTest, AtTheScreensDpiNothingIsClippedAndTheLogoFillsItsFrame) {
  int dpi = 0;
  std::string outside = "not measured";
  SIZE frame = {}, control = {}, drawn = {};
  std::thread user([&] {
    HWND main = WaitForWindow("Corvane Software Brisko Download");
    if (!main) return;
    Sleep(200);
    HDC dc = GetDC(main);
    dpi = GetDeviceCaps(dc, LOGPIXELSY);
    ReleaseDC(main, dc);
    RECT client;
    GetClientRect(main, &client);
    outside.clear();
    HWND logo = nullptr;
    for (HWND child = GetWindow(main, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
      RECT rect;
      GetWindowRect(child, &rect);
      MapWindowPoints(nullptr, main, reinterpret_cast<POINT*>(&rect), 2);
      if (rect.left < 0 || rect.top < 0 || rect.right > client.right || rect.bottom > client.bottom) {
        char kind[32] = "";
        GetClassNameA(child, kind, sizeof kind);
        outside += std::string(kind) + "#" + std::to_string(GetDlgCtrlID(child)) + " ";
      }
      if ((GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_BITMAP) logo = child;
    }
    RECT template_ = {7, 171, 7 + 101, 171 + 47};  // the logo's frame in dialog units
    MapDialogRect(main, &template_);
    frame = {template_.right - template_.left, template_.bottom - template_.top};
    if (logo) {
      RECT rect;
      GetClientRect(logo, &rect);
      control = {rect.right, rect.bottom};
      BITMAP bitmap = {};
      if (HGDIOBJ image = reinterpret_cast<HGDIOBJ>(SendMessageA(logo, STM_GETIMAGE, IMAGE_BITMAP, 0)))
        GetObjectA(image, sizeof bitmap, &bitmap);
      drawn = {bitmap.bmWidth, bitmap.bmHeight};
    }
    PostMessageA(main, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  });
  m_dlg.DoModal();
  user.join();

  if (const char* expected = getenv("BRISKO_DIALOG_DPI")) {
    EXPECT_EQ(atoi(expected), dpi);
  }
  EXPECT_EQ("", outside) << "controls past the dialog's client area at " << dpi << " DPI";
  EXPECT_NEAR(frame.cx, control.cx, 1) << dpi << " DPI";
  EXPECT_NEAR(frame.cy, control.cy, 1) << dpi << " DPI";
  // Fills the frame in one direction, fits in the other, in the picture's own proportions.
  EXPECT_TRUE((drawn.cx == control.cx && drawn.cy <= control.cy) || (drawn.cy == control.cy && drawn.cx <= control.cx))
      << drawn.cx << " x " << drawn.cy << " in " << control.cx << " x " << control.cy << " at " << dpi << " DPI";
  EXPECT_NEAR(drawn.cx * 94.0 / 201.0, drawn.cy, 1.0);
  EXPECT_TRUE(TakeMessages().empty());
}

// Hands this thread's messages to their windows until `done` holds, for at most ten seconds.
template <typename Condition>
bool PumpUntil(CDialog& dialog, Condition done) {
  for (int i = 0; i < 200 && !done(); ++i) {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
      if (!dialog.TakeDialogMessage(message)) DispatchMessageA(&message);
    Sleep(50);
  }
  return done();
}

// How many pixels the text needs in the control's width, in the control's font.
int TextHeight(HWND control, const std::string& text) {
  RECT room;
  GetClientRect(control, &room);
  HDC dc = GetDC(control);
  HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageA(control, WM_GETFONT, 0, 0)));
  DrawTextA(dc, text.c_str(), -1, &room, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
  SelectObject(dc, old);
  ReleaseDC(control, dc);
  return room.bottom;
}

// The start-up window says what start-up waits for and how much has come, follows preparation as
// it moves on, fits every text at the screen's DPI, and its Cancel asks preparation to end.
TEST(StartupWindowTest, SaysWhatStartUpWaitsForFollowsItAndCancelAsksPreparationToEnd) {
  CMemoryDownloadView view;
  CPackageDownload download(&view);
  download.m_startupReceived = 300 * 1024;
  CStartupDlg window(download);
  ASSERT_TRUE(window.Show());
  const HWND hwnd = window.GetSafeHwnd();
  EXPECT_TRUE(IsWindowVisible(hwnd));
  EXPECT_EQ(hwnd, FindWindowA(nullptr, "Starting Brisko Download"));
  EXPECT_EQ("Waiting for the package list from the download server...", ChildText(hwnd, IDC_STARTUP_TEXT));
  EXPECT_EQ("300 KB received so far.", ChildText(hwnd, IDC_STARTUP_RECEIVED));

  // Each stage's text in turn, as preparation moves on; each fits its two lines.
  HWND text = GetDlgItem(hwnd, IDC_STARTUP_TEXT);
  RECT room;
  GetClientRect(text, &room);
  const std::pair<StartupStage, const char*> stages[] = {
      {StartupStage::kFetchingRelease, "Waiting for the signed release of the package from the download server..."},
      {StartupStage::kPreparingFolder, "Preparing the download folder..."},
  };
  for (const auto& [stage, expected] : stages) {
    download.m_startupStage = stage;
    EXPECT_TRUE(PumpUntil(window, [&] { return ChildText(hwnd, IDC_STARTUP_TEXT) == expected; })) << expected;
  }
  EXPECT_EQ("", ChildText(hwnd, IDC_STARTUP_RECEIVED));
  for (const char* each : {"Waiting for the package list from the download server...",
                           "Waiting for the signed release of the package from the download server..."})
    EXPECT_LE(TextHeight(text, each), room.bottom) << each;
  EXPECT_LE(TextHeight(GetDlgItem(hwnd, IDC_STARTUP_RECEIVED), "10240 KB received so far."),
            [&] {
              RECT line;
              GetClientRect(GetDlgItem(hwnd, IDC_STARTUP_RECEIVED), &line);
              return line.bottom;
            }());
  RECT client;
  GetClientRect(hwnd, &client);
  for (HWND child = GetWindow(hwnd, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    RECT rect;
    GetWindowRect(child, &rect);
    MapWindowPoints(nullptr, hwnd, reinterpret_cast<POINT*>(&rect), 2);
    EXPECT_TRUE(rect.left >= 0 && rect.top >= 0 && rect.right <= client.right && rect.bottom <= client.bottom)
        << "control " << GetDlgCtrlID(child) << " past the window";
  }

  // Escape is Cancel, as the button and the close box are: the window goes at once, preparation
  // is asked to end, and the window waits to be closed by its owner.
  PostMessageA(hwnd, WM_KEYDOWN, VK_ESCAPE, 0);
  EXPECT_TRUE(PumpUntil(window, [&] { return window.IsCancelled(); }));
  EXPECT_EQ(1, download.m_bStartupCancelled.load());
  EXPECT_FALSE(IsWindowVisible(hwnd));
  window.Show();  // a second copy asking does not bring a cancelled window back
  EXPECT_FALSE(IsWindowVisible(hwnd));
  window.Destroy();
  EXPECT_FALSE(IsWindow(hwnd));
  EXPECT_TRUE(TakeMessages().empty());
}

}  // namespace
