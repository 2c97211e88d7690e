// The address write: normalise and check the typed address, send the two
// store frames, judge the probe's answer, and point the serial-number query
// at the new address.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <optional>

#include "probeaddr/set_add_gui.h"

namespace probeaddr {
namespace {

constexpr int kEnterKey = 13;

const std::string kOutOfRange =
    " Address out of range. KV210 accepts addresses from 00 (Reserved to broadcast) to 99.";

// The whole number a text stands for: blanks around it, an optional sign,
// decimal digits with an optional fraction, which is rounded to the nearest
// whole number (ties to even). Nothing else converts; neither does a value
// beyond 16 bits.
std::optional<int> wholeNumber(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return std::nullopt;
  text = text.substr(first, text.find_last_not_of(" \t") - first + 1);
  double sign = 1;
  if (text.front() == '+' || text.front() == '-') {
    sign = text.front() == '-' ? -1 : 1;
    text.remove_prefix(1);
  }
  const auto point = text.find('.');
  const auto digits = text.substr(0, point);
  const auto fraction = point == std::string_view::npos ? std::string_view{} : text.substr(point + 1);
  auto allDigits = [](std::string_view s) {
    return s.find_first_not_of("0123456789") == std::string_view::npos;
  };
  if (digits.size() + fraction.size() == 0 || !allDigits(digits) || !allDigits(fraction))
    return std::nullopt;
  double value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
  value = std::nearbyint(sign * value);
  if (value < -32768 || value > 32767) return std::nullopt;
  return static_cast<int>(value);
}

}  // namespace

void SetAddGui::TBAddress_KeyDown(int keyCode, int /*shift*/) {
  if (keyCode == kEnterKey) CBWrite_Click();
}

void SetAddGui::CBWrite_Click() { reportingPortFailures(&SetAddGui::writeAddress); }

void SetAddGui::writeAddress() {
  // With old firmware the controls are disabled; a late event changes nothing.
  if (writeDisabled_) return;

  // One character gets a leading "0", more than two are cut to the last three.
  std::string typed = p_.controls.addressText();
  if (typed.size() > 2)
    typed = typed.substr(typed.size() - 3);
  else if (typed.size() == 1)
    typed = "0" + typed;
  p_.controls.setAddressText(typed);

  const std::optional<int> value = wholeNumber(typed);
  if (!value || *value < 0 || *value > 99) {
    message(kOutOfRange, "Warning", MessageIcon::Information);
    p_.controls.setAddressText("00");
    p_.controls.focusAddress();
    p_.controls.selectAddressText(0, 2);
    return;
  }

  // Frames always carry two digits ("005", " 5" and "4.6" all go out as 05),
  // whatever is typed into the box while the reply is being read.
  char digits[3];
  std::snprintf(digits, sizeof digits, "%02d", *value);
  const std::string address = digits;
  if (address != typed) p_.controls.setAddressText(address);

  // Whatever still arrives from an earlier exchange (the tail of the data
  // block goes on for a while after the model is shown) must not be read as
  // the answer to the store.
  flushcom();
  p_.port.output("#00@c*");
  p_.port.output("#00@I" + address + "*");
  ProbeAddress = address;
  readReply(ReplyWindow::AfterAddressWrite);
  SerialQuery = "#" + address + "?s*";
  PollStep = 1;
}

}  // namespace probeaddr
