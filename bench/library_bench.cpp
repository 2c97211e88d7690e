// Library benchmark: every export that talks to the probe, and VEL_CreateProbe,
// against the simulated probe
//   - with 9600-baud pacing, as calls per second and as a fraction of what the
//     line allows for that exchange (its bytes at 1.0417 ms each, plus the
//     50 ms a read waits after a reply shorter than its capacity);
//   - without pacing, as the library's own wall and CPU time per call.
// Then ProbeAddr's polling: its logic on the paced simulator, and the windowed program when a
// command that measures it is given (--qt-cpu-command), as CPU per hour.
// Prints one table: median of the runs and their spread (max - min, in % of
// the median).
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "VEL_KV21X.h"
#include "kv210/simulator.h"
#ifdef KV210_BENCH_TOOL
#include "tool_polling.h"
#endif

namespace {

constexpr double kByteMs = 10.0 / 9.6;  // 8N1 at 9600 baud: 1.0417 ms a byte
constexpr double kIntervalMs = 50.0;    // a short reply ends only after the read interval

struct Exchange {
  const char* name;
  const char* label;
  int frameBytes;       // written up to its '*': NUL padding after it travels while the reply comes back
  int replyBytes;       // sent by the probe and taken by the read
  int capacity;         // what the read asks for
  std::function<int32_t(HANDLE)> call;  // for "create": ignores the handle

  // The best the line allows: every byte's wire time, and the interval a read
  // waits when the reply is shorter than what it asked for.
  double limitMs() const {
    return (frameBytes + replyBytes) * kByteMs + (replyBytes < capacity ? kIntervalMs : 0.0);
  }
};

struct Sample {
  double seconds = 0;
  double cpuSeconds = 0;
  int calls = 0;
  int failures = 0;
};

double threadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double median(std::vector<double> v) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// max - min of the runs, in % of their median.
double spreadPercent(const std::vector<double>& v) {
  if (v.size() < 2) return 0;
  auto [lo, hi] = std::minmax_element(v.begin(), v.end());
  double m = median(v);
  return m != 0 ? (*hi - *lo) / m * 100.0 : 0.0;
}

Sample runLibrary(const Exchange& e, const std::string& device, int calls) {
  Sample s;
  s.calls = calls;
  HANDLE port = INVALID_HANDLE_VALUE;
  const bool create = std::strcmp(e.name, "create") == 0;
  if (!create) {
    if (VEL_CreateProbe("KV21", &port, device.c_str()) != VEL_OK) {
      std::cerr << "bench: cannot open the simulated probe at " << device << "\n";
      std::exit(1);
    }
    if (e.call(port) != VEL_OK) ++s.failures;  // the first exchange settles the line
  }
  auto t0 = std::chrono::steady_clock::now();
  double c0 = threadCpuSeconds();
  for (int i = 0; i < calls; ++i) {
    if (create) {
      HANDLE h = INVALID_HANDLE_VALUE;
      if (VEL_CreateProbe("KV21", &h, device.c_str()) != VEL_OK) ++s.failures;
      if (h != INVALID_HANDLE_VALUE) VEL_RemoveProbe(h);
    } else if (e.call(port) != VEL_OK) {
      ++s.failures;
    }
  }
  s.cpuSeconds = threadCpuSeconds() - c0;
  s.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (!create) VEL_RemoveProbe(port);
  return s;
}

std::string firstLineWith(const char* path, const char* key) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key, 0) == 0) {
      auto colon = line.find(':');
      std::string v = colon == std::string::npos ? line : line.substr(colon + 1);
      v.erase(0, v.find_first_not_of(" \t"));
      return v;
    }
  return "?";
}

std::string machine() {
  utsname u{};
  ::uname(&u);
  std::ostringstream out;
  out << firstLineWith("/proc/cpuinfo", "model name") << ", " << std::thread::hardware_concurrency()
      << " cores, " << u.sysname << " " << u.release;
  std::ifstream load("/proc/loadavg");
  double l1 = 0;
  if (load >> l1) out << ", load " << l1 << " at start";
  return out.str();
}

