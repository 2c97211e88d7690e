// What `velprobe serve` knows about its probes: the state of each, a bounded
// ring of its readings, and the views served over HTTP (the Prometheus
// exposition and the JSON of the API).
//
// Each probe is read by a thread of its own (probe_reader.h), which reports
// the probe's identity when it opens it and every reading set, failed ones
// too. All members are safe to call from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velprobe::serve {

using Millis = int64_t;  // milliseconds since the epoch (UTC)

Millis nowMillis();
// "2026-12-07T00:28:13.857Z"
std::string isoTime(Millis time);
// The inverse of isoTime (milliseconds optional); nullopt when malformed.
std::optional<Millis> parseIsoTime(std::string_view text);

// The code of a reading set that did not end in time (not a library result code).
inline constexpr int16_t kStalled = -1;

// One reading set, or one failed attempt to read or open the probe.
struct Sample {
  Millis time = 0;
  uint64_t seq = 0;   // order of arrival over all probes, from 1
  float values[6]{};  // battery, temperature, total field, axis 1..3; NaN when not read
  int16_t code = 0;   // result code that spoiled the set (not 15); 0 none, kStalled
  uint8_t call = 0;   // Monitor::callNumber() of the call that gave `code`
  uint8_t overRange = 0;  // bit i: values[i] withheld above the probe's field limit
};

// The last `capacity` samples of one probe, in a fixed block once full.
class Ring {
 public:
  explicit Ring(std::size_t capacity);
  void push(const Sample& sample);
  std::size_t size() const { return items_.size(); }
  // The i-th kept sample, oldest first.
  const Sample& at(std::size_t i) const { return items_[(head_ + i) % items_.size()]; }
  // Oldest first.
  template <class F>
  void forEach(F f) const {
    for (std::size_t i = 0; i < items_.size(); ++i) f(items_[(head_ + i) % items_.size()]);
  }

 private:
  std::vector<Sample> items_;
  std::size_t capacity_;
  std::size_t head_ = 0;  // oldest, once full
};

// Bytes as the probe sent them: the model and firmware of its version reply,
// its serial number, and the name and calibration date of its data block.
struct Identity {
  std::string firmware, serialNumber, name, model, calibrationDate;
};

enum class ProbeState { Starting, Reading, OverRange, InvalidValue, Down };

class Monitor {
 public:
  Monitor(std::vector<std::string> ports, std::size_t keep);

  // The number Sample::call keeps for a call's name ("VEL_ReadBattery"); 0 when unknown.
  static uint8_t callNumber(std::string_view name);

  // Probe `index` has been opened: its identity. Another serial number than
  // before starts its counters again.
  void opened(std::size_t index, Identity identity);
  // A reading set of probe `index` (code 0, values above the limit marked in
  // overRange), or a failed set or opening (code, call, and `message` for
  // people; empty: the call's failure). Returns a line for the log when the
  // probe's state changed (empty otherwise).
  std::string record(std::size_t index, Sample sample, const std::string& message = {});
  // Probe `index` gave no result in the time its reading may take: down,
  // its values withheld.
  std::string stalled(std::size_t index, Millis now, const std::string& why);

  // The views copy what they show under the lock and format it outside, so a
  // large answer never holds up the readers or another view.
  std::string metrics() const;  // Prometheus text format 0.0.4
  std::string probesJson(Millis now) const;
  // At most `limit` samples with seq > after and time >= since, oldest first,
  // with "next", the seq to ask after next time, and "more", true when the
  // limit left newer ones out.
  std::string readingsJson(uint64_t after, Millis since, std::size_t limit = kReadingsPerAnswer) const;
  static constexpr std::size_t kReadingsPerAnswer = 10'000;

 private:
  struct Probe {
    std::string port;
    std::optional<Identity> identity;
    ProbeState state = ProbeState::Starting;
    Millis since = 0;     // start of the state
    std::string message;  // why it is down, for people
    std::optional<Sample> last;
    Millis lastGood = 0;
    uint64_t readings = 0, overRange = 0;
    std::map<int, uint64_t> failures;  // by result code
    Ring ring;
  };
  std::string enter(Probe& probe, ProbeState state, Millis time, std::string message);
  // What the views show of a probe, copied under the lock (the ring stays).
  struct ProbeView {
    std::string port;
    std::optional<Identity> identity;
    ProbeState state;
    Millis since;
    std::string message;
    std::optional<Sample> last;
    Millis lastGood;
    uint64_t readings, overRange;
    std::map<int, uint64_t> failures;
  };
  std::vector<ProbeView> views() const;

  mutable std::mutex mutex_;
  std::vector<Probe> probes_;
  uint64_t nextSeq_ = 1;
};

}  // namespace velprobe::serve
