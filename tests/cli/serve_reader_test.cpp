// serve's reader thread against a misbehaving probe, port or line: each fault
// shows the probe down, with its values withheld and a message that says
// why, and the probe is read again once the fault is gone. (Stopping in the
// middle of a long wait: serve_http_test, with serve itself.)
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <kv210/simulator.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <regex>
#include <thread>

#include "monitor.h"
#include "probe_reader.h"

namespace {

using namespace std::chrono_literals;
using kv210::sim::Fault;
using kv210::sim::FaultKind;
using kv210::sim::Simulator;
using velprobe::serve::Monitor;
using velprobe::serve::ProbeReader;
using velprobe::serve::ReaderOptions;
using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::Not;

template <typename F>
bool eventually(std::chrono::milliseconds timeout, F&& done) {
  for (const auto end = std::chrono::steady_clock::now() + timeout; !done();) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

// The system's port layer, but while `stall` is set an axis read waits until
// its connection is cancelled: a read that the time-out rule cannot end.
class StallingPort final : public vel::port::Backend {
 public:
  std::atomic<bool> stall{false};
  vel::port::Handle open(const char* name, vel::port::Error& error, const vel::port::OpenOptions& options) noexcept override {
    interrupt_ = options.interrupt;
    return system_.open(name, error, options);
  }
  vel::port::Error setLine9600_8N1(vel::port::Handle h) noexcept override { return system_.setLine9600_8N1(h); }
  vel::port::Error setTimeouts(vel::port::Handle h, const vel::port::Timeouts& t) noexcept override {
    return system_.setTimeouts(h, t);
  }
  vel::port::Error purge(vel::port::Handle h) noexcept override { return system_.purge(h); }
  vel::port::Error write(vel::port::Handle h, const uint8_t* d, std::size_t n) noexcept override {
    return system_.write(h, d, n);
  }
  vel::port::Error read(vel::port::Handle h, uint8_t* b, std::size_t n, std::size_t& got) noexcept override {
    if (n != 13 || !stall) return system_.read(h, b, n, got);
    interrupt_->sleepUntil(std::chrono::steady_clock::time_point::max());
    return vel::port::kInterrupted;
  }
  vel::port::Error close(vel::port::Handle h) noexcept override { return system_.close(h); }

 private:
  vel::port::Backend& system_ = vel::port::systemBackend();
  const vel::port::Interrupt* interrupt_ = nullptr;  // one probe at a time
};

struct Row {
  const char* name;
  std::function<void(std::unique_ptr<Simulator>&)> fault, mend;
  std::string message;  // a regular expression
};

TEST(ServeReader, EachFaultShowsTheProbeDownAndItIsReadAgain) {
  StallingPort port;
  vel::port::install(&port);
  const std::string link = ::testing::TempDir() + "serve-reader-" + std::to_string(::getpid());
  auto sim = std::make_unique<Simulator>(Simulator::Options{.linkPath = link});
  auto replug = [&](std::unique_ptr<Simulator>& s) { s = std::make_unique<Simulator>(Simulator::Options{.linkPath = link}); };
  auto clear = [](std::unique_ptr<Simulator>& s) { s->clearFaults(); };
  const Row rows[] = {
      {"silence mid-reply", [](auto& s) { s->setFault("A", Fault{FaultKind::Split, '?', 5, 2000ms}); }, clear,
       "down: VEL_ReadAxisField returned 8 \\(VEL_TIMEOUT"},
      {"hang-up", [](auto& s) { s->hangUp(); }, replug, "down: VEL_Read[A-Za-z]+ returned 1[018] "},
      {"a device that is not a probe: silent",
       [](auto& s) { s->setFault("b", Fault{FaultKind::Silence}), s->setFault("v", Fault{FaultKind::Silence}); }, clear,
       "down: no probe answers \\(VEL_CreateProbe returned 8"},
      {"a device that is not a probe: another reply",
       [](auto& s) { s->setFault("b", Fault{FaultKind::WrongLetter, 'x'}), s->setFault("v", Fault{FaultKind::WrongLetter, 'x'}); },
       clear, "down: cannot open the probe \\(VEL_CreateProbe returned 4"},
      {"a read that does not end in time", [&](auto&) { port.stall = true; }, [&](auto&) { port.stall = false; },
       "down: no result in time: reading did not end; opening the port again"},
  };
  Monitor monitor({link}, 1000);
  std::vector<std::string> log;
  std::mutex logMutex;
  ProbeReader reader(0, ReaderOptions{link, "KV21", 0, 100ms}, monitor, [&](const std::string& line) {
    std::lock_guard lock(logMutex);
    log.push_back(line);
  });
  auto logged = [&](std::size_t from, const std::string& pattern) {
    std::lock_guard lock(logMutex);
    return std::any_of(log.begin() + static_cast<long>(std::min(from, log.size())), log.end(),
                       [&](const std::string& line) { return std::regex_search(line, std::regex(pattern)); });
  };
  auto lastLog = [&] {
    std::lock_guard lock(logMutex);
    return log.empty() ? std::string() : log.back();
  };
  reader.start();
  std::atomic<bool> watching{true};
  std::thread watchdog([&] {
    while (watching) reader.watch(ProbeReader::Clock::now()), std::this_thread::sleep_for(100ms);
  });
  const std::string values = "kv210_total_field{port=\"" + link + "\"";
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_TRUE(eventually(15s, [&] { return monitor.metrics().find(values) != std::string::npos; })) << lastLog();
    const std::size_t from = log.size();
    row.fault(sim);
    ASSERT_TRUE(eventually(15s, [&] { return logged(from, row.message); })) << lastLog();
    EXPECT_THAT(monitor.probesJson(0), HasSubstr("\"state\":\"down\""));
    EXPECT_THAT(monitor.metrics(), Not(HasSubstr(values))) << "values of a probe that is down";
    row.mend(sim);
  }
  EXPECT_TRUE(eventually(15s, [&] { return monitor.metrics().find(values) != std::string::npos; })) << lastLog();
  watching = false;
  watchdog.join();
  EXPECT_THAT(monitor.metrics(), Not(HasSubstr("code=\"-1\""))) << "a cancelled read counted as a failure";
  EXPECT_TRUE(reader.stop(ProbeReader::Clock::now() + 2s));
  vel::port::install(nullptr);
}

}  // namespace
