#include "monitor.h"

#include <VEL_KV21X.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <ctime>
#include <stdexcept>

#include "../format.h"
#include "../probe.h"
#include "exposition.h"

namespace velprobe::serve {
namespace {

constexpr float kNone = std::numeric_limits<float>::quiet_NaN();

// The reading names of `velprobe watch --json`, in the order of Sample::values.
constexpr const char* kValueKeys[6] = {"battery_V", "temperature_C", "total_field", "axis1", "axis2", "axis3"};

// Sample::call indexes this; 0 is no call. The library's names of the
// commands, which the core's connection shares; "reading" for a set that
// did not end in time.
constexpr const char* kCalls[] = {"",
                                  "VEL_CreateProbe",
                                  "VEL_SerialNumber",
                                  "VEL_ReadBattery",
                                  "VEL_ReadTemperature",
                                  "VEL_ReadTotalField",
                                  "VEL_ReadAxisField",
                                  "reading"};
constexpr uint8_t kStalledCall = 7;

const char* stateName(ProbeState state) {
  switch (state) {
    case ProbeState::Starting: return "starting";
    case ProbeState::Reading: return "reading";
    case ProbeState::OverRange: return "over range";
    case ProbeState::InvalidValue: return "invalid value";
    case ProbeState::Down: return "down";
  }
  return "";
}

// A probe that answered its last reading set.
bool answering(ProbeState state) {
  return state == ProbeState::Reading || state == ProbeState::OverRange || state == ProbeState::InvalidValue;
}

void appendFloat(std::string& out, float value) {
  char buffer[32];
  out.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
}

}  // namespace

Millis nowMillis() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string isoTime(Millis time) {
  const std::time_t seconds = static_cast<std::time_t>(time / 1000 - (time % 1000 < 0 ? 1 : 0));
  std::tm utc{};
  ::gmtime_r(&seconds, &utc);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(((time % 1000) + 1000) % 1000));
  return text;
}

std::optional<Millis> parseIsoTime(std::string_view text) {
  std::tm tm{};
  int ms = 0, used = 0;
  const std::string s(text);
  const int fields = std::sscanf(s.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n.%3d%n", &tm.tm_year, &tm.tm_mon,
                                 &tm.tm_mday, &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &used, &ms, &used);
  if (fields < 6 || used + 1 != static_cast<int>(s.size()) || s.back() != 'Z') return std::nullopt;
  if (tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 ||
      tm.tm_min > 59 || tm.tm_sec > 60)
    return std::nullopt;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  return static_cast<Millis>(::timegm(&tm)) * 1000 + ms;
}

Ring::Ring(std::size_t capacity) : capacity_(std::max<std::size_t>(capacity, 1)) { items_.reserve(capacity_); }

void Ring::push(const Sample& sample) {
  if (items_.size() < capacity_) {
    items_.push_back(sample);
    return;
  }
  items_[head_] = sample;
  head_ = (head_ + 1) % capacity_;
}

Monitor::Monitor(std::vector<std::string> ports, std::size_t keep) {
  const Millis now = nowMillis();
  for (auto& port : ports) probes_.push_back(Probe{std::move(port), {}, {}, now, {}, {}, 0, 0, 0, {}, Ring(keep)});
}

std::string Monitor::enter(Probe& probe, ProbeState state, Millis time, std::string message) {
  const bool changed = probe.state != state || (state == ProbeState::Down && probe.message != message);
  if (probe.state != state) probe.since = time;
  probe.state = state;
  probe.message = std::move(message);
  if (!changed) return {};
  std::string line = probe.port + ": " + stateName(state);
  if (state == ProbeState::Down) line += ": " + probe.message;
  if (state == ProbeState::Reading && probe.identity)
    line += " (serial number " + escapeText(probe.identity->serialNumber) + ")";
  return line;
}

uint8_t Monitor::callNumber(std::string_view name) {
  for (uint8_t i = 1; i < std::size(kCalls); ++i)
    if (name == kCalls[i]) return i;
  return 0;
}

void Monitor::opened(std::size_t index, Identity identity) {
  std::lock_guard lock(mutex_);
  Probe& probe = probes_.at(index);
  // Another probe on this port: its counters start from zero.
  if (probe.identity && probe.identity->serialNumber != identity.serialNumber) {
    probe.readings = probe.overRange = 0;
    probe.failures.clear();
  }
  probe.identity = std::move(identity);
}

std::string Monitor::record(std::size_t index, Sample sample, const std::string& message) {
  std::lock_guard lock(mutex_);
  Probe& probe = probes_.at(index);
  sample.seq = nextSeq_++;
  probe.ring.push(sample);
  probe.last = sample;
  if (sample.code == 0) {
    ++probe.readings;
    if (sample.overRange) {
      ++probe.overRange;
      return enter(probe, ProbeState::OverRange, sample.time, {});
    }
    probe.lastGood = sample.time;
    return enter(probe, ProbeState::Reading, sample.time, {});
  }
  ++probe.failures[sample.code];
  if (sample.code == VEL_INVALID_VALUE) return enter(probe, ProbeState::InvalidValue, sample.time, {});
  return enter(probe, ProbeState::Down, sample.time,
               message.empty() ? callFailed(kCalls[sample.call], sample.code) : message);
}

