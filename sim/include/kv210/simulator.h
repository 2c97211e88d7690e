// A simulated KV210 probe on a pseudo-terminal.
//
// The simulator owns the pty master and serves on a thread of its own: it
// parses the frames written to the slave device (devicePath()), records every
// byte it receives, and answers as a probe would. Tests script it per command:
// identity, readings, and faults that a misbehaving probe or line shows.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kv210::sim {

using Bytes = std::vector<uint8_t>;

// What the probe reports. Texts are sent as they stand (fixed widths are the
// probe's: model 5, firmware date 5, serial 10, calibration date 8, name 6).
struct Identity {
  std::string model = "KV210";        // version reply offsets 1..5
  std::string release = "1.10";       // version reply, before the space
  std::string firmwareDate = "07/10"; // version reply, after the space
  std::string serial = "0424K10123";  // serial reply offsets 1..10
  std::string serialTail = std::string(22, ' ');  // rest of the serial reply (32 chars after the letter in all)
  std::string address = "00";         // bus address the probe answers besides 00
  float fieldLimit = 200.0f;          // data block offset 16
  std::string calibrationDate = "07/12/26";  // data block offset 204, 8 chars
  std::string name = "KV210A";        // data block offset 213, 6 chars
};

struct Readings {
  uint16_t batteryRaw = 0x0300;   // 'b' reply, MSB first (3.6 V)
  int16_t temperatureRaw = 640;   // 't' reply, MSB first
  float totalFieldSquared = 25.0f;  // 'T' reply, LSB first
  float axis[3] = {1.0f, 2.0f, 3.0f};  // 'A' reply
  std::optional<float> frequencyEcho;  // 'k' echo; unset: frequencyEcho(the value sent)
};

// Commands a fault or a scripted reply can be attached to, named by the
// character after the address ("v", "P", "s", "b", "t", "T", "A", "k", "f",
// "e") or "@I" for the address store.
using Command = std::string;

enum class FaultKind {
  None,
  Silence,          // no reply at all
  WrongLetter,      // first byte replaced by `letter`
  Truncate,         // only the first `count` bytes
  Split,            // first `count` bytes, then a pause of `delay`, then the rest
  Late,             // the whole reply after `delay`
  Extra,            // the reply followed by `bytes`
  Garbage,          // `bytes` instead of the reply
  StoreError,       // address store refused: letter + "ERR" (+ CR LF)
  MalformedSerial,  // the serial number replaced by `bytes` (10 chars expected)
  HangUp,           // close the pty master instead of replying
};

struct Fault {
  FaultKind kind = FaultKind::None;
  char letter = '?';
  std::size_t count = 0;
  std::chrono::milliseconds delay{0};
  Bytes bytes;
};

class Simulator {
 public:
  struct Options {
    Identity identity;
    Readings readings;
    bool pace9600 = false;  // send (and take in) bytes at about 1.0417 ms each
    std::string linkPath;   // if set, a symlink to the device is made there
    // Called on the serving thread, under the simulator's lock, with one line
    // per frame taken, reply scheduled and fault applied; it must not call
    // back into the simulator.
    std::function<void(const std::string&)> trace;
  };

  Simulator();
  explicit Simulator(Options options);
  ~Simulator();  // stops serving and closes the pty
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Slave device path to open (/dev/pts/N), or linkPath when one was made.
  std::string devicePath() const;
  std::string ptsPath() const;

  // Scripting; safe to call from any thread while serving.
  void setIdentity(const Identity& identity);
  void setReadings(const Readings& readings);
  void setPacing(bool pace9600);
  // A fault for every later frame of this command until cleared.
  void setFault(const Command& command, Fault fault);
  // A fault for the next frame of this command only (queued after earlier ones).
  void pushFault(const Command& command, Fault fault);
  void clearFaults();
  // Replaces the reply to a command with exactly these bytes (empty: silence).
  void setReply(const Command& command, Bytes reply);
  void clearReplies();
  // Delay between a complete frame and the start of its reply.
  void setResponseDelay(std::chrono::microseconds delay);
  // Closes the pty master now (the device hangs up).
  void hangUp();

  // What the probe has received and taken.
  Bytes received() const;                  // every byte, in order
  std::vector<std::string> frames() const; // complete frames "#..*", NUL padding dropped
  void clearReceived();
  // Waits until at least `count` frames have been received; false on time-out.
  bool waitForFrames(std::size_t count, std::chrono::milliseconds timeout) const;
  std::string address() const;   // after address stores
  int filter() const;            // last filter taken, -1 before any
  int autoOffSeconds() const;    // last switch-off time taken, -1 before any
  int32_t frequencyHundredths() const;  // last frequency parameter taken, 0 before any
  std::size_t resets() const;    // "!" frames taken

  // The reply the probe gives to a complete frame, before faults; exposed so
  // that tests can compare byte for byte. Empty when the probe stays silent.
  // A reply set with setReply counts; NUL padding around the frame is skipped.
  Bytes replyFor(const std::string& frame) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The echo with which the probe confirms a frequency of `hundredths`: the
// single-precision value whose hundredfold truncates to it, nearest to n/100.
float frequencyEcho(int32_t hundredths);

// The 382-byte probe data block for an identity.
Bytes dataBlock(const Identity& identity);

}  // namespace kv210::sim
