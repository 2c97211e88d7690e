#include "probeaddr/posix_comm_port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

namespace probeaddr {
namespace {

int openError(PosixCommPort& port, const std::string& path, const std::string& settings = "9600,n,8,1") {
  try {
    port.setDevicePath(path);
    port.setSettings(settings);
    port.setPortOpen(true);
    return 0;
  } catch (const CommError& e) {
    return e.number();
  }
}

TEST(PosixCommPort, OpensAPtyRawAndReportsFailuresByNumber) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master) | ::unlockpt(master), 0);
  const std::string pts = ::ptsname(master);

  PosixCommPort missing, notATerminal, badSettings, port, second;
  PosixCommPort numbered([&](std::int16_t n) { return n == 3 ? pts : std::string(); });
  EXPECT_EQ(openError(missing, "/dev/no-such-port"), kErrInvalidPortNumber);
  EXPECT_EQ(openError(notATerminal, "/dev/null"), kErrInvalidPortNumber);
  EXPECT_EQ(openError(badSettings, pts, "9600,x,8,1"), kErrInvalidPropertyValue);
  EXPECT_THROW(numbered.setCommPort(4), CommError);
  EXPECT_EQ(openError(port, pts), 0);
  EXPECT_EQ(openError(second, pts), kErrDeviceUnavailable);  // held by `port`
  port.setInputMode(InputMode::Binary);

  // Binary bytes pass unchanged both ways; a write returns once all is sent.
  const std::string reply("v\x03\r\n\x11\x13\x00\xff", 8);
  ASSERT_EQ(::write(master, reply.data(), reply.size()), 8);
  port.waitForInput(std::chrono::steady_clock::now() + std::chrono::seconds(2));
  EXPECT_EQ(port.inBufferCount(), 8);
  EXPECT_EQ(port.input(), Bytes(reply.begin(), reply.end()));
  EXPECT_TRUE(port.input().empty());
  port.output("#00?v*");
  char frame[16] = {};
  EXPECT_EQ(::read(master, frame, sizeof frame), 6);
  EXPECT_STREQ(frame, "#00?v*");

  ::close(master);  // the device hangs up
  EXPECT_THROW(port.inBufferCount(), CommError);
}

}  // namespace
}  // namespace probeaddr
