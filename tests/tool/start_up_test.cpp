#include "fakes.h"

namespace probeaddr::test {

// Which numbers (or paths) are tried, and how selection ends.
TEST(StartUp, PortSelection) {
  struct Row {
    const char* commandLine;
    std::map<int, int> refused;  // port -> error number (-1: the PORT= path)
    const char* tried;
    const char* message;  // "" when none
    bool ends;
  } rows[] = {
      {"", {{0, 8002}, {1, 68}, {2, 68}}, "0 1 2 3", "", false},
      {"", {{0, 8002}, {1, 68}, {2, 68}, {3, 68}, {4, 8002}, {5, 68}, {6, 68}, {7, 68}, {8, 68},
            {9, 68}, {10, 68}},
       "0 1 2 3 4 5 6 7 8 9 10", "No COMM PORTs Available", true},
      {"COM=4", {{4, 68}}, "4", "COMM PORT4  Not Available", true},
      {"COM=4", {{4, 8002}}, "4", "COMM PORT4  Not Available", true},
      {"COM=3 COMM=5", {}, "5", "", false},
      {"COMM=5 COM=3", {}, "5", "", false},
      {"COM=12", {}, "1", "", false},
      {"COMM=x", {{0, 8002}}, "0", "COMM PORT0  Not Available", true},
      {"COM=", {{0, 68}}, "0", "COMM PORT0  Not Available", true},
      {"", {{0, 8002}, {1, 380}}, "0 1", "COMM ID 1 NOT VALID", true},
      {"COMM=7", {{7, 380}}, "7", "COMM ID 7 NOT VALID", true},
      {"", {{0, 8005}}, "0", "", true},  // any other failure: ends without a message
      {"PORT=/dev/pts/7 COM=2", {}, "/dev/pts/7", "", false},
      {"x PORT=/dev/ttyUSB1", {{-1, 68}}, "/dev/ttyUSB1", "Cannot open /dev/ttyUSB1: refused.", true},
      {"COM=3 PORT=", {}, "", "Cannot open PORT=: no device named.", true},  // no port is tried in its place
  };
  for (auto& r : rows) {
    World w(r.commandLine);
    w.port.openErrors = r.refused;
    w.run(1, [&] { w.gui.Form_Load(); });
    std::string tried;
    for (auto& t : w.port.tried) tried += (tried.empty() ? "" : " ") + t;
    SCOPED_TRACE(r.commandLine);
    EXPECT_EQ(tried, r.tried);
    EXPECT_EQ(w.msgs(), *r.message ? std::vector<std::string>{std::string("msg ProbeAddr|critical|") + r.message}
                                   : std::vector<std::string>{});
    EXPECT_EQ(w.exitCode, r.ends ? std::optional<int>(1) : std::nullopt);
    EXPECT_EQ(w.port.open, !r.ends);
    if (!r.ends) {
      EXPECT_EQ(w.port.settings, "9600,n,8,1");
      EXPECT_EQ(w.port.mode, InputMode::Binary);
    }
    EXPECT_TRUE(w.frames().empty());
  }
}

// A path runs to the end of its argument, blanks included.
TEST(StartUp, PortPathTakesTheWholeArgument) {
  World w(std::vector<std::string>{"COM=2", "PORT=/tmp/probe link", "COMM=3"});
  w.port.openErrors = {{-1, 68}};
  w.run(1, [&] { w.gui.Form_Load(); });
  ASSERT_EQ(w.port.tried, std::vector<std::string>{"/tmp/probe link"});
  EXPECT_EQ(w.msgs(), std::vector<std::string>{"msg ProbeAddr|critical|Cannot open /tmp/probe link: refused."});
}

TEST(StartUp, AnOpenPortIsLeftAlone) {
  World w;
  w.port.open = true;
  w.gui.Form_Load();
  EXPECT_TRUE(w.port.tried.empty());
  EXPECT_EQ(w.port.settings, "");
}

}  // namespace probeaddr::test
