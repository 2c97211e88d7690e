// watch: readings one after another at an interval, one line each.
#include <deque>
#include <memory>

#include "commands.h"
#include "interrupt.h"

namespace velprobe {
namespace {

using Clock = std::chrono::steady_clock;

struct WatchOptions {
  int64_t intervalMs = 1000;
  int64_t count = 0;  // 0: until stopped
};

// The live rate shown under the readings while stdout is a terminal: kept on
// the last line and erased before each reading is printed.
class RateLine {
 public:
  RateLine(Output& out, bool enabled) : out_(out), enabled_(enabled) {}
  void clear() {
    if (enabled_ && shown_) out_.write("\r\033[K");
    shown_ = false;
  }
  void show(std::size_t readings, Clock::time_point taken) {
    if (!enabled_) return;
    recent_.push_back(taken);
    if (recent_.size() > 10) recent_.pop_front();
    std::string line = "  " + std::to_string(readings) + (readings == 1 ? " reading" : " readings");
    const double span = std::chrono::duration<double>(recent_.back() - recent_.front()).count();
    if (recent_.size() > 1 && span > 0) {
      char rate[32];
      std::snprintf(rate, sizeof rate, ", %.2f/s", static_cast<double>(recent_.size() - 1) / span);
      line += rate;
    }
    out_.write(line + "  (Ctrl-C stops)");
    shown_ = true;
  }

 private:
  Output& out_;
  bool enabled_;
  bool shown_ = false;
  std::deque<Clock::time_point> recent_;
};

int finish(Probe& probe, int status) {
  probe.close();
  return status;
}

int watch(const GlobalOptions& o, const WatchOptions& w, Output& out) {
  Probe probe = openProbe(o);
  if (stopRequested()) return finish(probe, kExitInterrupted);
  Table table(o.format);
  RateLine rate(out, out.isTerminal());
  const auto interval = std::chrono::milliseconds(w.intervalMs);
  auto next = Clock::now();
  try {
    for (int64_t n = 1;; ++n) {
      const auto started = Clock::now();
      const Reading reading = probe.read();
      rate.clear();
      out.write(table.row(readingRecord(reading, o.format == Format::Text)));
      rate.show(static_cast<std::size_t>(n), started);
      if (w.count && n >= w.count) break;
      // Readings keep to the interval's grid; a slot missed by a slow reading is skipped.
      next += interval;
      if (next < Clock::now()) next = Clock::now();
      if (!sleepUntil(next)) break;
    }
    rate.clear();
  } catch (const Output::Closed&) {
    return finish(probe, kExitOk);  // the reader has seen enough
  } catch (const Failure&) {
    try {
      rate.clear();  // the error message is what matters now
    } catch (const Output::Closed&) {
    }
    throw;
  }
  return finish(probe, kExitOk);
}

}  // namespace

void addWatchCommand(CommandLine& commandLine) {
  auto options = std::make_shared<WatchOptions>();
  CLI::App& command = commandLine.add(
      "watch",
      "readings at an interval, one line each",
      [options](const GlobalOptions& o, Output& out) { return watch(o, *options, out); });
  command.add_option("-i,--interval", options->intervalMs,
                     "from one reading to the next (1; 0: at once)")
      ->type_name("SECONDS")
      ->transform(scaledDecimal("takes seconds from 0 to 86400 with at most 3 decimals, not ", 3, 0, 86400000));
  command.add_option("-n,--count", options->count, "stop after N readings")
      ->type_name("N")
      ->transform(scaledDecimal("takes a whole number from 1 up, not ", 0, 1, INT32_MAX));
}

}  // namespace velprobe
