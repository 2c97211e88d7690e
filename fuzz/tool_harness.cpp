#include "tool_harness.h"

#include <algorithm>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "probeaddr/null_controls.h"
#include "probeaddr/set_add_gui.h"
#include "probeaddr/util_lib.h"

namespace kv210::fuzz {
namespace {

using namespace probeaddr;
using namespace std::chrono_literals;

struct Hang {};  // the logic kept pumping without time going on

class Script {
 public:
  Script(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool done() const { return pos_ >= size_; }
  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::size_t count() {
    std::size_t n = byte();
    if (n & 0x80) n = (n & 0x7Fu) << 8 | byte();
    return n;
  }
  std::string bytes(std::size_t n) {
    n = std::min(n, size_ - pos_);
    std::string out(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return out;
  }

 private:
  const uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

struct FakeClock final : Clock {
  TimePoint t{};
  TimePoint now() override { return t; }
};

// The line: bytes that arrive at given times, a failure from a given time on.
class LinePort final : public CommPort {
 public:
  explicit LinePort(FakeClock& clock) : clock_(clock) {}
  std::vector<std::pair<TimePoint, Bytes>> arrivals;  // in time order
  std::optional<TimePoint> failFrom;
  std::vector<std::string> frames;

  void setCommPort(std::int16_t) override {}
  void setDevicePath(const std::string&) override {}
  void setSettings(const std::string&) override {}
  bool portOpen() override { return true; }
  void setPortOpen(bool) override {}
  void setInputMode(InputMode) override {}
  int inBufferCount() override {
    std::size_t n = 0;
    for (auto& [t, b] : arrivals)
      if (t <= clock_.t) n += b.size();
    check();
    return static_cast<int>(n);
  }
  Bytes input() override {
    check();
    Bytes out;
    auto it = arrivals.begin();
    for (; it != arrivals.end() && it->first <= clock_.t; ++it) out.insert(out.end(), it->second.begin(), it->second.end());
    arrivals.erase(arrivals.begin(), it);
    return out;
  }
  void output(std::string_view text) override {
    check();
    frames.emplace_back(text);
  }
  void waitForInput(TimePoint deadline) override {
    if (!arrivals.empty() && arrivals.front().first <= clock_.t) return;
    TimePoint until = deadline;
    if (!arrivals.empty()) until = std::min(until, arrivals.front().first);
    if (failFrom && *failFrom > clock_.t) until = std::min(until, *failFrom);
    clock_.t = std::max(clock_.t, until);
  }

 private:
  void check() {
    if (failFrom && clock_.t >= *failFrom) throw CommError(kErrDeviceFailed, "device gone");
  }
  FakeClock& clock_;
};

class Pump final : public EventPump {
 public:
  Pump(FakeClock& clock, LinePort& port) : clock_(clock), port_(port) {}
  std::vector<std::pair<TimePoint, std::function<void()>>> actions;  // in time order
  long pumps = 0;

  void pumpEvents() override {
    if (++pumps > 2'000'000) throw Hang{};
    while (!actions.empty() && actions.front().first <= clock_.t) {
      auto action = std::move(actions.front().second);
      actions.erase(actions.begin());
      action();
    }
  }
  void waitForEvents(TimePoint deadline, bool wakeOnPortInput) override {
    if (++pumps > 2'000'000) throw Hang{};
    TimePoint until = deadline;
    if (!actions.empty()) until = std::min(until, actions.front().first);
    if (wakeOnPortInput)
      port_.waitForInput(until);
    else
      clock_.t = std::max(clock_.t, until);
  }

 private:
  FakeClock& clock_;
  LinePort& port_;
};

class Screen final : public NullControls {
 public:
  Screen() { text.clear(); }
  std::optional<std::string> serialShown;
  void setCaption(ValueLabel label, const std::string& caption) override {
    if (label == ValueLabel::LBSerial) serialShown = caption;
  }
};

class Boxes final : public MessageBoxes {
 public:
  bool yes = false;
  int shown = 0;
  MessageAnswer show(const std::string&, const std::string&, MessageIcon, MessageButtons buttons) override {
    ++shown;
    if (buttons == MessageButtons::Ok) return MessageAnswer::Ok;
    return yes ? MessageAnswer::Yes : MessageAnswer::No;
  }
};

bool isStoreFrame(const std::string& f) {
  return f.size() == 8 && f.rfind("#00@I", 0) == 0 && f[5] >= '0' && f[5] <= '9' && f[6] >= '0' &&
         f[6] <= '9' && f[7] == '*';
}

}  // namespace

std::string RunToolScript(const uint8_t* data, std::size_t size) {
  Script script(data, size);
  FakeClock clock;
  clock.t = TimePoint{} + 1h;  // any start will do
  LinePort port(clock);
  Pump pump(clock, port);
  Screen screen;
  Boxes boxes;
  SetAddGui gui(Platform{port, screen, boxes, pump, clock, {}}, "COM=1");

  const uint8_t state = script.byte();
  gui.Connected = state & 1;
  gui.BlockRead = state & 2;
  gui.SerialFailures = static_cast<std::int16_t>(state >> 2 & 3);
  gui.PollStep = static_cast<std::int16_t>(state >> 4 & 3);
  gui.PollPeriod = 1;
  gui.SerialQuery = "#00?s*";
  boxes.yes = state & 0x40;

  std::string problem;
  auto expect = [&](bool ok, const std::string& what) {
    if (!ok && problem.empty()) problem = what;
  };
  TimePoint cursor = clock.t;  // when the next arrival comes
  int nestedClicks = 0;
  bool ended = false;

  auto check = [&](const char* what) {
    expect(gui.RxBytes.size() <= SetAddGui::kRxBytesLimit, std::string(what) + ": RxBytes grew past its limit");
    expect(gui.SerialFailures >= 0 && gui.SerialFailures <= 3, std::string(what) + ": SerialFailures out of 0..3");
    if (screen.serialShown)
      expect(UtilLib::IsValidSerial(*screen.serialShown), std::string(what) + ": an ill-formed serial number shown");
    for (std::size_t i = 0; i < port.frames.size(); ++i) {
      const std::string& f = port.frames[i];
      const bool ok = f == "#00!*" || isStoreFrame(f) ||
                      (f == "#00@c*" && i + 1 < port.frames.size() && isStoreFrame(port.frames[i + 1]));
      expect(ok || (f == "#00@c*" && i + 1 == port.frames.size() && port.failFrom),
             std::string(what) + ": unexpected frame '" + f + "'");
    }
    if (!gui.ProbeAddress.empty())
      expect(gui.ProbeAddress.size() == 2 && isStoreFrame("#00@I" + gui.ProbeAddress + "*"),
             std::string(what) + ": a written address that is not two digits");
  };

  // Runs a procedure; the port failing or the program ending stop the script,
  // any other escape is a finding.
  auto run = [&](const char* what, const std::function<void()>& body) {
    const TimePoint start = clock.t;
    const int nestedBefore = nestedClicks;
    bool returned = false;
    try {
      body();
      returned = true;
    } catch (const ProgramEnded&) {
      ended = true;
    } catch (const CommError&) {
      ended = true;  // passes to the caller by design: the window layer reports it
    } catch (const Hang&) {
      expect(false, std::string(what) + ": kept pumping events without time going on");
    } catch (const std::exception& e) {
      expect(false, std::string(what) + ": exception escaped: " + e.what());
    }
    // 100 ms, the one-second window, and the last turn's wait (0.5 s), for
    // the call and for every click that ran nested in it.
    const auto bound = (1 + nestedClicks - nestedBefore) * 1700ms;
    expect(clock.t - start <= bound, std::string(what) + ": took longer than its window");
    if (returned && std::string(what) == "ReadProbeReply") expect(gui.RxText.empty(), "RxText left filled");
    check(what);
  };

  bool read = false;
  while (!script.done() && !ended && problem.empty()) {
    switch (script.byte() % 6) {
      case 0:
        cursor += std::chrono::milliseconds(4 * script.byte());
        break;
      case 1: {
        std::string chunk = script.bytes(script.count());
        if (chunk.empty()) break;  // nothing arrives
        port.arrivals.emplace_back(std::max(cursor, clock.t), Bytes(chunk.begin(), chunk.end()));
        std::stable_sort(port.arrivals.begin(), port.arrivals.end(),
                         [](auto& a, auto& b) { return a.first < b.first; });
        break;
      }
      case 2:
        read = true;
        run("ReadProbeReply", [&] { gui.ReadProbeReply(); });
        break;
      case 3: {
        screen.text = script.bytes(script.count());
        run("CBWrite_Click", [&] { gui.CBWrite_Click(); });
        break;
      }
      case 4: {
        std::string text = script.bytes(script.count());
        pump.actions.emplace_back(std::max(cursor, clock.t), [&, text] {
          ++nestedClicks;
          screen.text = text;
          gui.CBWrite_Click();
        });
        std::stable_sort(pump.actions.begin(), pump.actions.end(),
                         [](auto& a, auto& b) { return a.first < b.first; });
        break;
      }
      default:
        port.failFrom = std::max(cursor, clock.t);
        break;
    }
  }
  if (!read && !ended && problem.empty()) run("ReadProbeReply", [&] { gui.ReadProbeReply(); });
  return problem;
}

}  // namespace kv210::fuzz
