// What tests that drive the real program without a screen add to its test
// log (probeaddr/test_log.h): user actions read from standard input, one a
// line, and run as the user's would while the program delivers window events:
//   type <text>   focus the address box, select its text, type <text>
//   key <name>    press and release a key in the focused control: Return,
//                 Enter, Tab, Escape, a single character, or alt+<character>
//                 (an access key)
//   click <name>  click CBWrite or CBExit
//   close         close the main window as its close box does
//   activate      deliver another activation to the main window
//   dump          log a line for every control:
//                 state <control> <text> enabled|disabled visible|hidden focus|-
// Each command is logged as "command <line>" before it runs.
#pragma once

#include <string>
#include <string_view>

class QWidget;

namespace probeaddr {
class TestLog;
}

namespace probeaddr::qt {

class SetAddGuiWindow;

class TestDriver {
 public:
  TestDriver(TestLog& log, SetAddGuiWindow& main);
  void setProgressWindow(QWidget* progress) { progress_ = progress; }

 private:
  void readCommands();
  void run(std::string_view command);
  void dump();

  TestLog& log_;
  SetAddGuiWindow& main_;
  QWidget* progress_ = nullptr;
  std::string pending_;
};

}  // namespace probeaddr::qt
