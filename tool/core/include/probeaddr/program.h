// ProbeAddr from start-up to the end of the process, on whatever window layer
// stands behind the logic's interfaces.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "probeaddr/clock.h"
#include "probeaddr/comm_port_base.h"
#include "probeaddr/controls.h"
#include "probeaddr/event_pump.h"
#include "probeaddr/message_boxes.h"

namespace probeaddr {

// The main window's events as its window layer reports them; runProgram
// fills them in, and an empty one is ignored.
struct WindowEvents {
  // Each time the window becomes active; report it once the activation is
  // done, as the first one starts the cycle, which keeps the thread.
  std::function<void()> activate;
  std::function<void()> unload;  // the window is closing, by whatever means
  std::function<void()> writeClick;
  std::function<void()> exitClick;
  // Key codes as on Windows (Enter 13); shift adds 1 Shift, 2 Ctrl, 4 Alt.
  std::function<void(int keyCode, int shift)> addressKeyDown;
};

// What a window layer hands the program.
struct WindowLayer {
  CommPortBase& port;
  Controls& controls;
  MessageBoxes& messages;
  EventPump& pump;
  Clock& clock;
  WindowEvents& events;
  std::function<void()> showMainWindow;  // centred on the screen
  std::function<void()> runEventLoop;    // delivers events until no window is left
};

// Loads the main window (choosing and opening the port), shows it and runs
// the event loop, in which the first activation starts the cycle; every way
// out ends the process, the port's last frame on the line first. Each
// handler runs guarded: what escapes the logic is shown in a box ("Run-time
// error '8020': ..." for the port, "Unexpected error: ..." for anything
// else) and ends the program with exit code 1. With the test log on
// (test_log.h) the controls and boxes are logged.
[[noreturn]] void runProgram(const WindowLayer& layer, std::vector<std::string> arguments);

}  // namespace probeaddr