std::string fixed(double v, int decimals) {
  if (std::isnan(v)) return "-";
  char b[32];
  std::snprintf(b, sizeof b, "%.*f", decimals, v);
  return b;
}

std::string medianSpread(const std::vector<double>& v, int decimals) {
  if (v.empty()) return "-";
  return fixed(median(v), decimals) + " ±" + fixed(spreadPercent(v) / 2, 0) + "%";
}

struct Row {
  const Exchange* e;
  std::vector<double> pacedRate, pacedRatio, wallUs, cpuUs;
  std::vector<double> cpuPerHour;  // CPU seconds an hour of back-to-back calls at line speed takes
  int failures = 0;
};

}  // namespace

int main(int argc, char** argv) {
  int runs = 5;
  double runSeconds = 1.0;  // paced calls per run: about this long
  std::string qtCpuCommand;  // measures the windowed ProbeAddr; prints its rows
  double toolWindowSeconds = 6.0;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--runs") runs = std::max(1, std::atoi(next().c_str()));
    else if (a == "--run-seconds") runSeconds = std::max(0.1, std::atof(next().c_str()));
    else if (a == "--qt-cpu-command") qtCpuCommand = next();
    else if (a == "--tool-window-seconds") toolWindowSeconds = std::max(1.0, std::atof(next().c_str()));
    else {
      std::cerr << "usage: kv210_bench [--runs N] [--run-seconds S] [--tool-window-seconds S]\n"
                   "                   [--qt-cpu-command COMMAND]\n";
      return 2;
    }
  }

  char text[16];
  int32_t length = 0;
  float a = 0, b = 0, c = 0;
  const std::vector<Exchange> exchanges = {
      {"create", "VEL_CreateProbe (+RemoveProbe)", 6 + 6, 18 + 382, 18 + 382, nullptr},
      {"firmware", "VEL_Firmware", 6, 18, 18, [&](HANDLE h) { return VEL_Firmware(h, text, &length); }},
      // 11 bytes read, the other 22 of the usual reply taken in before the call returns.
      {"serial", "VEL_SerialNumber", 6, 33, 33, [&](HANDLE h) { return VEL_SerialNumber(h, text, &length); }},
      {"battery", "VEL_ReadBattery", 6, 3, 3, [&](HANDLE h) { return VEL_ReadBattery(h, &a); }},
      {"temperature", "VEL_ReadTemperature", 6, 3, 3, [&](HANDLE h) { return VEL_ReadTemperature(h, &a); }},
      {"total", "VEL_ReadTotalField", 6, 5, 5, [&](HANDLE h) { return VEL_ReadTotalField(h, &a); }},
      {"axis", "VEL_ReadAxisField", 6, 13, 13, [&](HANDLE h) { return VEL_ReadAxisField(h, &a, &b, &c); }},
      {"frequency", "VEL_SetFrequency", 10, 5, 5, [&](HANDLE h) { return VEL_SetFrequency(h, 5000); }},
      {"filter", "VEL_SetFilter", 6, 1, 2, [&](HANDLE h) { return VEL_SetFilter(h, 3); }},
      {"autooff", "VEL_SetAutoOffTime", 9, 1, 5, [&](HANDLE h) { return VEL_SetAutoOffTime(h, 600); }},
  };

  kv210::sim::Simulator sim;
  const std::string device = sim.devicePath();
  VEL_SetTimeout(500);

  std::vector<Row> rows;
  for (const Exchange& e : exchanges) {
    Row row;
    row.e = &e;
    const double limitMs = e.limitMs();
    const int pacedCalls = std::max(3, static_cast<int>(std::lround(runSeconds * 1000.0 / limitMs)));
    const bool slowUnpaced = e.replyBytes < e.capacity;  // waits out the interval even unpaced
    const int unpacedCalls = slowUnpaced ? 10 : (std::strcmp(e.name, "create") == 0 ? 200 : 2000);
    std::cerr << "bench: " << e.label << ", " << runs << " runs" << std::endl;
    for (int r = 0; r < runs; ++r) {
      sim.setPacing(true);
      Sample s = runLibrary(e, device, pacedCalls);
      double rate = s.calls / s.seconds;
      row.pacedRate.push_back(rate);
      row.pacedRatio.push_back(rate * limitMs / 1000.0);
      row.cpuPerHour.push_back(s.cpuSeconds / s.seconds * 3600.0);
      row.failures += s.failures;

      sim.setPacing(false);
      s = runLibrary(e, device, unpacedCalls);
      row.wallUs.push_back(s.seconds / s.calls * 1e6);
      row.cpuUs.push_back(s.cpuSeconds / s.calls * 1e6);
      row.failures += s.failures;
    }
    rows.push_back(std::move(row));
  }

  // Every export right after VEL_SerialNumber on the paced line: the serial
  // reply's tail must not become the next command's reply.
  sim.setPacing(true);
  int backToBackFailures = 0, backToBackCalls = 0;
  {
    HANDLE h = INVALID_HANDLE_VALUE;
    if (VEL_CreateProbe("KV21", &h, device.c_str()) == VEL_OK) {
      for (const Exchange& e : exchanges) {
        if (!e.call) continue;
        backToBackCalls += 2;
        backToBackFailures += (VEL_SerialNumber(h, text, &length) != VEL_OK) + (e.call(h) != VEL_OK);
      }
    }
    VEL_RemoveProbe(h);
  }

  // ---- ProbeAddr's polling: CPU per hour ----
  struct ToolRow {
    std::string label;
    std::vector<double> queriesPerSecond, cpuUsPerQuery, cpuPerHour;
  };
  std::vector<ToolRow> toolRows;
  auto addWindow = [](ToolRow& row, double wall, double cpu, int queries) {
    if (wall <= 0) return;
    row.queriesPerSecond.push_back(queries / wall);
    if (queries > 0) row.cpuUsPerQuery.push_back(cpu / queries * 1e6);
    row.cpuPerHour.push_back(cpu / wall * 3600.0);
  };
