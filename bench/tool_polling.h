// ProbeAddr's connection cycle (the toolkit-free logic on a real pty) run
// against a probe for a while, with the CPU time it takes measured in windows.
#pragma once

#include <string>
#include <vector>

namespace kv210::bench {

struct PollingWindow {
  double wallSeconds = 0;
  double cpuSeconds = 0;  // of the thread that runs the logic
  int queries = 0;        // frames the tool sent
};

// Runs ProbeAddr's logic on `device` with the real clock: after `settleSeconds`
// (identification), `windows` consecutive windows of `windowSeconds` each.
std::vector<PollingWindow> measureToolPolling(const std::string& device, int windows, double windowSeconds,
                                              double settleSeconds);

}  // namespace kv210::bench
