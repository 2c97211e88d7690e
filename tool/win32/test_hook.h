// What the tests that drive ProbeAddr.exe under Wine read in its test log
// (probeaddr/test_log.h) besides what every layer logs:
//   control <name> <parent> <left> <top> <width> <height> <font> <text>
//       every control as placed, in pixels relative to its parent as designed
//       (its frame, or the window's client area); <font> is "face px weight".
//       The windows themselves come as control <window> - 0 0 <client size>.
//   focus <name>                          the control with the focus changed
// Message boxes are real: the test answers them as a user would.
#pragma once

#include <windows.h>

namespace probeaddr {
class TestLog;
}

namespace probeaddr::win32 {

class ProgressWindow;
class SetAddGuiWindow;

// "control" lines for the main window and every control in it.
void recordLayout(TestLog& log, const SetAddGuiWindow& window);
// "control" lines for the progress window and its bar.
void recordLayout(TestLog& log, const ProgressWindow& window);

// A "focus" line whenever the focused control has changed since the last look.
class FocusLog {
 public:
  FocusLog(TestLog& log, const SetAddGuiWindow& window) : log_(log), window_(window) {}
  void look();

 private:
  TestLog& log_;
  const SetAddGuiWindow& window_;
  HWND focus_ = nullptr;
};

}  // namespace probeaddr::win32
