#include "frame_parser.h"

#include <charconv>
#include <string_view>

namespace kv210::sim::detail {

bool FrameCutter::feed(uint8_t byte) {
  if (byte == 0) return false;
  if (byte == '#') {
    frame_.assign(1, '#');
    open_ = true;
    return false;
  }
  if (!open_) return false;
  frame_.push_back(static_cast<char>(byte));
  if (byte == '*') {
    open_ = false;
    return true;
  }
  if (frame_.size() >= kMaxFrameLength) {
    open_ = false;
    frame_.clear();
  }
  return false;
}

namespace {

std::optional<int32_t> parseDecimal(std::string_view text) {
  if (text.empty()) return std::nullopt;
  int32_t value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc{} || ptr != end) return std::nullopt;
  return value;
}

bool allDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace

ParsedFrame parseFrame(const std::string& frame) {
  ParsedFrame parsed;
  if (frame.size() < 2 || frame.front() != '#' || frame.back() != '*') return parsed;
  std::string_view body(frame.data() + 1, frame.size() - 2);
  std::size_t cut = body.find_first_of("?@!kfe");
  if (cut == std::string_view::npos) {
    parsed.address = std::string(body);
    return parsed;
  }
  parsed.address = std::string(body.substr(0, cut));
  std::string_view command = body.substr(cut);

  switch (command.front()) {
    case '?': {
      parsed.key = std::string(command.substr(1));
      if (parsed.key.size() != 1) break;
      switch (parsed.key.front()) {
        case 'v': parsed.kind = CommandKind::Version; break;
        case 'P': parsed.kind = CommandKind::DataBlock; break;
        case 's': parsed.kind = CommandKind::Serial; break;
        case 'b': parsed.kind = CommandKind::Battery; break;
        case 't': parsed.kind = CommandKind::Temperature; break;
        case 'T': parsed.kind = CommandKind::TotalField; break;
        case 'A': parsed.kind = CommandKind::AxisField; break;
        default: break;
      }
      break;
    }
    case 'k':
    case 'e': {
      // "k 5000", "e 60": one space, then a decimal number.
      parsed.key = std::string(1, command.front());
      if (command.size() < 3 || command[1] != ' ') {
        parsed.argument = std::string(command.substr(1));
        break;
      }
      parsed.argument = std::string(command.substr(2));
      parsed.number = parseDecimal(command.substr(2));
      if (parsed.number)
        parsed.kind = command.front() == 'k' ? CommandKind::Frequency : CommandKind::AutoOff;
      break;
    }
    case 'f': {
      parsed.key = "f";
      parsed.argument = std::string(command.substr(1));
      if (!allDigits(parsed.argument)) break;
      parsed.number = parseDecimal(parsed.argument);
      if (parsed.number) parsed.kind = CommandKind::Filter;
      break;
    }
    case '!':
      parsed.key = "!";
      if (command.size() == 1) parsed.kind = CommandKind::Reset;
      break;
    case '@':
      parsed.key = std::string(command.substr(0, 2));
      parsed.argument = std::string(command.substr(std::min<std::size_t>(2, command.size())));
      if (parsed.key == "@c" && parsed.argument.empty()) parsed.kind = CommandKind::StoreOpen;
      if (parsed.key == "@I") parsed.kind = CommandKind::StoreAddress;
      break;
    default:
      break;
  }
  return parsed;
}

bool isStorableAddress(const std::string& text) {
  return text.size() == 2 && allDigits(text);
}

}  // namespace kv210::sim::detail
