#include "program.h"

#include <exception>

#include "app_windows.h"
#include "probeaddr/set_add_gui.h"
#include "test_hook.h"
#include "win32_clock.h"
#include "win32_comm_port.h"
#include "win32_platform.h"

namespace probeaddr::win32 {
namespace {

Win32CommPort* endingPort = nullptr;

// Ends the process at once. The last frame has been written by Output; it is
// drained onto the line and the port closed first.
[[noreturn]] void endProcess(int exitCode) {
  if (endingPort) endingPort->finish();
  if (TestHook* hook = TestHook::instance()) hook->record({"exit", std::to_string(exitCode)});
  ExitProcess(static_cast<UINT>(exitCode));
}

// Runs a handler of the logic from a window message. Nothing may unwind
// through the window procedures: what escapes the logic is reported as the
// system reports an uncaught error, and ends the program.
template <typename Handler>
void guarded(Handler&& handler) {
  try {
    handler();
  } catch (const ProgramEnded& ended) {
    endProcess(ended.exitCode());
  } catch (const std::exception& e) {
    MessageBoxA(nullptr, e.what(), "ProbeAddr", MB_OK | MB_ICONERROR | MB_TASKMODAL);
    endProcess(1);
  } catch (...) {
    endProcess(1);
  }
}

}  // namespace

void runProbeAddr(HINSTANCE instance, std::vector<std::string> arguments) {
  // Creation of the main window (its Form_Initialize has no effect).
  const int dpi = systemDpi();
  auto* clock = new PerformanceCounterClock;
  auto* window = new SetAddGuiWindow(instance, dpi);
  if (!window->hwnd()) {
    MessageBoxA(nullptr, "The window cannot be created.", "ProbeAddr", MB_OK | MB_ICONERROR);
    endProcess(1);
  }
  auto* port = new Win32CommPort(*clock);
  auto* controls = new Win32Controls(*window, instance, dpi);
  auto* messages = new Win32MessageBoxes(*controls);
  auto* pump = new Win32EventPump(*window, *port, *clock);
  endingPort = port;
  auto* gui = new SetAddGui(Platform{*port, *controls, *messages, *pump, *clock, endProcess}, std::move(arguments));

  window->onActivate = [gui] { guarded([gui] { gui->Form_Activate(); }); };
  window->onUnload = [gui] { guarded([gui] { gui->Form_Unload(); }); };
  window->onWriteClick = [gui] { guarded([gui] { gui->CBWrite_Click(); }); };
  window->onExitClick = [gui] { guarded([gui] { gui->CBExit_Click(); }); };
  window->onAddressKeyDown = [gui](int keyCode, int shift) {
    guarded([gui, keyCode, shift] { gui->TBAddress_KeyDown(keyCode, shift); });
  };

  // Load: the port is chosen and opened before the window is shown; with no
  // usable port the program ends here.
  guarded([gui] { gui->Form_Load(); });

  window->showCentred();
  if (TestHook* hook = TestHook::instance()) {
    hook->record({"ready"});
    hook->recordLayout(*window);
  }

  // The first activation starts the connection cycle, which takes over the
  // thread and never returns; this loop only runs until then.
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) pump->dispatch(message);
  guarded([gui] { gui->Form_Unload(); });
  endProcess(0);
}

}  // namespace probeaddr::win32
