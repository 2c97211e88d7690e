#include "library_harness.h"

#include <algorithm>
#include <cerrno>
#include <array>
#include <cmath>
#include <cstring>
#include <deque>
#include <initializer_list>
#include <memory>
#include <vector>

#include "VEL_KV21X.h"
#include "port.h"
#include "exports.h"

namespace kv210::fuzz {
namespace {

using vel::port::Error;
using vel::port::Handle;

constexpr Handle kPort = 7;
constexpr std::size_t kBlockSize = 382;
constexpr std::size_t kLargestReply = 18;

enum class Failing { None, Purge, Write, Line, Timeouts, Close, OpenNotFound, OpenDenied, OpenOther };

// The input, read front to back; past its end every value is zero.
class Script {
 public:
  Script(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool done() const { return pos_ >= size_; }
  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::size_t take(uint8_t* out, std::size_t count) {
    count = std::min(count, size_ - pos_);
    if (count == 0) return 0;
    std::memcpy(out, data_ + pos_, count);
    pos_ += count;
    return count;
  }

 private:
  const uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// A port whose line delivers what the script says, and which mirrors what the
// library's reply buffers must hold after each read.
class ScriptedPort final : public vel::port::Backend {
 public:
  explicit ScriptedPort(Script& script) : script_(script) {}

  // Per call.
  Failing failing = Failing::None;
  bool failSecond = false;
  // O open, L line, T time-outs, P purge, W write, R read, C close; '!' after a
  // failing one; D drain begins, r drain read, d drain ends.
  std::string ops;
  std::string written;
  std::string problem;
  std::size_t lastReceived = 0;

  // Mirrors: the reply buffer of the running exchange, and the data block.
  std::array<uint8_t, kLargestReply + 1> reply{};
  std::array<uint8_t, kLargestReply + 1> previousReply{};
  std::array<uint8_t, kBlockSize> block{};

  void beginCall(Failing f, bool second) {
    failing = f;
    failSecond = second;
    ops.clear();
    written.clear();
    lastReceived = 0;
    seen_ = 0;
  }

  Handle open(const char* name, Error& error, const vel::port::OpenOptions&) noexcept override {
    ops += 'O';
    error = 0;
    if (name == nullptr) note("open without a name");
    Failing f = failing;
    if (f == Failing::OpenNotFound || f == Failing::OpenDenied || f == Failing::OpenOther) {
      ops += '!';
      error = f == Failing::OpenNotFound ? ENOENT : f == Failing::OpenDenied ? EACCES : EIO;
      return vel::port::kInvalidHandle;
    }
    return kPort;
  }
  Error setLine9600_8N1(Handle port) noexcept override { return step('L', port, Failing::Line); }
  Error setTimeouts(Handle port, const vel::port::Timeouts& timeouts) noexcept override {
    // Reads that give up after one interval of silence drain the rest of a
    // reply: they see only what has already arrived.
    const bool drain = timeouts.readMultiplier == 0;
    if (draining_ || drain) {
      ops += drain ? 'D' : 'd';
      draining_ = drain;
      return 0;
    }
    return step('T', port, Failing::Timeouts);
  }
  std::size_t pendingBytes() const { return pending_.size(); }
  Error purge(Handle port) noexcept override {
    if (Error error = step('P', port, Failing::Purge)) return error;
    pending_.clear();
    return 0;
  }
  Error write(Handle port, const uint8_t* data, std::size_t size) noexcept override {
    written.append(reinterpret_cast<const char*>(data), size);
    previousReply = reply;
    reply.fill(0);  // each exchange reads into a fresh, zeroed buffer
    return step('W', port, Failing::Write);
  }
  Error read(Handle port, uint8_t* buffer, std::size_t capacity, std::size_t& received) noexcept override {
    received = 0;
    if (port != kPort) note("read on a handle that was never opened");
    if (draining_) {
      ops += 'r';
      received = std::min(capacity, pending_.size());
      std::copy_n(pending_.begin(), received, buffer);
      pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(received));
      return 0;
    }
    ops += 'R';
    if (capacity == 0 || (capacity > kLargestReply && capacity != kBlockSize)) {
      note("read with capacity " + std::to_string(capacity));
      return EINVAL;
    }
    // The whole capacity must lie inside the caller's buffer: touch every byte.
    volatile uint8_t sink = 0;
    for (std::size_t i = 0; i < capacity; ++i) sink = static_cast<uint8_t>(sink ^ buffer[i]);

    if (script_.done()) return fail();
    uint8_t control = script_.byte();
    if (control == 0xFF) return fail();
    std::size_t count = control;
    if (control & 0x80) count = (std::size_t{control & 0x7Fu} << 8) | script_.byte();
    std::vector<uint8_t> arriving(count);
    arriving.resize(script_.take(arriving.data(), count));
    pending_.insert(pending_.end(), arriving.begin(), arriving.end());

    received = std::min(capacity, pending_.size());
    std::copy_n(pending_.begin(), received, buffer);
    uint8_t* mirror = capacity == kBlockSize ? block.data() : reply.data();
    std::copy_n(pending_.begin(), received, mirror);
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(received));
    lastReceived = received;
    return 0;
  }
  Error close(Handle port) noexcept override { return step('C', port, Failing::Close); }

