// libFuzzer target: arbitrary byte streams in arbitrary chunks and timings,
// and arbitrary typed addresses, fed to ProbeAddr's ReadProbeReply and Write.
#include <cstdio>
#include <cstdlib>

#include "tool_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string problem = kv210::fuzz::RunToolScript(data, size);
  if (!problem.empty()) {
    std::fprintf(stderr, "broken promise: %s\n", problem.c_str());
    std::abort();
  }
  return 0;
}
