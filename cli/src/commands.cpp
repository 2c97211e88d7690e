#include "commands.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "interrupt.h"
#include "ports.h"

namespace velprobe {
namespace {

// Runs `body` on the opened probe, closes it and prints what `body` returned.
int runOnProbe(const GlobalOptions& options, Output& out, const std::function<std::string(Probe&)>& body) {
  Probe probe = openProbe(options);
  // Opening can take many seconds with a misbehaving probe; honour a Ctrl-C
  // that came meanwhile before starting the command.
  if (stopRequested()) {
    probe.close();
    return kExitInterrupted;
  }
  const std::string result = body(probe);
  probe.close();
  try {
    out.write(result);
  } catch (const Output::Closed&) {
    throw Failure("cannot write the output: the reader closed the pipe", kExitDevice);
  }
  return kExitOk;
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

Probe openProbe(const GlobalOptions& options) {
  if (options.port.empty())
    throw Failure(
        "no port given: use --port DEVICE, such as --port /dev/ttyUSB0, or --port auto\n"
        "  'velprobe ports' lists the serial ports.",
        kExitUsage);
  return Probe(options.port == "auto" ? findProbePort(options.model, options.timeoutMs) : options.port,
               options.model, options.timeoutMs);
}

Record identityRecord(const Identity& id) {
  return {textField("model", "Model", id.model), textField("firmware", "Firmware", id.firmware),
          textField("serial_number", "Serial number", id.serialNumber),
          textField("name", "Probe name", id.name),
          textField("calibration_date", "Calibration date", id.calibrationDate)};
}

Record readingRecord(const Reading& r, bool clockOnly) {
  Record record = {timeField("time", "Time", r.time, clockOnly),
                   floatField("battery_V", "Battery", "V", r.battery, 2),
                   floatField("temperature_C", "Temperature", "°C", r.temperature, 2)};
  std::vector<std::string> overRange;
  auto field = [&](const char* key, const char* label, float value, bool over) {
    record.push_back(over ? overRangeField(key, label, "") : floatField(key, label, "", value, 3));
    if (over) overRange.emplace_back(key);
  };
  field("total_field", "Total field", r.totalField, r.totalOverRange);
  // The library withholds all three axes when one is over range.
  for (int i = 0; i < 3; ++i)
    field(("axis" + std::to_string(i + 1)).c_str(), ("Axis " + std::to_string(i + 1)).c_str(), r.axis[i],
          r.axisOverRange);
  if (!overRange.empty()) {
    std::string names;
    for (const auto& name : overRange) names += (names.empty() ? "" : " ") + name;
    record.push_back(noteField("over_range", "", overRange, names));
  }
  return record;
}

void addInfoCommand(CommandLine& commandLine) {
  commandLine.add("info", "the probe's identity", [](const GlobalOptions& o, Output& out) {
    return runOnProbe(o, out,
                      [&](Probe& probe) { return renderRecord(o.format, identityRecord(probe.identity())); });
  });
}

void addReadCommand(CommandLine& commandLine) {
  commandLine.add("read", "one reading of every value", [](const GlobalOptions& o, Output& out) {
    return runOnProbe(
        o, out, [&](Probe& probe) { return renderRecord(o.format, readingRecord(probe.read(), false)); });
  });
}

void addSettingCommands(CommandLine& commandLine) {
  auto hundredths = std::make_shared<int32_t>();
  commandLine
      .add("set-frequency", "set the measuring frequency, 0 to 99999.99",
           [hundredths](const GlobalOptions& o, Output& out) {
             return runOnProbe(o, out, [&](Probe& probe) {
               probe.setFrequency(*hundredths);
               const Field frequency = scaledField("frequency", "Frequency", "", *hundredths, 2);
               if (o.format == Format::Text)
                 return "Frequency set to " + frequency.text + " (" + std::to_string(*hundredths) +
                        " hundredths), confirmed by the probe.\n";
               return renderRecord(o.format, {frequency, integerField("frequency_hundredths", "Hundredths",
                                                                      "", *hundredths)});
             });
           })
      .add_option("VALUE", *hundredths, "the frequency, such as 1.23")
      ->required()
      ->transform(frequencyHundredths());

  auto filter = std::make_shared<int32_t>();
  commandLine
      .add("set-filter", "set the filter, 0 to 7",
           [filter](const GlobalOptions& o, Output& out) {
             return runOnProbe(o, out, [&](Probe& probe) {
               probe.setFilter(*filter);
               return o.format == Format::Text
                          ? "Filter set to " + std::to_string(*filter) + ".\n"
                          : renderRecord(o.format, {integerField("filter", "Filter", "", *filter)});
             });
           })
      .add_option("N", *filter, "the filter")
      ->required()
      ->transform(scaledDecimal("the filter is a whole number from 0 to 7, not ", 0, 0, 7));

  auto seconds = std::make_shared<int32_t>();
  commandLine
      .add("set-auto-off", "set the switch-off time, 0 to 10800 s",
           [seconds](const GlobalOptions& o, Output& out) {
             return runOnProbe(o, out, [&](Probe& probe) {
               probe.setAutoOffTime(*seconds);
               return o.format == Format::Text
                          ? "Automatic switch-off time set to " + std::to_string(*seconds) + " s.\n"
                          : renderRecord(o.format,
                                         {integerField("auto_off_s", "Switch-off time", "s", *seconds)});
             });
           })
      .add_option("SECONDS", *seconds, "the switch-off time")
      ->required()
      ->transform(scaledDecimal("the switch-off time is a whole number from 0 to 10800, not ", 0, 0, 10800));
}

// serve parses its own options (several --port); main hands it the command
// line. Registered here for the list of commands.
void addServeCommand(CommandLine& commandLine) {
  commandLine.add("serve", "probes served over HTTP: live page, Prometheus metrics",
                  [](const GlobalOptions&, Output&) -> int { throw Failure("serve takes its own options", kExitUsage); });
}

void addCommands(CommandLine& commandLine) {
  addPortsCommand(commandLine);
  addInfoCommand(commandLine);
  addReadCommand(commandLine);
  addWatchCommand(commandLine);
  addSettingCommands(commandLine);
  addServeCommand(commandLine);
}

}  // namespace velprobe
