// The readers of `velprobe serve`: one thread per probe, each with a
// connection of its own (its own reply time-out, data block and field limit),
// reporting to the Monitor. A probe that fails is closed and opened again at
// once, then every few seconds; one whose reading does not end in the time
// the reply time-out allows is shown down and its connection abandoned.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "connection.h"
#include "monitor.h"

namespace velprobe::serve {

struct ReaderOptions {
  std::string port;
  std::string model = "KV21";
  std::optional<int32_t> timeoutMs;  // unset: 500 ms
  std::chrono::milliseconds interval{1000};
};

// The longest one reading set (battery, temperature, total field, axes) may
// take under the reply time-out: per call the whole seconds the time-out
// lets it wait and the read running when they end, and the draining of a
// late reply. `openingToo` adds the opening and the serial number.
std::chrono::milliseconds readingBudget(std::optional<int32_t> timeoutMs, bool openingToo);

class ProbeReader {
 public:
  using Log = std::function<void(const std::string&)>;
  using Clock = std::chrono::steady_clock;

  ProbeReader(std::size_t index, ReaderOptions options, Monitor& monitor, Log log);
  ~ProbeReader();  // stop(), waiting as long as it takes
  ProbeReader(const ProbeReader&) = delete;
  ProbeReader& operator=(const ProbeReader&) = delete;

  void start();
  // Asks the thread to end and cancels its wait; true once it has ended
  // (its port closed) by `deadline`. Otherwise it is left to end by itself.
  bool stop(Clock::time_point deadline);
  // When the step running now should have ended by `now`: the probe is
  // shown down and its connection abandoned, and it is opened again.
  void watch(Clock::time_point now);
  // What the thread is doing, for a word on stopping.
  std::string doing() const;

 private:
  void run();
  bool readSet(vel::Connection& connection);
  bool openProbe(vel::Connection& connection);
  void report(Sample sample, const std::string& message = {});
  void expectBy(Clock::time_point deadline, const char* doing);
  void useConnection(vel::Connection* connection);

  const std::size_t index_;
  const ReaderOptions options_;
  Monitor& monitor_;
  Log log_;
  vel::port::Interrupt stopping_;  // ends the sleeps between sets, and the thread

  mutable std::mutex mutex_;  // guards connection_ and doing_
  vel::Connection* connection_ = nullptr;
  const char* doing_ = "starting";
  std::atomic<int64_t> deadline_{INT64_MAX};  // Clock ticks by which the running step ends
  std::atomic<bool> stalled_{false};

  std::thread thread_;
  std::future<void> ended_;
};

}  // namespace velprobe::serve
