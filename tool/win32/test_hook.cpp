#include "test_hook.h"

#include <string>

#include "app_windows.h"
#include "probeaddr/test_log.h"

namespace probeaddr::win32 {
namespace {

void recordControl(TestLog& log, std::string_view name, std::string_view parent, HWND control, HWND relativeTo) {
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
  log.record({"control", name, parent, std::to_string(r.left), std::to_string(r.top), std::to_string(r.right - r.left),
              std::to_string(r.bottom - r.top), font, windowText(control)});
}

void recordWindow(TestLog& log, const char* name, HWND window) {
  RECT client{};
  GetClientRect(window, &client);
  log.record({"control", name, "-", "0", "0", std::to_string(client.right), std::to_string(client.bottom), "",
              windowText(window)});
}

}  // namespace

void recordLayout(TestLog& log, const SetAddGuiWindow& window) {
  recordWindow(log, form::kMainWindow.name, window.hwnd());
  for (int i = 0; i < form::kControlCount; ++i) {
    const form::ControlDesign& c = form::kControls[i];
    recordControl(log, c.name, form::nameOf(c.frame), window.control(static_cast<form::Control>(i)),
                  window.control(c.frame));
  }
}

void recordLayout(TestLog& log, const ProgressWindow& window) {
  recordWindow(log, form::kProgressWindow.name, window.hwnd());
  recordControl(log, form::kProgressBar.name, form::kProgressWindow.name, window.bar(), window.hwnd());
}

void FocusLog::look() {
  HWND focus = GetFocus();
  if (focus == focus_ || !window_.hwnd()) return;
  focus_ = focus;
  for (int i = 0; i < form::kControlCount; ++i)
    if (window_.control(static_cast<form::Control>(i)) == focus) log_.record({"focus", form::kControls[i].name});
}

}  // namespace probeaddr::win32
