#include "reply_builder.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace kv210::sim {

namespace {

void appendText(Bytes& out, const std::string& text) {
  out.insert(out.end(), text.begin(), text.end());
}

// Copies at most `width` characters of a fixed-width field; the rest stays 0.
void placeText(Bytes& block, std::size_t offset, std::size_t width, const std::string& text) {
  std::copy_n(text.begin(), std::min(width, text.size()), block.begin() + static_cast<std::ptrdiff_t>(offset));
}

void appendBigEndian16(Bytes& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value & 0xFF));
}

}  // namespace

float frequencyEcho(int32_t hundredths) {
  // The probe confirms a frequency with a value whose hundredfold, truncated
  // toward zero, is the setting. The single-precision value nearest to n/100
  // often lies just below it (0.29 is 0.28999999): take the one closest to
  // n/100 on the side that truncates to n.
  if (hundredths == 0) return 0.0f;
  const auto target = static_cast<double>(hundredths);
  const auto truncated = [](float v) { return std::trunc(static_cast<double>(v) * 100.0); };
  const float towardZero = hundredths > 0 ? -INFINITY : INFINITY;
  float echo = static_cast<float>(target / 100.0);
  while (truncated(echo) != target) echo = std::nextafter(echo, truncated(echo) < target ? INFINITY : -INFINITY);
  for (float next = std::nextafter(echo, towardZero); truncated(next) == target; next = std::nextafter(echo, towardZero))
    echo = next;
  return echo;
}

Bytes dataBlock(const Identity& identity) {
  constexpr std::size_t kBlockSize = 382;
  Bytes block(kBlockSize, 0);
  block[0] = 'd';
  Bytes limit;
  detail::appendFloat(limit, identity.fieldLimit);
  std::copy(limit.begin(), limit.end(), block.begin() + 16);
  placeText(block, 204, 8, identity.calibrationDate);
  placeText(block, 213, 6, identity.name);
  return block;
}

namespace detail {

void appendFloat(Bytes& out, float value) {
  auto bits = std::bit_cast<uint32_t>(value);
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(bits >> (8 * i)));
}

Bytes storeRefusal(char letter) {
  Bytes out{static_cast<uint8_t>(letter)};
  appendText(out, "ERR\r\n");
  return out;
}

Bytes probeReply(const ParsedFrame& frame, const Identity& identity,
                 const Readings& readings, bool storeOpen) {
  Bytes out;
  switch (frame.kind) {
    case CommandKind::Version:
      out.push_back('v');
      appendText(out, identity.model + ":" + identity.release + " " + identity.firmwareDate + ";");
      break;
    case CommandKind::DataBlock:
      out = dataBlock(identity);
      break;
    case CommandKind::Serial:
      out.push_back('s');
      appendText(out, identity.serial + identity.serialTail);
      break;
    case CommandKind::Battery:
      out.push_back('b');
      appendBigEndian16(out, readings.batteryRaw);
      break;
    case CommandKind::Temperature:
      out.push_back('t');
      appendBigEndian16(out, static_cast<uint16_t>(readings.temperatureRaw));
      break;
    case CommandKind::TotalField:
      out.push_back('T');
      appendFloat(out, readings.totalFieldSquared);
      break;
    case CommandKind::AxisField:
      out.push_back('A');
      for (float value : readings.axis) appendFloat(out, value);
      break;
    case CommandKind::Frequency:
      out.push_back('k');
      appendFloat(out, readings.frequencyEcho.value_or(frequencyEcho(*frame.number)));
      break;
    case CommandKind::Filter:
      out.push_back('f');
      break;
    case CommandKind::AutoOff:
      out.push_back('e');
      break;
    case CommandKind::StoreAddress:
      if (storeOpen && isStorableAddress(frame.argument))
        appendText(out, frame.argument);
      else
        out = storeRefusal();
      break;
    case CommandKind::Reset:
    case CommandKind::StoreOpen:
    case CommandKind::Unknown:
      break;
  }
  return out;
}

}  // namespace detail
}  // namespace kv210::sim
