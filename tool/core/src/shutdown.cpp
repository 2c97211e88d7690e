// Shutdown and the end of the program, by every path.
#include "probeaddr/set_add_gui.h"

namespace probeaddr {

void SetAddGui::CBExit_Click() {
  ExitProgram();
  endProgram(0);
}

// Closing the main window runs its unload handler first, which ends the
// program; the rest runs inside that handler.
void SetAddGui::ExitProgram() {
  if (!unloading_) {
    Form_Unload();
    return;
  }
  p_.controls.closeMainWindow();
  p_.controls.closeProgressWindow();
}

void SetAddGui::Form_Unload() {
  if (unloading_) return;  // the window layer's own close while we unload
  unloading_ = true;
  int exitCode = 0;
  try {
    SendQuery(2);
  } catch (const CommError&) {
    exitCode = 1;  // the user is leaving anyway; the exit code tells the port failed
  }
  ExitProgram();
  endProgram(exitCode);
}

// A port failure while the program runs is reported like any uncaught
// run-time error: a message, then the end of the program.
void SetAddGui::reportingPortFailures(void (SetAddGui::*body)()) {
  try {
    (this->*body)();
  } catch (const CommError& e) {
    message("Run-time error '" + std::to_string(e.number()) + "':\r\r" + e.what(), "ProbeAddr",
            MessageIcon::Critical);
    endProgram(1);
  }
}

void SetAddGui::endProgram(int exitCode) {
  if (p_.endProgram) p_.endProgram(exitCode);
  throw ProgramEnded(exitCode);
}

}  // namespace probeaddr
