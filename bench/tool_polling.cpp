#include "tool_polling.h"

#include <time.h>

#include <chrono>
#include <thread>

#include "posix_comm_port.h"
#include "probeaddr/null_controls.h"
#include "probeaddr/set_add_gui.h"

namespace kv210::bench {
namespace {

using namespace probeaddr;

struct Stop {};

double threadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// The real port, counting the frames that go out.
class CountingPort final : public CommPort {
 public:
  PosixCommPort port;
  int frames = 0;
  void setCommPort(std::int16_t n) override { port.setCommPort(n); }
  void setDevicePath(const std::string& p) override { port.setDevicePath(p); }
  void setSettings(const std::string& s) override { port.setSettings(s); }
  bool portOpen() override { return port.portOpen(); }
  void setPortOpen(bool o) override { port.setPortOpen(o); }
  void setInputMode(InputMode m) override { port.setInputMode(m); }
  int inBufferCount() override { return port.inBufferCount(); }
  Bytes input() override { return port.input(); }
  void output(std::string_view text) override {
    ++frames;
    port.output(text);
  }
  void waitForInput(TimePoint deadline) override { port.waitForInput(deadline); }
};

// No windows: nothing to draw, and every question answered No so the cycle goes on.
using NoScreen = NullControls;

class AnswerNo final : public MessageBoxes {
 public:
  MessageAnswer show(const std::string&, const std::string&, MessageIcon, MessageButtons b) override {
    return b == MessageButtons::Ok ? MessageAnswer::Ok : MessageAnswer::No;
  }
};

// Sleeps as a window system's event loop would, and takes the measurements
// whenever the logic looks for events.
class SleepingPump final : public EventPump {
 public:
  SleepingPump(CommPort& port, std::function<void()> look) : port_(port), look_(std::move(look)) {}
  void pumpEvents() override { look_(); }
  void waitForEvents(TimePoint deadline, bool wakeOnPortInput) override {
    look_();
    if (wakeOnPortInput)
      port_.waitForInput(deadline);
    else
      std::this_thread::sleep_until(deadline);
  }

 private:
  CommPort& port_;
  std::function<void()> look_;
};

}  // namespace

std::vector<PollingWindow> measureToolPolling(const std::string& device, int windows, double windowSeconds,
                                              double settleSeconds) {
  using Clock = std::chrono::steady_clock;
  std::vector<PollingWindow> result;
  CountingPort port;
  NoScreen screen;
  AnswerNo boxes;
  SteadyClock clock;

  auto windowStart = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(settleSeconds));
  const auto window = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(windowSeconds));
  bool started = false;
  double cpuAtStart = 0;
  int framesAtStart = 0;
  auto look = [&] {
    const auto now = Clock::now();
    if (now < windowStart) return;
    if (!started) {
      started = true;
      windowStart = now;
      cpuAtStart = threadCpuSeconds();
      framesAtStart = port.frames;
      return;
    }
    if (now - windowStart < window) return;
    const double cpu = threadCpuSeconds();
    result.push_back({std::chrono::duration<double>(now - windowStart).count(), cpu - cpuAtStart,
                      port.frames - framesAtStart});
    windowStart = now;
    cpuAtStart = cpu;
    framesAtStart = port.frames;
    if (static_cast<int>(result.size()) == windows) throw Stop{};
  };
  SleepingPump pump(port, look);
  SetAddGui gui(Platform{port, screen, boxes, pump, clock, {}}, "PORT=" + device);
  try {
    gui.Form_Load();
    gui.Form_Activate();  // the cycle: never returns by itself
  } catch (const Stop&) {
  } catch (const ProgramEnded&) {
  }
  return result;
}

}  // namespace kv210::bench