 private:
  Error step(char op, Handle port, Failing when) {
    ops += op;
    if (port != kPort) note(std::string("operation ") + op + " on a handle that was never opened");
    if (failing == when && seen_++ == (failSecond ? 1 : 0)) {
      ops += '!';
      return EIO;
    }
    return 0;
  }
  Error fail() {
    ops += '!';
    return EIO;
  }
  void note(const std::string& what) {
    if (problem.empty()) problem = what;
  }

  Script& script_;
  std::deque<uint8_t> pending_;
  int seen_ = 0;
  bool draining_ = false;
};

bool oneOf(int32_t rc, std::initializer_list<int32_t> codes) {
  return std::find(codes.begin(), codes.end(), rc) != codes.end();
}

float floatAt(const uint8_t* p) {
  uint32_t bits = uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
  float f;
  std::memcpy(&f, &bits, 4);
  return f;
}

std::string padded(std::string frame, std::size_t size) {
  if (frame.size() < size) frame.resize(size, '\0');
  return frame;
}

// Caller memory of exactly the documented size, so that AddressSanitizer sees
// a write one byte too far; filled with a marker to see any write at all.
struct CallerText {
  explicit CallerText(std::size_t size) : bytes(new char[size]), size(size) {
    std::memset(bytes.get(), 0x5A, size);
  }
  bool untouched() const {
    return std::all_of(bytes.get(), bytes.get() + size, [](char c) { return c == 0x5A; });
  }
  std::unique_ptr<char[]> bytes;
  std::size_t size;
};

constexpr int32_t kLengthMarker = -7777;
constexpr float kValueMarker = -12345.5f;

class Checker {
 public:
  explicit Checker(ScriptedPort& port) : port_(port) {}
  std::string problem;

  void expect(bool ok, const std::string& what) {
    if (!ok && problem.empty()) problem = what;
  }

  // The failing operation, if any, decides the code; nothing runs after it.
  void checkFailureCode(int32_t rc, const char* name) {
    const std::string& ops = port_.ops;
    std::size_t bang = ops.find('!');
    if (bang == std::string::npos) return;
    expect(bang + 1 == ops.size(), std::string(name) + ": the library went on after a failed port operation: " + ops);
    char op = ops[bang - 1];
    int32_t want = op == 'P' ? VEL_PURGE_FAILED
                   : op == 'W' ? VEL_WRITE_FAILED
                   : op == 'R' ? VEL_READ_FAILED
                   : op == 'L' || op == 'T' ? VEL_PORT_SETUP
                   : op == 'C' ? VEL_CLOSE_FAILED
                               : -1;
    if (op == 'O') {
      want = port_.failing == Failing::OpenNotFound ? VEL_PORT_NOT_FOUND
             : port_.failing == Failing::OpenDenied ? VEL_ACCESS_DENIED
                                                    : VEL_INVALID_HANDLE;
    }
    expect(rc == want, std::string(name) + ": failed operation " + op + " gave " + std::to_string(rc));
  }

