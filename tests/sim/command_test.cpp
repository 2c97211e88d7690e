// The kv210-sim command, run as a separate process.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "pty_client.h"

namespace kv210::sim {
namespace {

using namespace std::chrono_literals;
using testing::PtyClient;

// A running kv210-sim with its stdout and stderr on pipes.
class Command {
 public:
  explicit Command(std::vector<std::string> args) {
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      dup2(err[1], STDERR_FILENO);
      close(out[0]);
      close(err[0]);
      std::vector<char*> argv{const_cast<char*>(KV210_SIM_COMMAND)};
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    close(err[1]);
    out_ = fdopen(out[0], "r");
    err_ = fdopen(err[0], "r");
  }
  ~Command() {
    if (pid_ > 0 && status_ < 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_) fclose(out_);
    if (err_) fclose(err_);
  }

  std::string firstLine() {
    char line[512] = {};
    if (!fgets(line, sizeof line, out_)) return {};
    std::string text(line);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
  }
  std::string restOfStderr() {
    std::string text;
    char buffer[512];
    while (std::size_t n = fread(buffer, 1, sizeof buffer, err_)) text.append(buffer, n);
    return text;
  }
  // Exit status, or -1 when the process does not end within about 5 s.
  int wait() {
    for (int i = 0; i < 500 && status_ < 0; ++i) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_)
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      else
        usleep(10'000);
    }
    return status_;
  }
  void signal(int number) { kill(pid_, number); }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  FILE* out_ = nullptr;
  FILE* err_ = nullptr;
};

TEST(Kv210SimCommand, PrintsTheDeviceAndServesUntilStopped) {
  namespace fs = std::filesystem;
  const fs::path link = fs::temp_directory_path() / ("kv210-sim-cmd-" + std::to_string(getpid()));
  Command command({"--link", link.string(), "--address", "07", "--total-field", "3",
                   "--axis", "0.5,-1,2", "--model", "KV212", "--verbose"});
  ASSERT_EQ(command.firstLine(), link.string());
  PtyClient client(link.string());
  ASSERT_TRUE(client.isOpen());

  ASSERT_TRUE(client.send("#07?T*"));
  EXPECT_EQ(client.read(5), (Bytes{'T', 0x00, 0x00, 0x10, 0x41}));  // 9.0
  ASSERT_TRUE(client.send("#00?A*"));
  EXPECT_EQ(client.read(13), (Bytes{'A', 0x00, 0x00, 0x00, 0x3F, 0x00, 0x00, 0x80, 0xBF,
                                    0x00, 0x00, 0x00, 0x40}));
  ASSERT_TRUE(client.send("#00?v*"));
  EXPECT_EQ(client.read(18), testing::bytes("vKV212:1.10 07/10;"));

  command.signal(SIGTERM);
  EXPECT_EQ(command.wait(), 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
  EXPECT_NE(command.restOfStderr().find("#07?T*"), std::string::npos);  // --verbose log
}

TEST(Kv210SimCommand, RefusesBadArguments) {
  const std::vector<std::vector<std::string>> cases = {
      {"--bogus"}, {"--address"}, {"--address", "5"}, {"--battery-raw", "70000"},
      {"--axis", "1,2"}, {"--field-limit", "lots"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args.front());
    Command command(args);
    EXPECT_EQ(command.firstLine(), "");
    EXPECT_EQ(command.wait(), 2);
    EXPECT_NE(command.restOfStderr().find("kv210-sim:"), std::string::npos);
  }
}

}  // namespace
}  // namespace kv210::sim
