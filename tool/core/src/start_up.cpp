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
// "PORT=" takes a device path up to the next blank and wins over both.
PortChoice parsePortArguments(std::string_view commandLine) {
  PortChoice choice;
  if (auto p = commandLine.find("COM="); p != std::string_view::npos) {
    choice.number = digitAt(commandLine, p + 4);
    choice.given = true;
  }
  if (auto q = commandLine.find("COMM="); q != std::string_view::npos) {
    choice.number = digitAt(commandLine, q + 5);
    choice.given = true;
  }
  if (auto r = commandLine.find("PORT="); r != std::string_view::npos) {
    const auto start = r + 5;
    const auto end = commandLine.find_first_of(" \t", start);
    choice.path = std::string(commandLine.substr(start, end == std::string_view::npos
                                                            ? std::string_view::npos
                                                            : end - start));
    choice.given = true;
  }
  return choice;
}

}  // namespace

SetAddGui::SetAddGui(Platform platform, std::string commandLine)
    : p_(std::move(platform)), commandLine_(std::move(commandLine)) {}

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
  PortChoice choice = parsePortArguments(commandLine_);
  if (p_.port.portOpen()) return;
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
