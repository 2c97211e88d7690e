#include "serve.h"

#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <set>
#include <sstream>

#include "../command_line.h"
#include "../interrupt.h"
#include "../ports.h"
#include "../probe.h"
#include "http.h"
#include "monitor.h"
#include "probe_reader.h"
#include "site.h"

#ifndef VELPROBE_CHART_JS
#define VELPROBE_CHART_JS "/usr/share/javascript/chart.js/chart.min.js"
#endif

namespace velprobe::serve {

const char* const kServeHelp = R"(
Serves over HTTP (read-only; nothing served changes a probe):
  /                 a live page: values, identity and state of each probe, and
                    charts of the last hour (Chart.js from libjs-chart.js)
  /metrics          Prometheus text format: kv210_up, kv210_probe_info,
                    kv210_battery_volts, kv210_temperature_celsius,
                    kv210_total_field, kv210_axis_field{axis="1".."3"},
                    kv210_readings_total, kv210_over_range_readings_total,
                    kv210_reading_failures_total{code}, and
                    kv210_last_reading_timestamp_seconds; every series carries
                    the labels port and serial. A value above the probe's field
                    limit, and every value of a probe that is down, is left out.
  /api/probes       state and identity of each probe, as JSON
  /api/readings     the kept readings as JSON, named as by 'watch --json';
                    ?since=TIME (ISO 8601 UTC or seconds since the epoch) and
                    ?after=N (the "next" of an earlier answer) select the newer;
                    at most 10000 an answer, "more": true when newer ones wait
Each probe is read by a thread of its own with its own connection, time-out and
field limit, all in one process. A probe that stops answering, or whose adapter
is unplugged, shows as down and is opened again every few seconds; so is one
whose reading does not end in the time the reply time-out allows. The first
line on standard output is the address to open on this machine (the loopback
address when serve listens on every interface). Ctrl-C or SIGTERM stops it at
once, also in the middle of a long --timeout; every port is closed. Other
methods than GET and HEAD, request bodies, and a Host header that names neither
an IP address, localhost, this machine nor an --allow-host name are refused.
No TLS, no passwords: on an untrusted network put a reverse proxy in front.

Examples:
  velprobe serve --port /dev/ttyUSB0
  velprobe serve --port auto
  velprobe serve -p /dev/ttyUSB0 -p /dev/ttyUSB1 --listen 0.0.0.0:9210 -i 5
)";

namespace {

std::mutex logMutex;

void log(const std::string& line) {
  std::lock_guard lock(logMutex);
  std::fprintf(stderr, "velprobe: %s\n", line.c_str());
  std::fflush(stderr);
}

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return file ? text.str() : std::string();
}

struct Settings {
  std::vector<std::string> ports;
  std::string listen = "127.0.0.1:9210";
  std::string interval = "1";
  std::size_t keep = 86400;
  std::string model = "KV21";
  std::optional<int32_t> timeoutMs;
  std::vector<std::string> allowHosts;
};

std::string machineName() {
  char name[256] = {};
  return ::gethostname(name, sizeof name - 1) == 0 ? name : "";
}

// Host names that requests may give besides IP addresses and localhost: the
// machine's own name, the one given to --listen and those allowed by hand.
std::vector<std::string> hostNames(const Settings& s, const Endpoint& endpoint) {
  std::vector<std::string> names = s.allowHosts;
  if (const std::string name = machineName(); !name.empty()) names.push_back(name);
  names.push_back(endpoint.host);
  return names;
}

std::string url(const std::string& host, int port) {
  return "http://" + (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port) +
         "/";
}

// How long stopping waits for a reader before it says what that one waits for.
constexpr auto kStopGrace = std::chrono::milliseconds(1500);
constexpr auto kStopLimit = std::chrono::seconds(10);

