// Start-up: port selection from the command line or by scanning, and the
// starting values of the window state.
#include <optional>
#include <string>

#include "probeaddr/set_add_gui.h"

namespace probeaddr {
namespace {

constexpr const char* kLineSettings = "9600,n,8,1";
constexpr std::int16_t kLastScannedPort = 10;

struct PortChoice {
  std::int16_t number = 0;
  std::optional<std::string> path;  // "PORT=": a device named by its path
  bool given = false;               // named on the command line: no scan
};

// The one character at `pos` read as a decimal digit; anything else is 0.
std::int16_t digitAt(std::string_view text, std::size_t pos) {
  if (pos < text.size() && text[pos] >= '0' && text[pos] <= '9')
    return static_cast<std::int16_t>(text[pos] - '0');
  return 0;
}

// "COM=" and "COMM=" take one digit each ("COM=12" is port 1); "COMM=" wins.
// "PORT=" takes a device path to the end of its argument and wins over both.
PortChoice parsePortArguments(const std::vector<std::string>& arguments) {
  std::string joined;
  for (const std::string& argument : arguments) joined += (joined.empty() ? "" : " ") + argument;
  const std::string_view commandLine = joined;
  PortChoice choice;
  if (auto p = commandLine.find("COM="); p != std::string_view::npos) {
    choice.number = digitAt(commandLine, p + 4);
    choice.given = true;
  }
  if (auto q = commandLine.find("COMM="); q != std::string_view::npos) {
    choice.number = digitAt(commandLine, q + 5);
    choice.given = true;
  }
  for (const std::string& argument : arguments) {
    if (auto r = argument.find("PORT="); r != std::string::npos) {
      choice.path = argument.substr(r + 5);
      choice.given = true;
      break;
    }
  }
  return choice;
}

// The message for a device named by "PORT=": which one, and why it cannot be used.
std::string cannotOpen(const std::string& path, std::string_view why) {
  return "Cannot open " + (path.empty() ? "PORT=" : path) + ": " + std::string(why.empty() ? "not available" : why) +
         ".";
}

}  // namespace

SetAddGui::SetAddGui(Platform platform, std::vector<std::string> arguments)
    : p_(std::move(platform)), arguments_(std::move(arguments)) {}

SetAddGui::SetAddGui(Platform platform, std::string_view commandLine) : p_(std::move(platform)) {
  for (std::size_t pos = 0; pos < commandLine.size();) {
    const auto start = commandLine.find_first_not_of(" \t", pos);
    if (start == std::string_view::npos) break;
    const auto end = std::min(commandLine.find_first_of(" \t", start), commandLine.size());
    arguments_.emplace_back(commandLine.substr(start, end - start));
    pos = end;
  }
}

void SetAddGui::Form_Load() {
  PollStep = 0;
  SetPort();
  SerialQuery = "#00?s*";
  ProbeAddress = "00";
  PollStep = 0;
  PollPeriod = 1;
  Connected = false;
  BlockRequested = false;
  BlockRead = false;
}

void SetAddGui::SetPort() {
  PortChoice choice = parsePortArguments(arguments_);
  if (p_.port.portOpen()) return;
  // "PORT=" and nothing after it: no port the user did not name is opened.
  if (choice.path && choice.path->empty()) fatalPortMessage(cannotOpen("", "no device named"));
  for (;;) {
    try {
      if (choice.path)
        p_.port.setDevicePath(*choice.path);
      else
        p_.port.setCommPort(choice.number);
      p_.port.setSettings(kLineSettings);
      p_.port.setPortOpen(true);
      p_.port.setInputMode(InputMode::Binary);
      return;
    } catch (const CommError& e) {
      const std::string name = choice.path ? *choice.path : std::to_string(choice.number);
      switch (e.number()) {
        case kErrInvalidPortNumber:
        case kErrDeviceUnavailable:
          // A path names a device the user chose: say why it failed, so the
          // user can act (plug it in, close the other program, join a group).
          if (choice.path) fatalPortMessage(cannotOpen(*choice.path, e.what()));
          if (choice.given) fatalPortMessage("COMM PORT" + name + "  Not Available");
          if (choice.number >= kLastScannedPort) fatalPortMessage("No COMM PORTs Available");
          ++choice.number;
          break;
        case kErrInvalidPropertyValue:
          fatalPortMessage("COMM ID " + name + " NOT VALID");
        default:
          endProgram(1);
      }
    }
  }
}

void SetAddGui::fatalPortMessage(const std::string& text) {
  message(text, "ProbeAddr", MessageIcon::Critical);
  endProgram(1);
}

MessageAnswer SetAddGui::message(const std::string& text, const std::string& title,
                                 MessageIcon icon, MessageButtons buttons) {
  return p_.messages.show(text, title, icon, buttons);
}

}  // namespace probeaddr
