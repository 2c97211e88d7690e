#include "probe_reader.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "../probe.h"
#include "port_ownership.h"

namespace velprobe::serve {
namespace {

using Clock = ProbeReader::Clock;
using std::chrono::milliseconds;

constexpr auto kReopenDelay = std::chrono::seconds(3);
constexpr auto kSettle = milliseconds(250);  // for the late bytes of a failed reply
constexpr auto kMargin = std::chrono::seconds(1);
constexpr float kNone = std::numeric_limits<float>::quiet_NaN();

// One call under the time-out rule: the whole seconds it may wait, the read
// running when they are over (50 ms a byte + 50 ms) and the write of its
// frame (10 ms a byte + 50 ms).
milliseconds callBudget(std::optional<int32_t> timeoutMs, std::size_t replyBytes) {
  const double seconds = std::max(0.0, std::ceil(static_cast<double>(timeoutMs.value_or(500)) / 1000.0));
  return milliseconds(static_cast<int64_t>(seconds * 1000) + 50 * static_cast<int64_t>(replyBytes) + 50 + 110);
}
// Draining a reply's late bytes ends after a second at most.
constexpr milliseconds kDrain{1000};

Sample emptySample() {
  Sample sample;
  sample.time = nowMillis();
  std::fill(std::begin(sample.values), std::end(sample.values), kNone);
  return sample;
}

}  // namespace

milliseconds readingBudget(std::optional<int32_t> timeoutMs, bool openingToo) {
  // A failed call ends the set, after one drain at most; an opening drains
  // the data block's rest and the serial number's.
  milliseconds budget = kDrain;
  for (std::size_t reply : {3, 3, 5, 13}) budget += callBudget(timeoutMs, reply);
  if (openingToo)
    for (std::size_t reply : {18, 382, 11}) budget += callBudget(timeoutMs, reply) + kDrain;
  return budget;
}

ProbeReader::ProbeReader(std::size_t index, ReaderOptions options, Monitor& monitor, Log log)
    : index_(index), options_(std::move(options)), monitor_(monitor), log_(std::move(log)) {}

ProbeReader::~ProbeReader() { stop(Clock::time_point::max()); }

void ProbeReader::start() {
  std::packaged_task<void()> task([this] { run(); });
  ended_ = task.get_future();
  thread_ = std::thread(std::move(task));
}

bool ProbeReader::stop(Clock::time_point deadline) {
  stopping_.raise();
  {
    std::lock_guard lock(mutex_);
    if (connection_) connection_->cancel();
  }
  if (!thread_.joinable()) return true;
  if (ended_.wait_until(deadline) != std::future_status::ready) return false;
  thread_.join();
  return true;
}

void ProbeReader::watch(Clock::time_point now) {
  if (now.time_since_epoch().count() <= deadline_ || stalled_.exchange(true)) return;
  std::lock_guard lock(mutex_);
  const std::string line = monitor_.stalled(
      index_, nowMillis(), std::string("no result in time: ") + doing_ + " did not end; opening the port again");
  if (!line.empty()) log_(line);
  if (connection_) connection_->cancel();
}

std::string ProbeReader::doing() const {
  std::lock_guard lock(mutex_);
  return doing_;
}

void ProbeReader::expectBy(Clock::time_point deadline, const char* doing) {
  std::lock_guard lock(mutex_);
  doing_ = doing;
  deadline_ = deadline.time_since_epoch().count();
}

void ProbeReader::useConnection(vel::Connection* connection) {
  std::lock_guard lock(mutex_);
  connection_ = connection;
  stalled_ = false;
  if (connection && stopping_.raised()) connection->cancel();  // stop() came first
}

void ProbeReader::report(Sample sample, const std::string& message) {
  if (const std::string line = monitor_.record(index_, sample, message); !line.empty()) log_(line);
}

void ProbeReader::run() {
  while (!stopping_.raised()) {
    vel::Connection connection;
    if (options_.timeoutMs) connection.setReplyTimeout(*options_.timeoutMs);
    connection.setStepwiseReads(true);  // many probes, each read once a second: fewer wakeups
    useConnection(&connection);
    const bool opened = openProbe(connection);
    if (opened) {
      auto next = Clock::now();
      while (readSet(connection)) {
        next = std::max(next + options_.interval, Clock::now());
        expectBy(Clock::time_point::max(), "waiting for the next reading");
        if (!stopping_.sleepUntil(next)) break;
      }
    }
    expectBy(Clock::time_point::max(), "closing the port");
    useConnection(nullptr);
    connection.close();
    // Opened again at once after a failed set, so that a probe that was
    // swapped shows its own identity and limit; every few seconds while it
    // does not open.
    expectBy(Clock::time_point::max(), "waiting to open the port again");
    if (!stopping_.sleepUntil(Clock::now() + (opened ? milliseconds(kSettle) : milliseconds(kReopenDelay)))) break;
  }
}

bool ProbeReader::openProbe(vel::Connection& connection) {
  expectBy(Clock::now() + readingBudget(options_.timeoutMs, true) + kMargin, "opening the port");
  Sample sample = emptySample();
  const char* call = "VEL_CreateProbe";
  int32_t rc = connection.open(options_.port, options_.model);
  std::string serialNumber;
  if (rc == VEL_OK) {
    call = "VEL_SerialNumber";
    rc = connection.serialNumber(serialNumber);
  }
  if (rc == vel::kCancelled) return false;  // stopping, or shown down already
  if (rc != VEL_OK) {
    sample.code = static_cast<int16_t>(rc);
    sample.call = Monitor::callNumber(call);
    std::string why = rc == VEL_TIMEOUT ? "no probe answers" : "cannot open the probe";
    if (rc == VEL_ACCESS_DENIED) why = "cannot open the port: " + vel::ownership::unavailableReason(options_.port);
    report(sample, why + " (" + callFailed(call, rc) + ")");
    return false;
  }
  const vel::VersionReply& version = connection.version();
  monitor_.opened(index_, {std::string(version.firmware()), serialNumber, connection.name(),
                           std::string(version.model()), connection.calibrationDate()});
  return true;
}

// One set: battery, temperature, total field, axes. False when the probe or
// the port failed; a value above the limit or an invalid value is a reading
// of its own and the set goes on.
bool ProbeReader::readSet(vel::Connection& connection) {
  expectBy(Clock::now() + readingBudget(options_.timeoutMs, false) + kMargin, "reading");
  Sample sample = emptySample();
  bool lost = false, cancelled = false;
  // Runs one call unless the set is lost already; `first` and `count`: the
  // values it gives, withheld above the limit.
  auto take = [&](const char* name, int first, int count, auto&& function) {
    if (lost) return;
    float values[3] = {};
    const int32_t rc = function(values);
    if (rc == VEL_OK) {
      std::copy_n(values, count, sample.values + first);
    } else if (rc == VEL_ABOVE_LIMIT) {
      for (int i = first; i < first + count; ++i) sample.overRange |= static_cast<uint8_t>(1u << i);
    } else {
      cancelled = rc == vel::kCancelled;
      if (sample.code == 0) {
        sample.code = static_cast<int16_t>(rc);
        sample.call = Monitor::callNumber(name);
      }
      lost = rc != VEL_INVALID_VALUE;
    }
  };
  take("VEL_ReadBattery", 0, 1, [&](float* v) { return connection.battery(v[0]); });
  take("VEL_ReadTemperature", 1, 1, [&](float* v) { return connection.temperature(v[0]); });
  take("VEL_ReadTotalField", 2, 1, [&](float* v) { return connection.totalField(v[0]); });
  // All three axes are withheld when one lies above the limit.
  take("VEL_ReadAxisField", 3, 3, [&](float* v) {
    std::array<float, 3> axis{};
    const int32_t rc = connection.axisField(axis);
    std::copy(axis.begin(), axis.end(), v);
    return rc;
  });
  if (!cancelled) report(sample);  // a cancelled set: stopping, or shown down already
  return !lost;
}

}  // namespace velprobe::serve