std::string Monitor::stalled(std::size_t index, Millis now, const std::string& why) {
  std::lock_guard lock(mutex_);
  Probe& probe = probes_.at(index);
  Sample sample;
  sample.time = now;
  sample.seq = nextSeq_++;
  std::fill(std::begin(sample.values), std::end(sample.values), kNone);
  sample.code = kStalled;  // not a result code of the library: not counted as one
  sample.call = kStalledCall;
  probe.ring.push(sample);
  probe.last = sample;
  return enter(probe, ProbeState::Down, now, why);
}

std::vector<Monitor::ProbeView> Monitor::views() const {
  std::lock_guard lock(mutex_);
  std::vector<ProbeView> out;
  out.reserve(probes_.size());
  for (const Probe& p : probes_)
    out.push_back({p.port, p.identity, p.state, p.since, p.message, p.last, p.lastGood, p.readings, p.overRange,
                   p.failures});
  return out;
}

std::string Monitor::metrics() const {
  using Type = Exposition::Type;
  const std::vector<ProbeView> probes = views();
  Exposition e;
  e.family("kv210_up", Type::Gauge, "1 while the probe answers its readings, 0 while it is down or being opened.");
  e.family("kv210_probe_info", Type::Gauge, "Identity of the probe; always 1.");
  e.family("kv210_battery_volts", Type::Gauge, "Battery voltage of the probe.");
  e.family("kv210_temperature_celsius", Type::Gauge, "Temperature of the probe.");
  e.family("kv210_total_field", Type::Gauge, "Total field, in the probe's field unit.");
  e.family("kv210_axis_field", Type::Gauge, "Field along one axis, in the probe's field unit.");
  e.family("kv210_readings_total", Type::Counter,
           "Reading sets the probe answered in full (values above its field limit included).");
  e.family("kv210_over_range_readings_total", Type::Counter,
           "Reading sets with a field value above the probe's field limit.");
  e.family("kv210_reading_failures_total", Type::Counter,
           "Failed reading sets and openings, by the library's result code.");
  e.family("kv210_last_reading_timestamp_seconds", Type::Gauge,
           "Time of the last complete reading set within the field limit, in seconds since the epoch.");

  static constexpr const char* kAxes[] = {"1", "2", "3"};
  for (const ProbeView& p : probes) {
    // Probe texts as velprobe shows them: printable ASCII, other bytes as \xNN.
    const std::string port = escapeText(p.port);
    const std::string serial = p.identity ? escapeText(p.identity->serialNumber) : std::string();
    const Exposition::Labels labels = {{"port", port}, {"serial", serial}};
    e.add("kv210_up", labels, uint64_t{answering(p.state) ? 1u : 0u});
    if (p.identity) {
      const std::string firmware = escapeText(p.identity->firmware), name = escapeText(p.identity->name),
                        model = escapeText(p.identity->model), date = escapeText(p.identity->calibrationDate);
      e.add("kv210_probe_info",
            {{"port", port}, {"serial", serial}, {"firmware", firmware}, {"name", name}, {"model", model},
             {"calibration_date", date}},
            uint64_t{1});
    }
    // Values of the last reading set, only those it delivered: a value above
    // the probe's limit and one not read are NaN and withheld, and a probe
    // that is down shows none, rather than a number they are not.
    if (answering(p.state) && p.last) {
      const float* v = p.last->values;
      e.add("kv210_battery_volts", labels, v[0]);
      e.add("kv210_temperature_celsius", labels, v[1]);
      e.add("kv210_total_field", labels, v[2]);
      for (int axis = 0; axis < 3; ++axis)
        e.add("kv210_axis_field", {{"port", port}, {"serial", serial}, {"axis", kAxes[axis]}}, v[3 + axis]);
    }
    e.add("kv210_readings_total", labels, p.readings);
    e.add("kv210_over_range_readings_total", labels, p.overRange);
    for (const auto& [code, count] : p.failures) {
      const std::string codeText = std::to_string(code);
      e.add("kv210_reading_failures_total", {{"port", port}, {"serial", serial}, {"code", codeText}}, count);
    }
    if (p.lastGood != 0)
      e.add("kv210_last_reading_timestamp_seconds", labels, static_cast<double>(p.lastGood) / 1000.0);
  }
  return e.text();
}

