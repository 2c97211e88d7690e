// watch: readings one after another at an interval, one line each, for a
// day if need be. A failed reading becomes a row of its own; a port that goes
// away is reopened until the probe answers again, and a row marks the gap.
#include <cmath>
#include <deque>
#include <map>
#include <memory>

#include "commands.h"
#include "interrupt.h"

namespace velprobe {
namespace {

using Clock = std::chrono::steady_clock;
using WallClock = std::chrono::system_clock;

constexpr auto kReopenEvery = std::chrono::seconds(2);

struct WatchOptions {
  int64_t intervalMs = 1000;
  int64_t count = 0;  // 0: until stopped
  bool stopOnError = false;
};

// The live rate shown under the readings while stdout is a terminal: kept on
// the last line and erased before each row is printed.
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

// "VEL_ReadBattery returned 8 (VEL_TIMEOUT)": short enough for a log row.
std::string returned(const ReadError& error) {
  return std::string(error.call) + " returned " + std::to_string(error.code) + " (" +
         describe(error.code).name + ")";
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string fixed(double value, int decimals) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

// What the run has seen, for the summary on standard error.
struct Tally {
  Clock::time_point started = Clock::now(), firstReading, lastReading;
  int64_t readings = 0, overRange = 0, gaps = 0;
  std::map<int32_t, int64_t> errors;  // by result code
  Clock::duration gapTime{};

  std::string summary() const {
    const double elapsed = seconds(Clock::now() - started);
    std::string text = std::to_string(readings) + (readings == 1 ? " reading" : " readings") + " in " +
                       fixed(elapsed, 1) + " s";
    // The rate from the first reading to the last, gaps included.
    if (const double span = seconds(lastReading - firstReading); readings > 1 && span > 0)
      text += " (" + fixed(static_cast<double>(readings - 1) / span, 2) + "/s)";
    if (overRange) text += ", " + std::to_string(overRange) + " over range";
    int64_t errorCount = 0;
    std::string byKind;
    for (const auto& [code, n] : errors) {
      errorCount += n;
      byKind += (byKind.empty() ? "" : ", ") + std::to_string(n) + " " + describe(code).name + " (" +
                std::to_string(code) + ")";
    }
    text += errorCount
                ? ", " + std::to_string(errorCount) + (errorCount == 1 ? " error: " : " errors: ") + byKind
                : ", no errors";
    if (gaps)
      text += ", " + std::to_string(gaps) + (gaps == 1 ? " gap" : " gaps") + " of " +
              fixed(seconds(gapTime), 1) + " s in all";
    return text;
  }
};

class Watch {
 public:
  Watch(const GlobalOptions& o, const WatchOptions& w, Output& out)
      : o_(o),
        w_(w),
        out_(out),
        rate_(out, out.isTerminal()),
        table_(o.format, readingRecord(Reading{}, true), {"over_range", "error", "gap_s", "note"}) {}

  int run() {
    std::optional<Probe> probe(openProbe(o_));
    port_ = probe->port();  // the one --port auto found stays the one to reopen
    tally_.started = Clock::now();
    if (stopRequested()) return finish(probe, kExitInterrupted);
    try {
      write(table_.header());
      auto next = Clock::now();
      for (int64_t rows = 0; !w_.count || rows < w_.count; ++rows) {
        if (rows > 0) {
          // Readings keep to the interval's grid; a slot missed by a slow reading is skipped.
          next = std::max(next + std::chrono::milliseconds(w_.intervalMs), Clock::now());
          if (!sleepUntil(next)) break;
        }
        if (!probe) {
          if (!(probe = reopen())) break;
          next = Clock::now();
        }
        const auto started = Clock::now();
        Reading reading;
        const ReadError error = probe->tryRead(reading);
        if (w_.stopOnError) throwIfFailed(strictly(error, reading));  // over range included
        if (portLost(error.code)) {
          lost(*probe, error);
          probe.reset();
          --rows;  // the reading is taken again once the probe is back
          continue;
        }
        writeRow(error, reading, started);
        rate_.show(static_cast<std::size_t>(tally_.readings), started);
      }
      if (!probe) writeGap(" and is not back");
      rate_.clear();
    } catch (const Output::Closed&) {
      // The reader has seen enough.
    } catch (const Failure&) {
      clearQuietly();
      report();
      throw;
    }
    return finish(probe, kExitOk);
  }

 private:
  void write(const std::string& text) {
    rate_.clear();
    out_.write(text);
  }

  void clearQuietly() {
    try {
      rate_.clear();
    } catch (const Output::Closed&) {
    }
  }

  void report() { std::fprintf(stderr, "velprobe: watch: %s\n", tally_.summary().c_str()); }

  int finish(std::optional<Probe>& probe, int status) {
    report();
    if (probe) probe->close();
    return status;
  }

  void writeRow(const ReadError& error, const Reading& reading, Clock::time_point started) {
    const bool text = o_.format == Format::Text;
    if (error.code == VEL_OK) {
      if (tally_.readings++ == 0) tally_.firstReading = started;
      tally_.lastReading = started;
      if (reading.totalOverRange || reading.axisOverRange) ++tally_.overRange;
      write(table_.row(readingRecord(reading, text)));
      return;
    }
    ++tally_.errors[error.code];
    const std::string note = returned(error);
    write(table_.row({timeField("time", "Time", reading.time, text),
                      noteField("error", "", error.code, std::to_string(error.code)),
                      noteField("note", "error: " + note, note, note)}));
  }

  void lost(Probe& probe, const ReadError& error) {
    lostAt_ = Clock::now();
    lostBecause_ = returned(error);
    clearQuietly();
    std::fprintf(stderr, "velprobe: lost %s: %s; trying to reopen it every %d s\n", port_.c_str(),
                 lostBecause_.c_str(), static_cast<int>(kReopenEvery.count()));
    try {
      probe.close();
    } catch (const Failure&) {
      // The port is gone; its handle is closed as far as it can be.
    }
  }

  // Tries to reopen the port every few seconds until the probe answers; a
  // row then marks the gap. Empty when stopped meanwhile.
  std::optional<Probe> reopen() {
    for (;;) {
      if (!sleepUntil(Clock::now() + kReopenEvery)) return std::nullopt;
      try {
        std::optional<Probe> probe(Probe(port_, o_.model, o_.timeoutMs));
        if (stopRequested()) return std::nullopt;
        std::fprintf(stderr, "velprobe: %s answers again after %s s\n", port_.c_str(),
                     fixed(seconds(Clock::now() - lostAt_), 1).c_str());
        writeGap("");
        return probe;
      } catch (const Failure&) {
        // Not back yet.
      }
    }
  }

  void writeGap(const std::string& outcome) {
    const auto gap = Clock::now() - lostAt_;
    ++tally_.gaps;
    tally_.gapTime += gap;
    const double gapSeconds = std::round(seconds(gap) * 1000) / 1000;
    const std::string note = "gap: no readings for " + fixed(gapSeconds, 1) + " s, the port was lost (" +
                             lostBecause_ + ")" + outcome;
    write(table_.row({timeField("time", "Time", WallClock::now(), o_.format == Format::Text),
                      noteField("gap_s", "", gapSeconds, fixed(gapSeconds, 3)),
                      noteField("note", note, note, note)}));
  }

  const GlobalOptions& o_;
  const WatchOptions& w_;
  Output& out_;
  RateLine rate_;
  Table table_;
  Tally tally_;
  std::string port_;
  Clock::time_point lostAt_;
  std::string lostBecause_;
};

}  // namespace

void addWatchCommand(CommandLine& commandLine) {
  auto options = std::make_shared<WatchOptions>();
  CLI::App& command = commandLine.add(
      "watch", "readings at an interval, one line each",
      [options](const GlobalOptions& o, Output& out) { return Watch(o, *options, out).run(); });
  command.add_option("-i,--interval", options->intervalMs, "from one reading to the next (1; 0: at once)")
      ->type_name("SECONDS")
      ->transform(
          scaledDecimal("takes seconds from 0 to 86400 with at most 3 decimals, not ", 3, 0, 86400000));
  command.add_option("-n,--count", options->count, "stop after N rows")
      ->type_name("N")
      ->transform(scaledDecimal("takes a whole number from 1 up, not ", 0, 1, INT32_MAX));
  command.add_flag("--stop-on-error", options->stopOnError, "end at the first failed reading (status 1)");
}

}  // namespace velprobe