#ifdef KV210_BENCH_TOOL
  {
    std::cerr << "bench: ProbeAddr logic polling, " << runs << " windows of " << toolWindowSeconds << " s each"
              << std::endl;
    ToolRow connected{"ProbeAddr logic, probe answers", {}, {}, {}};
    for (const auto& w : kv210::bench::measureToolPolling(device, runs, toolWindowSeconds, 5.0))
      addWindow(connected, w.wallSeconds, w.cpuSeconds, w.queries);
    toolRows.push_back(connected);
    for (const char* command : {"v", "s", "P"}) {
      kv210::sim::Fault silence;
      silence.kind = kv210::sim::FaultKind::Silence;
      sim.setFault(command, silence);
    }
    ToolRow silent{"ProbeAddr logic, no probe", {}, {}, {}};
    for (const auto& w : kv210::bench::measureToolPolling(device, runs, toolWindowSeconds, 2.0))
      addWindow(silent, w.wallSeconds, w.cpuSeconds, w.queries);
    toolRows.push_back(silent);
    sim.clearFaults();
  }
#endif
  if (!qtCpuCommand.empty()) {
    // The windowed program's own benchmark prints one line per case:
    // name, CPU s, wall s, % of a core, frames, labels set.
    std::cerr << "bench: " << qtCpuCommand << ", " << runs << " runs" << std::endl;
    std::vector<ToolRow> qtRows;
    for (int r = 0; r < runs; ++r) {
      FILE* child = ::popen(qtCpuCommand.c_str(), "r");
      if (!child) break;
      char line[256];
      while (std::fgets(line, sizeof line, child)) {
        std::istringstream in(line);
        std::vector<std::string> tokens;
        for (std::string t; in >> t;) tokens.push_back(t);
        if (tokens.size() < 6) continue;
        char* end = nullptr;
        const std::size_t n = tokens.size();
        double cpu = std::strtod(tokens[n - 5].c_str(), &end);
        if (*end) continue;
        double wall = std::strtod(tokens[n - 4].c_str(), &end);
        if (*end) continue;
        int frames = std::atoi(tokens[n - 2].c_str());
        std::string name = "ProbeAddr (Qt), ";
        for (std::size_t i = 0; i + 5 < n; ++i) name += (i ? " " : "") + tokens[i];
        auto it = std::find_if(qtRows.begin(), qtRows.end(), [&](const ToolRow& t) { return t.label == name; });
        if (it == qtRows.end()) it = qtRows.insert(qtRows.end(), ToolRow{name, {}, {}, {}});
        addWindow(*it, wall, cpu, frames);
      }
      ::pclose(child);
    }
    toolRows.insert(toolRows.end(), qtRows.begin(), qtRows.end());
  }

  // ---- The table ----
  std::time_t now = std::time(nullptr);
  char date[32];
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M", std::localtime(&now));
  std::printf("KV210 benchmark, %s\n", date);
  std::printf("Machine: %s\n", machine().c_str());
  std::printf("Runs: %d per figure; median ±half the spread (max-min) of the runs\n\n", runs);
  const std::vector<std::pair<const char*, int>> columns = {
      {"Export", -34}, {"limit ms", 8}, {"paced calls/s", 13}, {"of limit", 10},
      {"unpaced µs/call", 15}, {"CPU µs/call", 11}, {"CPU s/hour", 10}};
  auto printRow = [&](const std::vector<std::string>& cells) {
    std::string line = "|";
    for (std::size_t i = 0; i < cells.size(); ++i) {
      int w = std::abs(columns[i].second);
      // Width in characters, not bytes: "µ" takes two bytes.
      int shown = 0;
      for (unsigned char ch : cells[i]) shown += (ch & 0xC0) != 0x80;
      std::string pad(static_cast<std::size_t>(std::max(0, w - shown)), ' ');
      line += " " + (columns[i].second < 0 ? cells[i] + pad : pad + cells[i]) + " |";
    }
    std::printf("%s\n", line.c_str());
  };
  std::vector<std::string> header, rule;
  for (auto& [title, width] : columns) {
    header.push_back(title);
    rule.push_back(std::string(static_cast<std::size_t>(std::abs(width) - 1), '-') + (width < 0 ? "-" : ":"));
  }
  printRow(header);
  printRow(rule);
  bool goalMet = true;
  int failures = 0;
  for (const Row& r : rows) {
    double ratio = median(r.pacedRatio);
    goalMet = goalMet && ratio >= 0.975;
    failures += r.failures;
    printRow({r.e->label, fixed(r.e->limitMs(), 1), medianSpread(r.pacedRate, 2), medianSpread(r.pacedRatio, 3),
              medianSpread(r.wallUs, 0), medianSpread(r.cpuUs, 1), medianSpread(r.cpuPerHour, 1)});
  }
  for (const ToolRow& t : toolRows)
    printRow({t.label, "-", medianSpread(t.queriesPerSecond, 2), "-", "-", medianSpread(t.cpuUsPerQuery, 0),
              medianSpread(t.cpuPerHour, 2)});
  std::printf("\nlimit: the line's best for the exchange: frame bytes up to its '*' (NUL padding after it travels "
              "while the reply comes back) and reply bytes at %.4f ms each, + %.0f ms when the reply is shorter than "
              "the read (filter: 1 of 2 bytes, switch-off: 1 of 5); opening: 6 + 6 frame bytes, 18 + 382 reply "
              "bytes, port opening and closing included in the measured time.\n",
              kByteMs, kIntervalMs);
  std::printf("of limit: paced calls/s x limit; goal >= 0.975: %s. The rest of 1.0 is the library's own time and "
              "the simulator's turnaround on the pty.\n",
              goalMet ? "met for every export" : "NOT MET");
  std::printf("unpaced: no pacing; wall time per call (the simulator's turnaround on the pty included) and CPU "
              "time of the calling thread.\n");
  std::printf("CPU s/hour: CPU time of an hour of back-to-back calls at line speed (library), of an hour of "
              "polling (ProbeAddr: its logic on the paced simulator in windows of %.0f s, calls/s = queries/s, "
              "CPU µs/call = per query and its reply; the windowed program measured by its own benchmark).\n",
              toolWindowSeconds);
  std::printf("Failed calls: %d. VEL_SerialNumber followed at once by each other export on the paced line: %d of "
              "%d calls failed.\n",
              failures, backToBackFailures, backToBackCalls);
  return 0;
}