namespace {

void sampleJson(std::string& out, const std::string& port, const Sample& s) {
  out += "{\"seq\":" + std::to_string(s.seq) + ",\"port\":" + jsonString(port) + ",\"time\":\"" + isoTime(s.time) +
         "\"";
  for (int i = 0; i < 6; ++i) {
    out += ",\"";
    out += kValueKeys[i];
    out += "\":";
    if (std::isnan(s.values[i]))
      out += "null";
    else
      appendFloat(out, s.values[i]);
  }
  // As velprobe watch --json writes them: the names of the values withheld,
  // and a failure's code with a note.
  if (s.overRange) {
    out += ",\"over_range\":[";
    for (int i = 0, n = 0; i < 6; ++i)
      if (s.overRange & (1u << i)) out += std::string(n++ ? "," : "") + "\"" + kValueKeys[i] + "\"";
    out += "]";
  }
  if (s.code != 0) {
    const std::string note = s.code == kStalled ? "the reading did not end in time"
                                                    : std::string(kCalls[s.call]) + " returned " +
                                                          std::to_string(s.code) + " (" + describe(s.code).name + ")";
    out += ",\"error\":" + std::to_string(s.code) + ",\"note\":" + jsonString(note) + ",\"call\":\"" +
           kCalls[s.call] + "\"";
  }
  out += "}";
}

}  // namespace

std::string Monitor::probesJson(Millis now) const {
  const std::vector<ProbeView> probes = views();
  std::string out = "{\"now\":\"" + isoTime(now) + "\",\"probes\":[";
  for (const ProbeView& p : probes) {
    if (&p != &probes.front()) out += ",";
    out += "{\"port\":" + jsonString(p.port) + ",\"state\":\"" + stateName(p.state) + "\",\"since\":\"" +
           isoTime(p.since) + "\",\"message\":" + jsonString(p.message) + ",\"identity\":";
    if (p.identity)
      out += "{\"firmware\":" + jsonString(p.identity->firmware) +
             ",\"serial_number\":" + jsonString(p.identity->serialNumber) +
             ",\"name\":" + jsonString(p.identity->name) + ",\"model\":" + jsonString(p.identity->model) +
             ",\"calibration_date\":" + jsonString(p.identity->calibrationDate) + "}";
    else
      out += "null";
    out += ",\"last\":";
    if (p.last)
      sampleJson(out, p.port, *p.last);
    else
      out += "null";
    out += ",\"last_good\":" + (p.lastGood ? "\"" + isoTime(p.lastGood) + "\"" : std::string("null")) + "}";
  }
  return out + "]}";
}

std::string Monitor::readingsJson(uint64_t after, Millis since, std::size_t limit) const {
  limit = std::max<std::size_t>(limit, 1);
  std::vector<std::pair<Sample, std::size_t>> picked;  // copies, with the index of their probe
  std::vector<std::string> ports;
  uint64_t next = 0;
  bool more = false;
  {
    std::lock_guard lock(mutex_);
    // Each ring holds its samples in order of seq, and of time unless the
    // clock was set back: both starting points are found by bisection, and
    // the oldest `limit` of all rings taken by merging them.
    std::vector<std::size_t> from(probes_.size());
    for (std::size_t i = 0; i < probes_.size(); ++i) {
      const Ring& ring = probes_[i].ring;
      auto firstWhere = [&](auto wanted) {
        std::size_t low = 0, high = ring.size();
        while (low < high) {
          const std::size_t mid = low + (high - low) / 2;
          if (wanted(ring.at(mid)))
            high = mid;
          else
            low = mid + 1;
        }
        return low;
      };
      from[i] = std::max(firstWhere([&](const Sample& s) { return s.seq > after; }),
                         firstWhere([&](const Sample& s) { return s.time >= since; }));
      ports.push_back(probes_[i].port);
    }
    picked.reserve(std::min<std::size_t>(limit, 4096));
    for (;;) {
      std::size_t oldest = probes_.size();
      for (std::size_t i = 0; i < probes_.size(); ++i) {
        const Ring& ring = probes_[i].ring;
        while (from[i] < ring.size() && ring.at(from[i]).time < since) ++from[i];
        if (from[i] < ring.size() &&
            (oldest == probes_.size() || ring.at(from[i]).seq < probes_[oldest].ring.at(from[oldest]).seq))
          oldest = i;
      }
      if (oldest == probes_.size()) break;
      if (picked.size() == limit) {
        more = true;
        break;
      }
      picked.emplace_back(probes_[oldest].ring.at(from[oldest]++), oldest);
    }
    next = more ? picked.back().first.seq : nextSeq_ - 1;
  }
  std::string out = "{\"next\":" + std::to_string(next) + ",\"more\":" + (more ? "true" : "false") + ",\"readings\":[";
  out.reserve(out.size() + picked.size() * 200);
  for (std::size_t i = 0; i < picked.size(); ++i) {
    if (i) out += ",";
    sampleJson(out, ports[picked[i].second], picked[i].first);
  }
  return out + "]}";
}

}  // namespace velprobe::serve
