// The reader process of `velprobe serve`: one probe, read in a process of its
// own, because the library keeps one data block (with the field limit) and
// one time-out for the whole process. It prints one JSON line per event:
//   {"time":T,"identity":{"firmware":...,"serial_number":...,...}}   opened
//   {"time":T,"battery_V":...,...,"axis3":...}                        a reading set
// with "over_range" naming the values withheld above the probe's limit, and
// "code", "call" and "message" when a call failed (an opening, too). Values
// that were not read are null. A failed set closes the port, which is
// reopened at once and then every few seconds until the probe answers.
#include "reader.h"

#include <VEL_KV21X.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "../commands.h"
#include "../format.h"
#include "../interrupt.h"
#include "../probe.h"

namespace velprobe::serve {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kReopenDelay = std::chrono::seconds(3);
constexpr auto kSettle = std::chrono::milliseconds(250);

std::string timeJson() { return jsonCompact(timeField("time", "", std::chrono::system_clock::now(), false).json); }

std::string failureJson(int32_t code, const char* call, const std::string& message) {
  return ",\"code\":" + std::to_string(code) + ",\"call\":\"" + call + "\",\"message\":" + jsonString(message);
}

class Reader {
 public:
  Reader(const ReaderOptions& options, Output& out) : o_(options), out_(out) {}
  ~Reader() { close(); }

  void run() {
    auto next = Clock::now();
    while (!stopRequested()) {
      if (handle_ == INVALID_HANDLE_VALUE && !open()) {
        if (!sleepUntil(Clock::now() + kReopenDelay)) break;
        next = Clock::now();
        continue;
      }
      if (!readSet()) {
        // Reopened at once, so that a probe that was swapped shows its own
        // identity and limit; after a pause for the late bytes of the failed reply.
        close();
        if (!sleepUntil(Clock::now() + kSettle)) break;
        continue;
      }
      next += o_.interval;
      if (next < Clock::now()) next = Clock::now();
      if (!sleepUntil(next)) break;
    }
  }

 private:
  void close() {
    if (handle_ != INVALID_HANDLE_VALUE) VEL_RemoveProbe(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

  bool open() {
    const std::string time = timeJson();
    char expected[4] = {};
    o_.model.copy(expected, sizeof expected);
    int32_t rc = VEL_CreateProbe(expected, &handle_, o_.port.c_str());
    const char* call = "VEL_CreateProbe";
    std::string identity;
    auto text = [&](const char* key, const char* name, auto function) {
      if (rc != VEL_OK) return;
      char buffer[16];
      int32_t length = 0;
      rc = function(handle_, buffer, &length);
      if (rc != VEL_OK) {
        call = name;
        return;
      }
      identity += std::string(identity.empty() ? "" : ",") + "\"" + key +
                  "\":" + jsonString(std::string_view(buffer, static_cast<std::size_t>(std::clamp(length, 0, 16))));
    };
    text("firmware", "VEL_Firmware", VEL_Firmware);
    text("serial_number", "VEL_SerialNumber", VEL_SerialNumber);
    text("name", "VEL_ProbeName", VEL_ProbeName);
    text("model", "VEL_Model", VEL_Model);
    text("calibration_date", "VEL_CalibrationDate", VEL_CalibrationDate);
    if (rc != VEL_OK) {
      close();
      const std::string why = rc == VEL_TIMEOUT ? "no probe answers" : "cannot open the probe";
      out_.write("{\"time\":" + time + failureJson(rc, call, why + " (" + callFailed(call, rc) + ")") + "}\n");
      return false;
    }
    out_.write("{\"time\":" + time + ",\"identity\":{" + identity + "}}\n");
    return true;
  }

  // One set: battery, temperature, total field, axes. False when the probe
  // or the port failed; a value above the limit or an invalid value is a
  // reading of its own and the set goes on.
  bool readSet() {
    std::string row = "{\"time\":" + timeJson(), failure;
    std::vector<std::string> overRange;
    bool lost = false;
    auto put = [&](const char* key, const float* v) {
      row += ",\"" + std::string(key) + "\":" + (v ? jsonCompact(jsonFloat(*v)) : "null");
    };
    // Runs one call unless the set is lost already; true when it gave its
    // values. `withheld`: what a value above the limit keeps back.
    auto call = [&](const char* name, auto&& function, std::vector<std::string> withheld = {}) {
      if (lost) return false;
      const int32_t rc = function();
      if (rc == VEL_ABOVE_LIMIT) {
        overRange.insert(overRange.end(), withheld.begin(), withheld.end());
      } else if (rc != VEL_OK) {
        if (failure.empty()) failure = failureJson(rc, name, callFailed(name, rc));
        lost = rc != VEL_INVALID_VALUE;
      }
      return rc == VEL_OK;
    };
    float battery = 0, temperature = 0, total = 0, axis[3] = {};
    put("battery_V", call("VEL_ReadBattery", [&] { return VEL_ReadBattery(handle_, &battery); }) ? &battery : nullptr);
    put("temperature_C",
        call("VEL_ReadTemperature", [&] { return VEL_ReadTemperature(handle_, &temperature); }) ? &temperature
                                                                                                : nullptr);
    put("total_field",
        call("VEL_ReadTotalField", [&] { return VEL_ReadTotalField(handle_, &total); }, {"total_field"}) ? &total
                                                                                                         : nullptr);
    // The library withholds all three axes when one lies above the limit.
    const bool axes = call("VEL_ReadAxisField", [&] { return VEL_ReadAxisField(handle_, &axis[0], &axis[1], &axis[2]); },
                           {"axis1", "axis2", "axis3"});
    for (int i = 0; i < 3; ++i) put(("axis" + std::to_string(i + 1)).c_str(), axes ? &axis[i] : nullptr);
    if (!overRange.empty()) row += ",\"over_range\":" + jsonCompact(overRange);
    out_.write(row + failure + "}\n");
    return !lost;
  }

  const ReaderOptions& o_;
  Output& out_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

}  // namespace

int runReader(const ReaderOptions& options) {
  installStopHandlers();
  if (options.timeoutMs) VEL_SetTimeout(*options.timeoutMs);
  Output out(stdout);
  try {
    Reader(options, out).run();
  } catch (const Output::Closed&) {
    // The server went away; the port is closed on the way out.
  }
  return kExitOk;
}

}  // namespace velprobe::serve