int serve(const Settings& s, std::chrono::milliseconds interval, const Endpoint& endpoint) {
  ::signal(SIGPIPE, SIG_IGN);
  // Bound before any probe is opened: an address in use ends the start here.
  std::optional<Listener> listener;
  try {
    listener.emplace(endpoint);
  } catch (const std::exception& e) {
    log(e.what());
    return kExitDevice;
  }
  const int port = listener->port();
  const bool everyInterface = listener->everyInterface(), loopback = listener->loopback();
  const bool ipv6 = listener->address().find(':') != std::string::npos;

  std::vector<std::string> ports = s.ports;
  if (ports == std::vector<std::string>{"auto"}) {
    // As the other commands find it, and stoppable as they are while they look.
    installStopHandlers();
    try {
      ports = {findProbePort(s.model, s.timeoutMs)};
    } catch (const Failure& e) {
      log(e.what());
      return e.exitStatus();
    }
  }
  // From here the stop signals are taken by sigtimedwait below; every thread
  // started from here on inherits the block.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stopSignals, signal);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  if (stopRequested()) return kExitInterrupted;

  Monitor monitor(ports, s.keep);
  std::string chart = readFile(VELPROBE_CHART_JS);
  if (chart.empty())
    log(std::string("no charts on the page: cannot read ") + VELPROBE_CHART_JS + " (Debian package libjs-chart.js)");
  const Site site(monitor, {std::move(chart), static_cast<double>(interval.count()) / 1000.0,
                            hostNames(s, endpoint)});
  std::optional<HttpServer> http;
  try {
    http.emplace(std::move(*listener), [&site](const HttpRequest& request) { return site.handle(request); });
  } catch (const std::exception& e) {
    log(e.what());
    return kExitDevice;
  }
  std::vector<std::unique_ptr<ProbeReader>> readers;
  for (std::size_t i = 0; i < ports.size(); ++i)
    readers.push_back(std::make_unique<ProbeReader>(i, ReaderOptions{ports[i], s.model, s.timeoutMs, interval},
                                                    monitor, log));

  // 0.0.0.0 and :: are no address to open: this machine's name for other
  // machines, and the loopback address here (and on standard output, for scripts).
  const std::string here = url(everyInterface ? (ipv6 ? "::1" : "127.0.0.1") : endpoint.host, port);
  const std::string name = everyInterface ? machineName() : std::string();
  const std::string there = name.empty() ? here : url(name, port);
  std::printf("%s\n", here.c_str());
  std::fflush(stdout);
  log("serving " + std::to_string(ports.size()) + (ports.size() == 1 ? " probe" : " probes") + " on " + there +
      (there != here ? " and " + here : "") + " (metrics at " + there + "metrics); Ctrl-C stops");
  if (everyInterface || !loopback)
    log(std::string("serving ") + (everyInterface ? "every network interface of this machine" : "the network") +
        ", without authentication: anyone who reaches port " + std::to_string(port) +
        " can read the probes (read-only; for TLS and passwords put a reverse proxy in front)");
  for (auto& reader : readers) reader->start();

  // Until a stop signal: a look every quarter second for readings that did not end in time.
  int signal = 0;
  const timespec quarter{0, 250'000'000};
  while ((signal = sigtimedwait(&stopSignals, nullptr, &quarter)) < 0) {
    const auto now = ProbeReader::Clock::now();
    for (auto& reader : readers) reader->watch(now);
  }
  log(std::string("stopping (") + ::strsignal(signal) + "): closing the ports");
  http.reset();  // no request reads the monitor from here on
  const auto started = ProbeReader::Clock::now();
  for (auto& reader : readers) reader->stop(ProbeReader::Clock::time_point::min());
  bool ended = true;
  for (std::size_t i = 0; i < readers.size(); ++i) {
    if (readers[i]->stop(started + kStopGrace)) continue;
    log("still waiting for " + ports[i] + ": " + readers[i]->doing());
    ended = readers[i]->stop(started + kStopLimit) && ended;
  }
  if (!ended) {
    // A thread that a system call holds cannot be ended: its port closes with the process.
    log("giving up waiting; the ports left are closed as the process ends");
    std::fflush(nullptr);
    std::_Exit(kExitOk);
  }
  return kExitOk;
}

}  // namespace

int run(int argc, char** argv) {
  Settings s;
  CLI::App app{"velprobe serve - KV210 probes watched from a browser and from Prometheus", "velprobe serve"};
  app.footer(kServeHelp);
  // Each option shows its type alone; range and default are in its text, as in velprobe's own help.
  app.add_option("-p,--port", s.ports,
                 "serial port of a probe, or auto: the one port where a probe answers; repeat it for more probes")
      ->required()
      ->option_text("DEVICE");
  app.add_option("-l,--listen", s.listen,
                 "address and TCP port to serve on (127.0.0.1:9210); 0.0.0.0:9210 serves the network")
      ->option_text("HOST:PORT");
  app.add_option("-i,--interval", s.interval,
                 "seconds between reading sets, 0 to 86400, up to 3 decimals (1); "
                 "0: as fast as the line allows")
      ->option_text("SECONDS");
  app.add_option("-k,--keep", s.keep, "readings kept per probe, 1 to 10000000 (86400: a day at 1 s)")
      ->check(CLI::Range(std::size_t{1}, std::size_t{10'000'000}))
      ->option_text("N");
  app.add_option("-m,--model", s.model, "the probes' model; its first 4 characters are compared (KV21)")
      ->transform(modelPrefix())
      ->option_text("TEXT");
  app.add_option("-t,--timeout", s.timeoutMs, "reply time-out, 1 to 3600000 ms (500)")
      ->check(CLI::Range(1, 3600000))
      ->option_text("MS");
  app.add_option("--allow-host", s.allowHosts,
                 "a host name that requests may give (Host header) besides IP addresses, localhost and this "
                 "machine's name; repeat it for more")
      ->option_text("NAME");

  std::chrono::milliseconds interval{};
  Endpoint endpoint;
  try {
    app.parse(argc, argv);
    const auto intervalMs = parseScaledDecimal(s.interval, 3, 86'400'000);
    if (!intervalMs)
      throw CLI::ValidationError("--interval",
                                 "takes seconds from 0 to 86400 with at most 3 decimals, not '" + s.interval + "'");
    if (std::set<std::string>(s.ports.begin(), s.ports.end()).size() != s.ports.size())
      throw CLI::ValidationError("--port", "a port is given twice");
    if (s.ports.size() > 1 && std::count(s.ports.begin(), s.ports.end(), "auto"))
      throw CLI::ValidationError("--port", "auto finds one probe; name every port to serve more");
    try {
      endpoint = parseEndpoint(s.listen);
    } catch (const std::invalid_argument& e) {
      throw CLI::ValidationError("--listen", std::string(e.what()) + ", not '" + s.listen + "'");
    }
    interval = std::chrono::milliseconds(*intervalMs);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) {
      std::cout << app.help();
      return kExitOk;
    }
    std::fprintf(stderr, "velprobe serve: %s\nTry 'velprobe serve --help' for more information.\n", e.what());
    return kExitUsage;
  }
  return serve(s, interval, endpoint);
}

}  // namespace velprobe::serve
