// Drives another program's windows for the end-to-end tests. It reads one command a line from
// standard input, fields separated by '|', and answers one line: "OK <value>" or "ERR <why>".
//
//   wait|<caption>|<ms>          a visible top-level window with that caption appears
//   gone|<caption>|<ms>          no such window is left
//   watch|<caption>|<until>|<ms> "1" when a window with that caption showed (even for a moment)
//                                before one captioned <until> appeared, else "0"
//   text|<caption>|<id>          a control's text
//   enabled|<caption>|<id>       1 or 0
//   visible|<caption>|<id>       1 or 0
//   progress|<caption>|<id>      "<pos> <low> <high>"
//   click|<caption>|<id>         posts a button click to the dialog
//   close|<caption>              the caption's close button (SC_CLOSE)
//   syscommand|<caption>|<n>     posts WM_SYSCOMMAND n
//   message|<caption>|<ms>       waits for a message box with that caption; its text
//   dismiss|<caption>            presses OK on that message box
//   quit
#include <windows.h>

#include <cstdio>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> fields;
  std::stringstream stream(line);
  for (std::string field; std::getline(stream, field, '|');) fields.push_back(field);
  return fields;
}

struct FindContext {
  const char* caption;
  HWND found;
};

BOOL CALLBACK FindVisible(HWND hwnd, LPARAM lParam) {
  auto* context = reinterpret_cast<FindContext*>(lParam);
  char text[512] = "";
  GetWindowTextA(hwnd, text, sizeof text);
  if (IsWindowVisible(hwnd) && strcmp(text, context->caption) == 0) {
    context->found = hwnd;
    return FALSE;
  }
  return TRUE;
}

HWND FindTop(const std::string& caption) {
  // The last window found for each caption is asked first: enumerating every window costs the
  // program under test time when the driver polls.
  static std::map<std::string, HWND> s_cache;
  HWND& cached = s_cache[caption];
  if (cached != nullptr && IsWindow(cached) && IsWindowVisible(cached)) {
    char text[512] = "";
    GetWindowTextA(cached, text, sizeof text);
    if (caption == text) return cached;
  }
  FindContext context = {caption.c_str(), nullptr};
  EnumWindows(FindVisible, reinterpret_cast<LPARAM>(&context));
  cached = context.found;
  return context.found;
}

HWND WaitTop(const std::string& caption, DWORD ms) {
  const DWORD start = GetTickCount();
  for (;;) {
    if (HWND hwnd = FindTop(caption)) return hwnd;
    if (GetTickCount() - start >= ms) return nullptr;
    Sleep(50);
  }
}

std::string WindowText(HWND hwnd) {
  char text[2048] = "";
  SendMessageTimeoutA(hwnd, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000, nullptr);
  std::string value = text;
  for (char& c : value)
    if (c == '\r' || c == '\n') c = ' ';
  return value;
}

// A message box's text is the static control with id 0xFFFF.
std::string MessageText(HWND box) {
  HWND label = GetDlgItem(box, 0xFFFF);
  return label ? WindowText(label) : "";
}

// A file held open with no sharing, as a virus scanner may hold one; "lock" takes it, "unlock"
// lets it go.
HANDLE g_hLocked = INVALID_HANDLE_VALUE;

std::string Run(const std::vector<std::string>& f) {
  const std::string& command = f[0];
  auto need = [&](size_t n) {
    if (f.size() < n) throw std::string("too few fields");
  };
  if (command == "lock" || command == "unlock") {
    if (g_hLocked != INVALID_HANDLE_VALUE) CloseHandle(g_hLocked);
    g_hLocked = INVALID_HANDLE_VALUE;
    if (command == "unlock") return "OK";
    need(2);
    g_hLocked = CreateFileA(f[1].c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return g_hLocked == INVALID_HANDLE_VALUE ? "ERR cannot open " + f[1] : "OK";
  }
  if (command == "watch") {
    need(4);
    const DWORD ms = std::stoul(f[3]);
    const DWORD start = GetTickCount();
    bool seen = false;
    for (;;) {
      if (FindTop(f[1]) != nullptr) seen = true;
      if (FindTop(f[2]) != nullptr) return seen ? "OK 1" : "OK 0";
      if (GetTickCount() - start >= ms) return "ERR no window";
      Sleep(10);
    }
  }
  if (command == "wait" || command == "gone" || command == "message") {
    need(3);
    const DWORD ms = std::stoul(f[2]);
    if (command == "gone") {
      const DWORD start = GetTickCount();
      while (FindTop(f[1]) != nullptr) {
        if (GetTickCount() - start >= ms) return "ERR still there";
        Sleep(50);
      }
      return "OK";
    }
    HWND hwnd = WaitTop(f[1], ms);
    if (!hwnd) return "ERR no window";
    if (command == "message") {
      // The label may be filled a moment after the box appears.
      for (int i = 0; i < 20 && MessageText(hwnd).empty(); ++i) Sleep(50);
      return "OK " + MessageText(hwnd);
    }
    return "OK";
  }
  need(2);
  HWND top = FindTop(f[1]);
  if (!top) return "ERR no window";
  if (command == "close") {
    PostMessageA(top, WM_SYSCOMMAND, SC_CLOSE, 0);
    return "OK";
  }
  if (command == "dismiss") {
    PostMessageA(top, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(top, IDOK)));
    return "OK";
  }
  need(3);
  const int id = std::stoi(f[2]);
  if (command == "syscommand") {
    PostMessageA(top, WM_SYSCOMMAND, id, 0);
    return "OK";
  }
  HWND control = GetDlgItem(top, id);
  if (!control) return "ERR no control";
  if (command == "text") return "OK " + WindowText(control);
  if (command == "enabled") return IsWindowEnabled(control) ? "OK 1" : "OK 0";
  if (command == "visible") return IsWindowVisible(control) ? "OK 1" : "OK 0";
  if (command == "progress") {
    DWORD_PTR pos = 0, low = 0, high = 0;
    SendMessageTimeoutA(control, 0x0408 /*PBM_GETPOS*/, 0, 0, SMTO_ABORTIFHUNG, 5000, &pos);
    SendMessageTimeoutA(control, 0x0407 /*PBM_GETRANGE*/, TRUE, 0, SMTO_ABORTIFHUNG, 5000, &low);
    SendMessageTimeoutA(control, 0x0407 /*PBM_GETRANGE*/, FALSE, 0, SMTO_ABORTIFHUNG, 5000, &high);
    return "OK " + std::to_string(pos) + " " + std::to_string(low) + " " + std::to_string(high);
  }
  if (command == "click") {
    PostMessageA(top, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(control));
    return "OK";
  }
  return "ERR unknown command";
}

}  // namespace

int main() {
  std::string line;
  while (std::getline(std::cin, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    if (line.empty()) continue;
    if (line == "quit") break;
    std::string answer;
    try {
      answer = Run(Split(line));
    } catch (const std::string& why) {
      answer = "ERR " + why;
    } catch (const std::exception& e) {
      answer = std::string("ERR ") + e.what();
    }
    std::cout << answer << std::endl;
  }
  return 0;
}
