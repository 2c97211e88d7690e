#include "test_hook.h"

#include <cstdio>
#include <string>

#include "app_windows.h"
#include "probeaddr/log_text.h"

namespace probeaddr::win32 {

TestHook* TestHook::instance() {
  static TestHook* hook = []() -> TestHook* {
    char path[MAX_PATH];
    const DWORD n = GetEnvironmentVariableA("PROBEADDR_TEST_LOG", path, sizeof path);
    if (n == 0 || n >= sizeof path) return nullptr;
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    return file == INVALID_HANDLE_VALUE ? nullptr : new TestHook(file);
  }();
  return hook;
}

TestHook::TestHook(HANDLE file) : file_(file), start_(GetTickCount()) {}

void TestHook::record(std::initializer_list<std::string_view> fields) {
  std::string line = std::to_string(GetTickCount() - start_);
  for (std::string_view field : fields) line += '\t' + escapeForLog(field);
  line += '\n';
  // One write per line, so that a reader never sees half a line.
  DWORD written = 0;
  WriteFile(file_, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

void TestHook::recordControl(std::string_view name, std::string_view parent, HWND control, HWND relativeTo) {
  RECT r{};
  GetWindowRect(control, &r);
  // A frame has no border outside its client area: this is its corner.
  MapWindowPoints(nullptr, relativeTo, reinterpret_cast<POINT*>(&r), 2);
  std::string font;
  LOGFONTA design{};
  if (auto handle = reinterpret_cast<HFONT>(SendMessageA(control, WM_GETFONT, 0, 0)))
    if (GetObjectA(handle, sizeof design, &design))
      font = std::string(design.lfFaceName) + " " + std::to_string(-design.lfHeight) + " " +
             std::to_string(design.lfWeight);
  record({"control", name, parent, std::to_string(r.left), std::to_string(r.top), std::to_string(r.right - r.left),
          std::to_string(r.bottom - r.top), font, windowText(control)});
}

void TestHook::recordLayout(const SetAddGuiWindow& window) {
  RECT client{};
  GetClientRect(window.hwnd(), &client);
  record({"control", "SetAddGui", "-", "0", "0", std::to_string(client.right), std::to_string(client.bottom), "",
          windowText(window.hwnd())});
  for (int i = 0; i < kControlCount; ++i) {
    const auto c = static_cast<Control>(i);
    const Control frame = frameOf(c);
    const HWND relativeTo = frame == Control::Count ? window.hwnd() : window.control(frame);
    recordControl(nameOf(c), nameOf(frame), window.control(c), relativeTo);
  }
}

void TestHook::recordProgressLayout(HWND window, HWND bar) {
  RECT client{};
  GetClientRect(window, &client);
  record({"control", "frmPBar", "-", "0", "0", std::to_string(client.right), std::to_string(client.bottom), "",
          windowText(window)});
  recordControl("PBar", "frmPBar", bar, window);
}

void TestHook::noteFocus(const SetAddGuiWindow& window) {
  HWND focus = GetFocus();
  if (focus == focus_ || !window.hwnd()) return;
  focus_ = focus;
  for (int i = 0; i < kControlCount; ++i)
    if (window.control(static_cast<Control>(i)) == focus) record({"focus", nameOf(static_cast<Control>(i))});
}

}  // namespace probeaddr::win32
