#include "probeaddr/test_log.h"

#include <array>
#include <chrono>
#include <cstdlib>

#include "probeaddr/form_design.h"

namespace probeaddr {
namespace {

long long millisecondsSinceStart() {
  static const auto start = std::chrono::steady_clock::now();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

const char* nameOf(ValueLabel label) { return form::nameOf(form::controlOf(label)); }

// Named as the enumerations order them.
const char* nameOf(MessageAnswer answer) { return std::array{"Ok", "Yes", "No"}[static_cast<int>(answer)]; }
const char* nameOf(MessageIcon icon) {
  return std::array{"Critical", "Exclamation", "Information"}[static_cast<int>(icon)];
}

}  // namespace

TestLog* TestLog::instance() {
  static TestLog* log = []() -> TestLog* {
    const char* path = std::getenv("PROBEADDR_TEST_LOG");
    if (!path || !*path) return nullptr;
    std::FILE* file = std::fopen(path, "ab");  // binary: lines end in LF on every system
    if (!file) return nullptr;
    std::setvbuf(file, nullptr, _IOFBF, 1 << 16);  // a line goes out in one write, at the flush
    millisecondsSinceStart();
    return new TestLog(file);
  }();
  return log;
}

void TestLog::record(std::initializer_list<std::string_view> fields) {
  std::string line = std::to_string(millisecondsSinceStart());
  for (std::string_view field : fields) line += '\t' + escapeForLog(field);
  line += '\n';
  // One write per line, so that a reader never sees half a line.
  std::fwrite(line.data(), 1, line.size(), file_);
  std::fflush(file_);
}

std::string escapeForLog(std::string_view text) {
  std::string out;
  for (const unsigned char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      default:
        if (c < 32 || c == 127) {
          static const char hex[] = "0123456789ABCDEF";
          out += {'\\', 'x', hex[c >> 4], hex[c & 15]};
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

void LoggedControls::setCaption(ValueLabel label, const std::string& caption) {
  inner_.setCaption(label, caption);
  // The cycle sets the same captions again and again; a change is news.
  auto [known, added] = captions_.try_emplace(label, caption);
  if (!added && known->second == caption) return;
  known->second = caption;
  log_.record({"caption", nameOf(label), caption});
}

void LoggedControls::setAddressText(const std::string& text) {
  inner_.setAddressText(text);
  log_.record({"address", text});
}

void LoggedControls::showProgressWindow() {
  inner_.showProgressWindow();
  if (!progressShown_) window(form::kProgressWindow.name, "shown");
  progressShown_ = true;
}

void LoggedControls::hideProgressWindow() {
  inner_.hideProgressWindow();
  if (progressShown_) window(form::kProgressWindow.name, "hidden");
  progressShown_ = false;
}

void LoggedControls::setProgressMaximum(int maximum) {
  inner_.setProgressMaximum(maximum);
  maximum_ = maximum;
  progress();
}

void LoggedControls::setProgressValue(int value) {
  inner_.setProgressValue(value);
  value_ = value;
  progress();
}

void LoggedControls::progress() { log_.record({"progress", std::to_string(value_), std::to_string(maximum_)}); }

void LoggedControls::closeMainWindow() {
  inner_.closeMainWindow();
  window(form::kMainWindow.name, "closed");
}

void LoggedControls::closeProgressWindow() {
  inner_.closeProgressWindow();
  window(form::kProgressWindow.name, "closed");
}

LoggedMessages::LoggedMessages(MessageBoxes& inner, TestLog& log) : inner_(inner), log_(log) {
  if (const char* answer = std::getenv("PROBEADDR_TEST_ANSWER"); answer && *answer)
    scripted_ = std::string_view(answer) == "Yes" ? MessageAnswer::Yes : MessageAnswer::No;
}

MessageAnswer LoggedMessages::show(const std::string& text, const std::string& title, MessageIcon icon,
                                   MessageButtons buttons) {
  const bool yesNo = buttons == MessageButtons::YesNo;
  log_.record({"message", title, nameOf(icon), yesNo ? "YesNo" : "Ok", text});
  MessageAnswer answer = MessageAnswer::Ok;
  if (!scripted_)
    answer = inner_.show(text, title, icon, buttons);
  else if (yesNo)
    answer = *scripted_;
  log_.record({"answer", nameOf(answer)});
  return answer;
}

}  // namespace probeaddr
