// Built programs run as another user. A build tree in a private folder (as
// mktemp -d makes it, and CI clones into one) is closed to that user, so the
// program and the libraries it loads are copied into a folder anyone may enter.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <initializer_list>
#include <string>

namespace kv210::test {

// The copy of `program`; `libraries` go beside it (LD_LIBRARY_PATH=its folder).
inline std::string copyForOtherUsers(const std::string& program, std::initializer_list<std::string> libraries = {}) {
  namespace fs = std::filesystem;
  static const struct Folder {
    fs::path path = fs::temp_directory_path() / ("kv210-other-user-" + std::to_string(::getpid()));
    Folder() { fs::create_directories(path); }
    ~Folder() { std::error_code ignored; fs::remove_all(path, ignored); }
  } folder;
  constexpr auto kAnyoneMayRun = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec;
  fs::permissions(folder.path, kAnyoneMayRun);
  for (const std::string& file : libraries) {
    fs::copy_file(file, folder.path / fs::path(file).filename(), fs::copy_options::overwrite_existing);
    fs::permissions(folder.path / fs::path(file).filename(), kAnyoneMayRun);
  }
  const fs::path copy = folder.path / fs::path(program).filename();
  fs::copy_file(program, copy, fs::copy_options::overwrite_existing);
  fs::permissions(copy, kAnyoneMayRun);
  return copy.string();
}

}  // namespace kv210::test
