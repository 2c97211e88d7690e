// libFuzzer target: arbitrary reply bytes, in arbitrary chunks, with failing
// port operations, fed to every export of the library through its port layer.
#include <cstdio>
#include <cstdlib>

#include "library_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string problem = kv210::fuzz::RunLibraryScript(data, size);
  if (!problem.empty()) {
    std::fprintf(stderr, "broken promise: %s\n", problem.c_str());
    std::abort();
  }
  return 0;
}
