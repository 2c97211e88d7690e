// The reader process of `velprobe serve` (see reader.cpp).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace velprobe::serve {

struct ReaderOptions {
  std::string port;
  std::string model = "KV21";
  std::optional<int32_t> timeoutMs;
  std::chrono::milliseconds interval{1000};
};

// Reads the probe until SIGINT, SIGTERM or SIGHUP, or until its output is
// closed; prints JSON lines on stdout. Returns the exit status.
int runReader(const ReaderOptions& options);

}  // namespace velprobe::serve
