// What a process holds, for tests that check nothing leaks, and the waiting
// and reading the tests of whole programs share.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>

// Memory figures mean little under AddressSanitizer, which keeps freed memory.
#if defined(__SANITIZE_ADDRESS__)
#define KV210_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KV210_ASAN 1
#endif
#endif

namespace kv210::test {

inline int openDescriptors() {
  int count = 0;
  for (auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) (void)entry, ++count;
  return count;
}

inline long residentKiB() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// CPU time, user and system, a process has used so far.
inline double cpuSeconds(pid_t pid) {
  std::istringstream stat(readFile("/proc/" + std::to_string(pid) + "/stat"));
  std::string field;
  for (int i = 0; i < 13; ++i) stat >> field;  // up to utime; the program names here hold no blank
  long user = 0, system = 0;
  stat >> user >> system;
  return double(user + system) / double(::sysconf(_SC_CLK_TCK));
}

// Asks `done` every 20 ms until it gives true or `timeout` has passed.
template <typename F>
bool pollFor(std::chrono::milliseconds timeout, F&& done) {
  for (const auto end = std::chrono::steady_clock::now() + timeout; !done();
       std::this_thread::sleep_for(std::chrono::milliseconds(20)))
    if (std::chrono::steady_clock::now() > end) return false;
  return true;
}

// Standard output and exit status of a shell command.
inline std::pair<std::string, int> shellOutput(const std::string& command) {
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return {"", -1};
  for (char buffer[4096]; std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe);) output.append(buffer, n);
  const int status = ::pclose(pipe);
  return {output, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

}  // namespace kv210::test
