// ProbeAddr: shows the identity of the KV210 probe on a serial port and writes
// a new bus address into it.
//   ProbeAddr.exe [COM=n | COMM=n | PORT=COMn]
#include <windows.h>

#include <commctrl.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "program.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  // The runtime has split the command line, quotes and all.
  std::vector<std::string> arguments(__argv + (__argc > 0 ? 1 : 0), __argv + __argc);
  probeaddr::win32::runProbeAddr(instance, std::move(arguments));
}
