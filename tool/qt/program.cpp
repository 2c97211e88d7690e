#include "program.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "probeaddr/set_add_gui.h"
#include "qt_comm_port.h"
#include "qt_platform.h"
#include "test_hook.h"
#include "windows.h"

namespace probeaddr::qt {
namespace {

QtCommPort* endingPort = nullptr;

// Ends the process at once. The last frame has been written by Output; it is
// drained onto the line and the port released (lock file included) first.
[[noreturn]] void endProcess(int exitCode) {
  if (endingPort) endingPort->finish();
  if (TestHook* hook = TestHook::instance()) {
    hook->record({"exit", std::to_string(exitCode)});
    hook->flush();
  }
  std::fflush(nullptr);
  std::_Exit(exitCode);
}

// Runs a handler of the logic from a window event. Nothing may unwind through
// Qt's event delivery: whatever escapes the logic ends the program with a
// message, as an uncaught run-time error would.
template <typename Handler>
void guarded(Handler&& handler) {
  try {
    handler();
  } catch (const ProgramEnded& ended) {
    endProcess(ended.exitCode());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ProbeAddr: %s\n", e.what());
    endProcess(1);
  } catch (...) {
    endProcess(1);
  }
}

int signalPipe[2] = {-1, -1};

void onTerminationSignal(int) {
  const char byte = 1;
  if (::write(signalPipe[1], &byte, 1) < 0) { /* the window closes on the first byte anyway */ }
}

// SIGTERM (a session ending, a script stopping the program) and SIGINT close
// the main window as its close box does, so the unload sequence runs.
void closeOnTerminationSignals(SetAddGuiWindow* window) {
  if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, window);
  QObject::connect(notifier, &QSocketNotifier::activated, window, [window, notifier] {
    char bytes[16];
    while (::read(signalPipe[0], bytes, sizeof bytes) > 0) {
    }
    notifier->setEnabled(false);
    window->close();
  });
  struct sigaction action {};
  action.sa_handler = onTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);
}

}  // namespace

void runProbeAddr(std::vector<std::string> arguments) {
  // Creation of the main window (its Form_Initialize has no effect).
  auto* window = new SetAddGuiWindow;
  auto* port = new QtCommPort;
  auto* controls = new QtControls(window);
  auto* messages = new QtMessageBoxes(*controls);
  auto* pump = new QtEventPump(*port);
  auto* clock = new SteadyClock;
  endingPort = port;
  auto* gui = new SetAddGui(Platform{*port, *controls, *messages, *pump, *clock, endProcess}, std::move(arguments));

  window->onActivate = [gui] {
    // Let the activation finish (focus, repaint) before the cycle takes over
    // the thread; the logic starts its cycle on the first call only.
    QTimer::singleShot(0, QCoreApplication::instance(), [gui] { guarded([gui] { gui->Form_Activate(); }); });
  };
  window->onUnload = [gui] { guarded([gui] { gui->Form_Unload(); }); };
  window->onWriteClick = [gui] { guarded([gui] { gui->CBWrite_Click(); }); };
  window->onExitClick = [gui] { guarded([gui] { gui->CBExit_Click(); }); };
  window->onAddressKeyDown = [gui](int keyCode, int shift) {
    guarded([gui, keyCode, shift] { gui->TBAddress_KeyDown(keyCode, shift); });
  };

  TestHook* hook = TestHook::instance();
  if (hook) hook->drive(window, nullptr);

  // Load: the port is chosen and opened before the window is shown; with no
  // usable port the program ends here.
  guarded([gui] { gui->Form_Load(); });

  closeOnTerminationSignals(window);
  window->centreOnScreen();
  window->show();
  // Where no window manager activates new windows (a bare X server), ask for
  // it; the offscreen platform activates them by itself.
  if (QGuiApplication::platformName() != QLatin1String("offscreen")) window->activateWindow();
  if (hook) hook->record({"ready"});

  QApplication::exec();
  // The loop only ends when every window has gone without the logic ending
  // the program; end it the same way.
  guarded([gui] { gui->Form_Unload(); });
  endProcess(0);
}

}  // namespace probeaddr::qt
