#include "commands.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>

#include "interrupt.h"

namespace velprobe {
namespace {

using Clock = std::chrono::steady_clock;

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

int watch(const Options& o, Probe& probe, Output& out) {
  Table table(o.format);
  RateLine rate(out, out.isTerminal());
  const auto interval = std::chrono::milliseconds(o.intervalMs);
  auto next = Clock::now();
  try {
    for (int64_t n = 1;; ++n) {
      const auto started = Clock::now();
      const Reading reading = probe.read();
      rate.clear();
      out.write(table.row(readingRecord(reading, o.format == Format::Text)));
      rate.show(static_cast<std::size_t>(n), started);
      if (o.count && n >= *o.count) break;
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

Output::Output(std::FILE* file) : file_(file), terminal_(::isatty(::fileno(file)) == 1) {}

void Output::write(std::string_view text) {
  if (std::fwrite(text.data(), 1, text.size(), file_) == text.size() && std::fflush(file_) == 0) return;
  const int error = errno;
  std::clearerr(file_);
  if (error == EPIPE) throw Closed{};
  throw Failure(std::string("cannot write the output: ") + std::strerror(error), kExitDevice);
}

Record identityRecord(const Identity& id) {
  return {textField("firmware", "Firmware", id.firmware),
          textField("serial_number", "Serial number", id.serialNumber), textField("name", "Name", id.name),
          textField("model", "Model", id.model),
          textField("calibration_date", "Calibration date", id.calibrationDate)};
}

Record readingRecord(const Reading& r, bool clockOnly) {
  return {timeField("time", "Time", r.time, clockOnly),
          floatField("battery_V", "Battery", "V", r.battery, 2),
          floatField("temperature_C", "Temperature", "°C", r.temperature, 2),
          floatField("total_field", "Total field", "", r.totalField, 3),
          floatField("axis1", "Axis 1", "", r.axis[0], 3),
          floatField("axis2", "Axis 2", "", r.axis[1], 3),
          floatField("axis3", "Axis 3", "", r.axis[2], 3)};
}

int runCommand(const Options& o, Output& out) {
  if (o.timeoutMs) VEL_SetTimeout(*o.timeoutMs);
  Probe probe(o.port, o.model);
  // Opening can take many seconds with a misbehaving probe; honour a Ctrl-C
  // that came meanwhile before starting the command.
  if (stopRequested()) return finish(probe, kExitInterrupted);

  std::string result;
  switch (o.command) {
    case Command::Info: result = renderRecord(o.format, identityRecord(probe.identity())); break;
    case Command::Read: result = renderRecord(o.format, readingRecord(probe.read(), false)); break;
    case Command::Watch: return watch(o, probe, out);
    case Command::SetFrequency:
      probe.setFrequency(o.setting);
      result =
          o.format == Format::Text
              ? "Frequency set to " + scaledField("", "", "", o.setting, 2).text + " (" +
                    std::to_string(o.setting) + " hundredths), confirmed by the probe.\n"
              : renderRecord(o.format, {scaledField("frequency", "Frequency", "", o.setting, 2),
                                        integerField("frequency_hundredths", "Hundredths", "", o.setting)});
      break;
    case Command::SetFilter:
      probe.setFilter(o.setting);
      result = o.format == Format::Text
                   ? "Filter set to " + std::to_string(o.setting) + ".\n"
                   : renderRecord(o.format, {integerField("filter", "Filter", "", o.setting)});
      break;
    case Command::SetAutoOff:
      probe.setAutoOffTime(o.setting);
      result = o.format == Format::Text
                   ? "Automatic switch-off time set to " + std::to_string(o.setting) + " s.\n"
                   : renderRecord(o.format, {integerField("auto_off_s", "Switch-off time", "s", o.setting)});
      break;
    case Command::None: break;
  }
  probe.close();
  try {
    out.write(result);
  } catch (const Output::Closed&) {
    throw Failure("cannot write the output: the reader closed the pipe", kExitDevice);
  }
  return kExitOk;
}

}  // namespace velprobe
