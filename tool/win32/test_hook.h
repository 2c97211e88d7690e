// A hook for the tests that drive the real program under Wine.
//
// Off unless the environment names a log file in PROBEADDR_TEST_LOG. Then what
// the windows show is appended to that file, one line per change, fields
// separated by tabs (backslash, tab, CR, LF and other control bytes escaped
// as \\ \t \r \n \xNN), each line led by the milliseconds since start:
//   ready                                 the main window is shown
//   control <name> <parent> <left> <top> <width> <height> <font> <text>
//       every control as placed, in pixels relative to its parent as designed
//       (its frame, or the window's client area); <font> is "face px weight".
//       The windows themselves come as control <window> - 0 0 <client size>.
//   focus <name>                          the control with the focus changed
//   caption <label> <text>                a value label's new caption
//   address <text>                        the address box's text, set by the program
//   progress <value> <maximum>
//   window <name> shown|hidden|closed
//   message <title> <icon> <buttons> <text>   a message box is shown ...
//   answer <answer>                       ... and was answered
//   exit <code>
// Message boxes are real: the test answers them as a user would.
#pragma once

#include <windows.h>

#include <initializer_list>
#include <string_view>

namespace probeaddr::win32 {

class SetAddGuiWindow;

class TestHook {
 public:
  // The hook when PROBEADDR_TEST_LOG is set, otherwise nullptr.
  static TestHook* instance();

  // `fields` joined by tabs, each escaped, behind a time stamp.
  void record(std::initializer_list<std::string_view> fields);
  // "control" lines for the main window and every control in it.
  void recordLayout(const SetAddGuiWindow& window);
  // "control" lines for the progress window and its bar.
  void recordProgressLayout(HWND window, HWND bar);
  // A "focus" line when the focused control has changed since the last call.
  void noteFocus(const SetAddGuiWindow& window);

 private:
  explicit TestHook(HANDLE file);
  void recordControl(std::string_view name, std::string_view parent, HWND control, HWND relativeTo);

  HANDLE file_;
  DWORD start_;
  HWND focus_ = nullptr;
};

}  // namespace probeaddr::win32
