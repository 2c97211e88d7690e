// ProbeAddr: shows the identity of the KV210 probe on a serial port and writes
// a new bus address into it.
//   ProbeAddr.exe [COM=n | COMM=n | PORT=COMn]
#include <windows.h>

#include <commctrl.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "program.h"

namespace {

constexpr const char* kHelp =
    "ProbeAddr [COM=n | COMM=n | PORT=name]\n\n"
    "Shows the identity of the KV210 probe on a serial port and writes a new bus address "
    "(00 to 99) into it.\n\n"
    "COM=n: serial port COMn, one digit (COM=12 is COM1)\n"
    "COMM=n: the same; wins when both are given\n"
    "PORT=name: exactly this port, e.g. PORT=COM12\n"
    "No key: the first of COM1 to COM10 that opens";

// A windowed program has no console to print to: --help and --version answer in a box.
bool answeredInformationRequest(const std::vector<std::string>& arguments) {
  for (const std::string& argument : arguments) {
    const bool help = argument == "--help" || argument == "-h" || argument == "/?";
    if (help || argument == "--version") {
      MessageBoxA(nullptr, help ? kHelp : "ProbeAddr " PROBEADDR_VERSION, "ProbeAddr", MB_OK | MB_ICONINFORMATION);
      return true;
    }
  }
  return false;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  // First of all: with common controls 6, no dialog (message boxes included)
  // can be made before they are registered.
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  // The runtime has split the command line, quotes and all.
  std::vector<std::string> arguments(__argv + (__argc > 0 ? 1 : 0), __argv + __argc);
  if (answeredInformationRequest(arguments)) return 0;
  probeaddr::win32::runProbeAddr(instance, std::move(arguments));
}
