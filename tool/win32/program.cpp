#include "program.h"

#include "app_windows.h"
#include "probeaddr/program.h"
#include "probeaddr/test_log.h"
#include "test_hook.h"
#include "win32_clock.h"
#include "win32_comm_port.h"
#include "win32_platform.h"

namespace probeaddr::win32 {

void runProbeAddr(HINSTANCE instance, std::vector<std::string> arguments) {
  // Made once and kept to the end of the process.
  const int dpi = systemDpi();
  auto* clock = new PerformanceCounterClock;
  auto* window = new SetAddGuiWindow(instance, dpi);
  if (!window->hwnd()) {
    MessageBoxA(nullptr, "The window cannot be created.", "ProbeAddr", MB_OK | MB_ICONERROR);
    ExitProcess(1);
  }
  auto* port = new Win32CommPort(*clock);
  auto* windows = new Win32Windows(*window, instance, dpi);
  auto* pump = new Win32EventPump(*window, *port, *clock);
  TestLog* log = TestLog::instance();
  if (log) {
    windows->onProgressWindow = [log](const ProgressWindow& progress) { recordLayout(*log, progress); };
    pump->afterMessage = [focus = new FocusLog(*log, *window)] { focus->look(); };
  }

  runProgram({*port, *windows, *windows, *pump, *clock, window->events,
              [window, log] {
                window->showCentred();
                if (log) recordLayout(*log, *window);
              },
              // The first activation starts the connection cycle, which takes
              // over the thread and never returns; this loop only runs until then.
              [pump] {
                MSG message;
                while (GetMessageA(&message, nullptr, 0, 0) > 0) pump->dispatch(message);
              }},
             std::move(arguments));
}

}  // namespace probeaddr::win32
