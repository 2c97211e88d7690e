// Frame recognition for the simulated probe: cutting the received byte stream
// into frames "#...*" and splitting a frame into address, command and argument.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace kv210::sim::detail {

// Cuts frames out of a byte stream. A frame starts at '#' and ends at '*';
// NUL bytes (the padding of fixed-length frames) and bytes outside a frame are
// skipped. A '#' inside a frame starts over, and a frame that grows past
// kMaxFrameLength without its '*' is dropped, so line noise cannot wedge it.
class FrameCutter {
 public:
  static constexpr std::size_t kMaxFrameLength = 24;

  // Takes one byte; true when it completed a frame, which frame() then holds.
  bool feed(uint8_t byte);
  const std::string& frame() const { return frame_; }

 private:
  std::string frame_;
  bool open_ = false;
};

enum class CommandKind {
  Unknown,
  Version,       // ?v
  DataBlock,     // ?P
  Serial,        // ?s
  Battery,       // ?b
  Temperature,   // ?t
  TotalField,    // ?T
  AxisField,     // ?A
  Frequency,     // k <n>
  Filter,        // f<d>
  AutoOff,       // e <n>
  Reset,         // !
  StoreOpen,     // @c
  StoreAddress,  // @I<addr>
};

struct ParsedFrame {
  std::string address;  // the text between '#' and the command
  CommandKind kind = CommandKind::Unknown;
  std::string key;      // names the command for faults and scripted replies ("v", "k", "@I")
  std::string argument; // what follows the key ("5000" of "k 5000", "05" of "@I05")
  std::optional<int32_t> number;  // the decimal argument of k, f and e
};

// Splits a complete frame "#" + address + command + "*". The address is every
// character before the first one that can start a command ('?', '@', '!', 'k',
// 'f', 'e'), so the serial query to a longer address text ("#005?s*") still
// parses. Malformed commands come back as CommandKind::Unknown.
ParsedFrame parseFrame(const std::string& frame);

// True for the two-digit addresses 00..99 that the address store accepts.
bool isStorableAddress(const std::string& text);

}  // namespace kv210::sim::detail
