#include "program.h"

#include <QApplication>
#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>

#include "probeaddr/program.h"
#include "probeaddr/test_log.h"
#include "qt_comm_port.h"
#include "qt_platform.h"
#include "test_hook.h"
#include "windows.h"

namespace probeaddr::qt {
namespace {

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
  // Made once and kept to the end of the process.
  auto* window = new SetAddGuiWindow;
  auto* port = new QtCommPort;
  auto* windows = new QtWindows(window);
  auto* pump = new QtEventPump(*port);
  auto* clock = new SteadyClock;
  if (TestLog* log = TestLog::instance()) {
    auto* driver = new TestDriver(*log, *window);
    windows->onProgressWindow = [driver](ProgressWindow* progress) { driver->setProgressWindow(progress); };
  }
  closeOnTerminationSignals(window);

  runProgram({*port, *windows, *windows, *pump, *clock, window->events,
              [window] {
                window->centreOnScreen();
                window->show();
                // Where no window manager activates new windows (a bare X
                // server), ask for it; the offscreen platform does by itself.
                if (QGuiApplication::platformName() != QLatin1String("offscreen")) window->activateWindow();
              },
              [] { QApplication::exec(); }},
             std::move(arguments));
}

}  // namespace probeaddr::qt
