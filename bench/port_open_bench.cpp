// Opening a port: what the holder checks cost. Opens and closes the simulated
// probe's pty through the system port layer (lock files, exclusive mode,
// flock, and the scan of /proc for other processes holding the device) and
// prints the median time per opening next to the size of the /proc scan.
#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "kv210/simulator.h"
#include "port.h"

namespace {

// Processes and descriptors one scan of /proc visits.
std::pair<int, int> procSize() {
  int processes = 0, descriptors = 0;
  DIR* proc = opendir("/proc");
  if (!proc) return {0, 0};
  while (const dirent* p = readdir(proc)) {
    if (p->d_name[0] < '1' || p->d_name[0] > '9') continue;
    ++processes;
    DIR* fds = opendir(("/proc/" + std::string(p->d_name) + "/fd").c_str());
    if (!fds) continue;
    while (const dirent* f = readdir(fds)) descriptors += f->d_name[0] != '.';
    closedir(fds);
  }
  closedir(proc);
  return {processes, descriptors};
}

}  // namespace

int main() {
  kv210::sim::Simulator sim;
  vel::port::Backend& backend = vel::port::systemBackend();
  std::vector<double> micros;
  for (int i = 0; i < 200; ++i) {
    vel::port::Error error = 0;
    auto t0 = std::chrono::steady_clock::now();
    vel::port::Handle h = backend.open(sim.devicePath().c_str(), error, {});
    auto t1 = std::chrono::steady_clock::now();
    if (h == vel::port::kInvalidHandle) {
      std::fprintf(stderr, "port_open_bench: cannot open %s\n", sim.devicePath().c_str());
      return 1;
    }
    backend.close(h);
    micros.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
  }
  std::sort(micros.begin(), micros.end());
  auto [processes, descriptors] = procSize();
  std::printf("Opening a port (holder checks and the /proc scan included): median %.0f µs, 90th percentile %.0f µs, "
              "with %d processes and %d descriptors visible in /proc.\n",
              micros[micros.size() / 2], micros[micros.size() * 9 / 10], processes, descriptors);
  return 0;
}