  // One exchange: purge, write, then reads; success needs `enough` bytes and the letter.
  void checkExchange(int32_t rc, const char* name, const std::string& frame, std::size_t enough,
                     char letter, int32_t wrongLetter) {
    const std::string& ops = port_.ops;
    if (ops.empty()) return;
    expect(ops.rfind("PW", 0) == 0 || ops == "P!", std::string(name) + ": exchange must purge, then write: " + ops);
    if (ops.find('W') != std::string::npos)
      expect(port_.written == frame, std::string(name) + ": frame differs from the command's");
    if (rc == VEL_OK || rc == wrongLetter) {
      expect(port_.lastReceived >= enough, std::string(name) + ": reply accepted with too few bytes");
      expect((port_.reply[0] == static_cast<uint8_t>(letter)) == (rc == VEL_OK),
             std::string(name) + ": reply letter judged wrongly");
    }
    if (rc == VEL_TIMEOUT) expect(port_.lastReceived < enough, std::string(name) + ": enough bytes, yet a time-out");
    if (rc == wrongLetter && rc != VEL_OK)
      expect(port_.pendingBytes() == 0, std::string(name) + ": the rest of a wrong reply is left for the next command");
  }

 private:
  ScriptedPort& port_;
};

int32_t int32At(const uint8_t* p) {
  uint32_t v = uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
  int32_t s;
  std::memcpy(&s, &v, 4);
  return s;
}

}  // namespace

std::string RunLibraryScript(const uint8_t* data, std::size_t size) {
  Script script(data, size);
  ScriptedPort port(script);
  vel::port::install(&port);
  vel::ProbeDataBlock.fill(0);
  Checker check(port);

  for (int call = 0; call < kMaxCalls && !script.done() && check.problem.empty(); ++call) {
    const int which = script.byte() % 14;
    const uint8_t flags = script.byte();
    uint8_t param[4];
    for (uint8_t& b : param) b = script.byte();
    const int32_t setting = int32At(param);

    static constexpr int32_t kTimeouts[4] = {0, 500, 2500, -1000};
    VEL_SetTimeout(kTimeouts[flags & 3]);
    const bool invalid = (flags & 4) != 0;
    const int failingIndex = (flags >> 3) & 0x0F;
    const Failing failing = failingIndex <= 8 ? static_cast<Failing>(failingIndex) : Failing::None;
    port.beginCall(failing, (flags & 0x80) != 0);
    const HANDLE handle = invalid ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(kPort);

    const std::string name = "call " + std::to_string(call) + " (export " + std::to_string(which) + ")";
    auto expect = [&](bool ok, const std::string& what) { check.expect(ok, name + ": " + what); };
    auto refusedBeforeSending = [&](int32_t rc) {
      expect(port.ops.empty(), "code " + std::to_string(rc) + " yet the port was used: " + port.ops);
    };

    int32_t rc = -1;
    switch (which) {
      case 0: {  // CreateProbe
        auto model = std::make_unique<char[]>(4);  // exactly four bytes are read from it
        std::memcpy(model.get(), param, 4);
        HANDLE out = nullptr;
        const std::array<uint8_t, kBlockSize> blockBefore = port.block;
        rc = VEL_CreateProbe(model.get(), &out, "fuzz-port");
        expect(oneOf(rc, {0, 1, 2, 4, 7, 8, 9, 10, 11, 14, 18}), "undocumented code " + std::to_string(rc));
        check.checkFailureCode(rc, name.c_str());
        const bool opened = port.ops.rfind("O!", 0) != 0;
        expect(out == (opened ? reinterpret_cast<HANDLE>(kPort) : INVALID_HANDLE_VALUE), "handle not reported");
        std::size_t dataQuery = port.written.find("#00?P*");
        expect(port.written.rfind("#00?v*", 0) == 0 || port.written.empty(), "version query missing");
        if (rc == VEL_WRONG_MODEL || rc == VEL_WRONG_REPLY) expect(dataQuery == std::string::npos, "data query after a refused version reply");
        // The version reply, wherever the opening stopped.
        const auto& version = dataQuery == std::string::npos ? port.reply : port.previousReply;
        if (rc == VEL_WRONG_MODEL || dataQuery != std::string::npos) {
          // Four characters compared, or fewer when the expectation ends in a NUL.
          bool same = true;
          for (int i = 0; i < 4 && same; ++i) {
            same = param[i] == version[1 + i];
            if (param[i] == 0) break;
          }
          expect(same == (rc != VEL_WRONG_MODEL), "model compared wrongly");
          expect(version[0] == 'v', "version reply without its letter accepted");
        }
        if (rc == VEL_WRONG_REPLY) expect(version[0] != 'v', "version reply with its letter refused");
        if (rc == VEL_OK) {
          expect(port.written == "#00?v*#00?P*", "opening frames differ");
          expect(port.lastReceived >= 256, "data block accepted with fewer than 256 bytes");
        }
        if (rc == VEL_TIMEOUT && dataQuery != std::string::npos)
          expect(port.lastReceived < 256, "data block of 256 bytes or more refused");
        if (dataQuery == std::string::npos) expect(port.block == blockBefore, "block changed without a data query");
        // The cached block is exactly what the data reads delivered.
        expect(std::equal(port.block.begin(), port.block.end(), vel::ProbeDataBlock.begin()),
               "cached block differs from the bytes that came");
        break;
      }
      case 1: case 2: {  // Firmware, SerialNumber
        const bool firmware = which == 1;
        CallerText text(firmware ? 11 : 10);
        int32_t length = kLengthMarker;
        rc = firmware ? VEL_Firmware(handle, text.bytes.get(), &length)
                      : VEL_SerialNumber(handle, text.bytes.get(), &length);
        expect(oneOf(rc, {0, 1, 4, 8, 10, 11, 18}), "undocumented code " + std::to_string(rc));
        if (invalid) {
          expect(rc == VEL_INVALID_HANDLE, "invalid handle not refused");
          refusedBeforeSending(rc);
        }
        check.checkFailureCode(rc, name.c_str());
        check.checkExchange(rc, name.c_str(), firmware ? "#00?v*" : "#00?s*", firmware ? 17 : 11,
                            firmware ? 'v' : 's', VEL_WRONG_REPLY);
        if (rc != VEL_OK) {
          expect(text.untouched() && length == kLengthMarker, "out-arguments written on failure");
        } else if (firmware) {
          expect(length == 10 || length == 11, "firmware length " + std::to_string(length));
          if (length == 10 || length == 11)
            expect(std::memcmp(text.bytes.get(), port.reply.data() + 7, static_cast<std::size_t>(length)) == 0,
                   "firmware text is not reply offsets 7 on");
        } else {
          expect(length == 10 && std::memcmp(text.bytes.get(), port.reply.data() + 1, 10) == 0,
                 "serial number is not reply offsets 1 to 10");
        }
        break;
      }
      case 3: case 4: case 5: case 6: {  // measurements
        static constexpr const char* kFrames[] = {"#00?b*", "#00?t*", "#00?T*", "#00?A*"};
        static constexpr char kLetters[] = {'b', 't', 'T', 'A'};
        static constexpr std::size_t kSizes[] = {3, 3, 5, 13};
        const int m = which - 3;
        float v[3] = {kValueMarker, kValueMarker, kValueMarker};
        switch (which) {
          case 3: rc = VEL_ReadBattery(handle, &v[0]); break;
          case 4: rc = VEL_ReadTemperature(handle, &v[0]); break;
          case 5: rc = VEL_ReadTotalField(handle, &v[0]); break;
          default: rc = VEL_ReadAxisField(handle, &v[0], &v[1], &v[2]); break;
        }
        if (which <= 4)
          expect(oneOf(rc, {0, 1, 4, 8, 10, 11, 18}), "undocumented code " + std::to_string(rc));
        else
          expect(oneOf(rc, {0, 1, 4, 8, 10, 11, 15, 16, 18}), "undocumented code " + std::to_string(rc));
        if (invalid) {
          expect(rc == VEL_INVALID_HANDLE, "invalid handle not refused");
          refusedBeforeSending(rc);
        }
        check.checkFailureCode(rc, name.c_str());
        check.checkExchange(rc, name.c_str(), kFrames[m], kSizes[m], kLetters[m], VEL_WRONG_REPLY);
        const float limit = floatAt(vel::ProbeDataBlock.data() + 16);
        if (rc != VEL_OK) {
          expect(v[0] == kValueMarker && v[1] == kValueMarker && v[2] == kValueMarker,
                 "out-variables written on failure");
        } else if (which == 5) {
          expect(!std::isnan(v[0]) && v[0] >= 0 && !(v[0] > limit), "total field outside 0..limit passed");
        } else if (which == 6) {
          for (int i = 0; i < 3; ++i) {
            expect(!std::isnan(v[i]) && v[i] >= 0 && !(v[i] > limit), "axis value outside 0..limit passed");
            expect(std::memcmp(&v[i], port.reply.data() + 1 + 4 * i, 4) == 0, "axis value is not the reply's");
          }
        }
        if (rc == VEL_INVALID_VALUE || rc == VEL_ABOVE_LIMIT)
          expect(port.lastReceived >= kSizes[m] && port.reply[0] == static_cast<uint8_t>(kLetters[m]),
                 "value judged without a complete reply");
        break;
      }
      case 7: {  // SetFrequency
        rc = VEL_SetFrequency(handle, setting);
        expect(oneOf(rc, {0, 1, 4, 6, 8, 10, 11, 13, 18}), "undocumented code " + std::to_string(rc));
        const std::string digits = std::to_string(setting);
        if (digits.size() > 7) {
          expect(rc == VEL_OUT_OF_RANGE, "a frequency that does not fit the frame was not refused");
          refusedBeforeSending(rc);
          break;
        }
        if (invalid) {
          expect(rc == VEL_INVALID_HANDLE, "invalid handle not refused");
          refusedBeforeSending(rc);
        }
        check.checkFailureCode(rc, name.c_str());
        check.checkExchange(rc, name.c_str(), padded("#00k " + digits + "*", 13), 5, 'k', VEL_WRONG_REPLY);
        if (rc == VEL_OK || rc == VEL_NOT_CONFIRMED) {
          const double hundredths = std::trunc(static_cast<double>(floatAt(port.reply.data() + 1)) * 100.0);
          expect((hundredths == setting) == (rc == VEL_OK), "frequency echo judged wrongly");
        }
        break;
      }
      case 8: case 9: {  // SetFilter, SetAutoOffTime
        const bool filter = which == 8;
        rc = filter ? VEL_SetFilter(handle, setting) : VEL_SetAutoOffTime(handle, setting);
        expect(oneOf(rc, {0, 1, 6, 8, 10, 11, 13, 18}), "undocumented code " + std::to_string(rc));
        const int32_t max = filter ? 7 : 10800;
        if (setting < 0 || setting > max) {
          expect(rc == VEL_OUT_OF_RANGE, "out-of-range setting not refused first");
          refusedBeforeSending(rc);
          break;
        }
        if (invalid) {
          expect(rc == VEL_INVALID_HANDLE, "invalid handle not refused");
          refusedBeforeSending(rc);
        }
        check.checkFailureCode(rc, name.c_str());
        const std::string frame = filter ? "#00f" + std::to_string(setting) + "*"
                                         : padded("#00e " + std::to_string(setting) + "*", 11);
        check.checkExchange(rc, name.c_str(), frame, 1, filter ? 'f' : 'e', VEL_NOT_CONFIRMED);
        break;
      }
      case 10: case 11: case 12: {  // cached texts
        const std::size_t width = which == 12 ? 8 : 6;
        const std::size_t offset = which == 12 ? 204 : 213;
        CallerText text(width);
        int32_t length = kLengthMarker;
        rc = which == 10 ? VEL_ProbeName(handle, text.bytes.get(), &length)
             : which == 11 ? VEL_Model(handle, text.bytes.get(), &length)
                           : VEL_CalibrationDate(handle, text.bytes.get(), &length);
        expect(rc == (invalid ? VEL_INVALID_HANDLE : VEL_OK), "cached text code " + std::to_string(rc));
        refusedBeforeSending(rc);
        if (rc == VEL_OK)
          expect(length == static_cast<int32_t>(width) &&
                     std::memcmp(text.bytes.get(), port.block.data() + offset, width) == 0,
                 "cached text is not the block's");
        else
          expect(text.untouched() && length == kLengthMarker, "out-arguments written on failure");
        break;
      }
      default: {  // RemoveProbe
        rc = VEL_RemoveProbe(handle);
        expect(oneOf(rc, {0, 1, 17}), "undocumented code " + std::to_string(rc));
        if (invalid) {
          expect(rc == VEL_INVALID_HANDLE, "invalid handle not refused");
          refusedBeforeSending(rc);
        } else {
          expect(port.ops == "C" || port.ops == "C!", "closing did more than close: " + port.ops);
          check.checkFailureCode(rc, name.c_str());
        }
        break;
      }
    }
    if (!port.problem.empty()) check.expect(false, name + ": " + port.problem);
  }

  vel::port::install(nullptr);
  VEL_SetTimeout(500);
  return check.problem;
}

}  // namespace kv210::fuzz
