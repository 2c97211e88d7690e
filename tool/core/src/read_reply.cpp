// Reading and judging the probe's replies: a 100 ms pause, then a one-second
// window in which every chunk is named by its first character.
#include <charconv>

#include "probeaddr/set_add_gui.h"

namespace probeaddr {
namespace {

using namespace std::chrono_literals;
constexpr auto kReplyWindow = 1s;
constexpr std::size_t kVersionTextLength = 17;  // after the letter, ";" included
constexpr double kFirstReleaseWithAddressing = 1.1;

// The number a text starts with (blanks skipped, "." as the decimal point,
// reading stops at the first character that does not belong); 0 when it
// starts with none. Independent of the locale.
double leadingNumber(std::string_view text) {
  std::size_t i = text.find_first_not_of(" \t\n");
  if (i == std::string_view::npos) return 0;
  double sign = 1;
  if (text[i] == '+' || text[i] == '-') sign = text[i++] == '-' ? -1 : 1;
  const std::size_t start = i;
  bool point = false;
  while (i < text.size() && ((text[i] >= '0' && text[i] <= '9') || (text[i] == '.' && !point))) {
    point = point || text[i] == '.';
    ++i;
  }
  double value = 0;
  if (std::from_chars(text.data() + start, text.data() + i, value, std::chars_format::fixed).ec !=
      std::errc{})
    return 0;
  return sign * value;
}

}  // namespace

bool SplitField(std::string_view text, std::string& first, std::string& second,
                std::string& third) {
  first.clear();
  second.clear();
  third.clear();
  const auto colon = text.find(':');
  if (colon == std::string_view::npos) return false;
  first = text.substr(0, colon);
  const std::string_view rest = text.substr(colon + 1);
  const auto space = rest.find(' ');
  if (space == std::string_view::npos) {
    second = rest;
    return false;
  }
  second = rest.substr(0, space);
  third = rest.substr(space + 1, 5);
  return true;
}

void SetAddGui::ReadProbeReply() { readReply(ReplyWindow::Poll); }

void SetAddGui::readReply(ReplyWindow window) {
  delay(100);
  RxText.clear();
  const TimePoint end = p_.clock.now() + kReplyWindow;
  // Only the first chunk read after an address write can confirm the store.
  bool confirmsStore = window == ReplyWindow::AfterAddressWrite;
  while (p_.clock.now() < end) {
    p_.pump.pumpEvents();
    if (p_.port.inBufferCount() == 0) {
      if (Connected) markProbeLost();
      p_.pump.waitForEvents(end, true);
      continue;
    }
    RxChunk = p_.port.input();
    keepReceived(RxChunk);
    RxText += UtilLib::BytesToStr(RxChunk);
    StoreReply = confirmsStore ? RxText : std::string();
    confirmsStore = false;
    if (RxText.empty()) continue;
    ReplyKind = RxText.substr(0, 1);
    RxText.erase(0, 1);
    if (dispatchReply()) break;
  }
  RxText.clear();
}

// A connected probe that has nothing waiting when the window looks is lost.
void SetAddGui::markProbeLost() {
  PollPeriod = 1;
  PollStep = 0;
  PollAttempts = 0;
  Connected = false;
}

// True when a handler took the reply; false leaves it for the next turn.
bool SetAddGui::dispatchReply() {
  if (ReplyKind == "v") {
    if (RxText.find(';') == std::string::npos) return false;
    handleVersionReply();
    return true;
  }
  if (ReplyKind == "s") {
    if (AtLeast(32) < 32) return false;
    handleSerialReply();
    return true;
  }
  if (ReplyKind == "d") {
    if (BlockRead || AtLeastArr(382) < 382) return false;
    handleDataBlock();
    return true;
  }
  if (!StoreReply.empty() && StoreReply == ProbeAddress)
    message("New Address is '" + StoreReply + "'.", "Warning", MessageIcon::Information);
  if (AtLeast(3) < 3) return false;
  handleStoreResult();
  return true;
}

void SetAddGui::handleVersionReply() {
  delay(100);
  RxChunk = p_.port.input();
  RxText += UtilLib::BytesToStr(RxChunk);
  std::string model, release, date;
  if (RxText.size() != kVersionTextLength || !SplitField(RxText, model, release, date)) {
    VersionOk = 0;
    return;
  }
  VersionOk = 2;
  FwRelease = release;
  FwDate = date;
  p_.controls.setCaption(ValueLabel::LBFW, FwRelease);
  p_.controls.setCaption(ValueLabel::LBFWDate, FwDate);
  if (leadingNumber(FwRelease) < kFirstReleaseWithAddressing && !Connected) {
    p_.controls.disableAddressFrame();
    p_.controls.disableAddressBox();
    p_.controls.disableWriteButton();
    writeDisabled_ = true;
    message("This KV210 version not supports address changeing.", "Warning!",
            MessageIcon::Exclamation);
  }
  Connected = true;
  PollPeriod = 1;
}

void SetAddGui::handleSerialReply() {
  const std::string candidate = UtilLib::FilterPrintable(RxText).substr(0, 10);
  if (UtilLib::IsValidSerial(candidate)) {
    p_.controls.setCaption(ValueLabel::LBSerial, candidate);
    PollPeriod = 1;
    PollStep = static_cast<std::int16_t>(PollStep + 1);
  } else if (SerialFailures >= 3) {
    message("Serial number not correct. Please restart your probe!", "Warning",
            MessageIcon::Exclamation);
    SendQuery(0);
    PollStep = 0;
    SerialFailures = 0;
  } else {
    PollStep = 1;
    PollPeriod = 1;
    SerialFailures = static_cast<std::int16_t>(SerialFailures + 1);
  }
}

// The model is read from the accumulated RxBytes; in the usual first
// identification positions 258..300 hold block offsets 212..254.
void SetAddGui::handleDataBlock() {
  using namespace UtilLib;
  p_.controls.setCaption(ValueLabel::LBModel,
                         FilterPrintable(BytesToStr(MidBytes(RxBytes, 258, 43))));
  BlockRead = true;
  VersionOk = 2;
  PollPeriod = 5;
  RxBytes.clear();
}

void SetAddGui::handleStoreResult() {
  if (UtilLib::FilterPrintable(RxText).substr(0, 10) == "ERR")
    message("Error occurred in storing mode, try again.", "Warning", MessageIcon::Exclamation);
  else
    PollPeriod = 1;
}

}  // namespace probeaddr
