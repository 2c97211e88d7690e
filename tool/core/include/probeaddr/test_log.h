// ProbeAddr's test log, for tests that drive the real program.
//
// Off unless the environment names a file in PROBEADDR_TEST_LOG. Then what
// the windows show is appended to it, one line per change, fields separated
// by tabs (backslash, tab, CR, LF and other control bytes escaped as \\ \t
// \r \n \xNN), each line led by the milliseconds since start:
//   ready                                 the main window is shown
//   caption <label> <text>                a value label's new caption
//   address <text>                        the address box's text, set by the program
//   progress <value> <maximum>
//   window <name> shown|hidden|closed
//   message <title> <icon> <buttons> <text>   a message box is shown ...
//   answer <answer>                       ... and was answered (Ok, Yes or No)
//   exit <code>
// and what a window layer adds of its own. With PROBEADDR_TEST_ANSWER set
// (Yes or No), message boxes are not shown: an Ok box is answered Ok at once,
// a Yes/No question with that answer.
#pragma once

#include <cstdio>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "probeaddr/controls.h"
#include "probeaddr/message_boxes.h"

namespace probeaddr {

class TestLog {
 public:
  // The log when PROBEADDR_TEST_LOG is set, otherwise nullptr; one per process.
  static TestLog* instance();

  // `fields` joined by tabs, each escaped, behind a time stamp; one write.
  void record(std::initializer_list<std::string_view> fields);

 private:
  explicit TestLog(std::FILE* file) : file_(file) {}
  std::FILE* file_;
};

// "\\" for a backslash, "\t", "\r", "\n", "\xNN" for other control bytes.
std::string escapeForLog(std::string_view text);

// Controls that log what changes on screen, then pass the call on.
class LoggedControls final : public Controls {
 public:
  LoggedControls(Controls& inner, TestLog& log) : inner_(inner), log_(log) {}

  void setCaption(ValueLabel label, const std::string& caption) override;
  std::string addressText() override { return inner_.addressText(); }
  void setAddressText(const std::string& text) override;
  void focusAddress() override { inner_.focusAddress(); }
  void selectAddressText(int start, int length) override { inner_.selectAddressText(start, length); }
  void disableAddressBox() override { inner_.disableAddressBox(); }
  void disableAddressFrame() override { inner_.disableAddressFrame(); }
  void disableWriteButton() override { inner_.disableWriteButton(); }
  void closeMainWindow() override;
  void closeProgressWindow() override;
  void showProgressWindow() override;
  void hideProgressWindow() override;
  void setProgressValue(int value) override;
  void setProgressMaximum(int maximum) override;

 private:
  void window(const char* name, const char* what) { log_.record({"window", name, what}); }
  void progress();

  Controls& inner_;
  TestLog& log_;
  std::map<ValueLabel, std::string> captions_;
  int value_ = 10, maximum_ = 10;  // the bar as stored
  bool progressShown_ = false;
};

// Message boxes that log the box and its answer.
class LoggedMessages final : public MessageBoxes {
 public:
  LoggedMessages(MessageBoxes& inner, TestLog& log);
  MessageAnswer show(const std::string& text, const std::string& title, MessageIcon icon,
                     MessageButtons buttons) override;

 private:
  MessageBoxes& inner_;
  TestLog& log_;
  std::optional<MessageAnswer> scripted_;  // PROBEADDR_TEST_ANSWER
};

}  // namespace probeaddr
