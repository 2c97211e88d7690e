// The kv210-sim command, run as a separate process.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "pty_client.h"

namespace kv210::sim {
namespace {

namespace fs = std::filesystem;
using testing::PtyClient;

// A running kv210-sim: its stdout on a pipe, its stderr in a file. The shell
// prints its pid before it becomes the simulator.
class Command {
 public:
  explicit Command(const std::string& args)
      : err_(fs::temp_directory_path() / ("kv210-sim-err-" + std::to_string(getpid()))),
        out_(popen(("echo $$; exec " KV210_SIM_COMMAND " " + args + " 2>" + err_.string()).c_str(), "r")),
        pid_(std::stoi(line())) {}
  ~Command() {
    if (out_) signal(SIGKILL), finish();
    fs::remove(err_);
  }
  std::string line() {
    char text[512] = {};
    if (!fgets(text, sizeof text, out_)) return {};
    std::string s(text);
    if (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
  }
  void signal(int number) { kill(pid_, number); }
  // Exit status once the program has ended (a hang is caught by the test's time-out).
  int finish() {
    const int status = pclose(out_);
    out_ = nullptr;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string stderrText() {
    std::ifstream in(err_);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

 private:
  fs::path err_;
  FILE* out_;
  pid_t pid_;
};

// In the background: the device is printed once it answers, the probe and its
// faults come from the command line (--verbose's log is the Python fixture's),
// a second simulator on the same link is refused, and SIGTERM cleans up.
TEST(Kv210SimCommand, DaemonWithFaultsAndItsLink) {
  const fs::path link = fs::temp_directory_path() / ("kv210-sim-daemon-" + std::to_string(getpid()));
  const fs::path pidFile = link.string() + ".pid";
  Command daemon("--fast --daemon --pidfile " + pidFile.string() + " --link " + link.string() +
                 " --address 07 --total-field 3 --axis 0.5,-1,2 --model KV212 --fault-once b:wrong-letter:Q"
                 " --fault t:silence");
  EXPECT_EQ(daemon.line(), link.string());
  EXPECT_EQ(daemon.finish(), 0);  // the parent returns; the simulator stays
  PtyClient client(link.string());
  ASSERT_TRUE(client.send("#00?b*"));
  EXPECT_EQ(client.read(3), (Bytes{'Q', 0x03, 0x00}));
  ASSERT_TRUE(client.send("#00?t*#00?b*"));
  EXPECT_EQ(client.read(4), (Bytes{'b', 0x03, 0x00}));  // t stays silent
  ASSERT_TRUE(client.send("#07?T*#00?A*#00?v*"));
  EXPECT_EQ(client.read(36), testing::bytes(std::string("T\0\0\x10\x41", 5) +  // 9.0
                                            std::string("A\0\0\0\x3f\0\0\x80\xbf\0\0\0\x40", 13) +
                                            "vKV212:1.10 07/10;"));
  Command second("--link " + link.string());
  EXPECT_EQ(second.finish(), 1);
  EXPECT_NE(second.stderrText().find("served by another simulator"), std::string::npos);

  pid_t pid = 0;
  std::ifstream(pidFile) >> pid;
  ASSERT_GT(pid, 0);
  kill(pid, SIGTERM);
  for (int i = 0; i < 100 && fs::exists(pidFile); ++i) usleep(20000);
  EXPECT_FALSE(fs::exists(pidFile));
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
}

}  // namespace
}  // namespace kv210::sim
