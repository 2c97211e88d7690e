// What a process holds, for tests that check nothing leaks.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>

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

}  // namespace kv210::test
