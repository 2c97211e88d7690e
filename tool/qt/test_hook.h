// A hook for tests that drive the real program without a screen.
//
// Off unless the environment names a log file in PROBEADDR_TEST_LOG. Then:
//  - what the windows show is appended to that file, one line per change:
//      <ms>\tcaption\t<label>\t<text>      a value label's new caption
//      <ms>\taddress\t<text>               the address box's text, set by the program
//      <ms>\tprogress\t<value>\t<maximum>  the progress bar
//      <ms>\twindow\t<name>\tshown|hidden|closed
//      <ms>\tmessage\t<title>\t<icon>\t<buttons>\t<text>\t<answer>
//      <ms>\tstate\t<control>\t<text>\t<enabled>\t<visible>\t<focus>   (on "dump")
//      <ms>\tready | <ms>\texit\t<code>
//    Texts escape backslash, tab, CR and LF (\\ \t \r \n) and other control
//    bytes (\xNN).
//  - message boxes are not shown: they are logged and answered at once, a
//    Yes/No question with PROBEADDR_TEST_ANSWER (Yes or No; No by default);
//  - commands are read from standard input, one a line, and run as the user's
//    actions would, while the program delivers window events:
//      type <text>   focus the address box, select its text, type <text>
//      key <name>    press and release a key in the focused control
//                    (Return, Enter, Tab, Escape, or a single character)
//      click <name>  click CBWrite or CBExit
//      close         close the main window as its close box does
//      activate      deliver another activation to the main window
//      dump          log a state line for every control
#pragma once

#include <string>
#include <string_view>

class QWidget;

namespace probeaddr::qt {

class SetAddGuiWindow;

class TestHook {
 public:
  // The hook when PROBEADDR_TEST_LOG is set, otherwise nullptr.
  static TestHook* instance();

  void log(std::string_view line);
  // `fields` joined by tabs, each escaped, behind a time stamp.
  void record(std::initializer_list<std::string_view> fields);
  // The answer to a message box with these buttons ("Ok" or "YesNo").
  std::string answerFor(std::string_view buttons) const;
  // Starts reading commands for these windows from standard input.
  void drive(SetAddGuiWindow* main, QWidget* progress);
  void dump();
  void flush();

 private:
  TestHook(int fd, std::string answer);
  void readCommands();
  void run(std::string_view command);

  int fd_;
  std::string answer_;
  SetAddGuiWindow* main_ = nullptr;
  QWidget* progress_ = nullptr;
  std::string pending_;
  bool driving_ = false;
};

}  // namespace probeaddr::qt
