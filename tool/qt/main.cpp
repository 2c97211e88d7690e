// ProbeAddr: shows the identity of the KV210 probe on a serial port and writes
// a new bus address into it.
//   ProbeAddr [COM=n | COMM=n | PORT=/dev/...]
#include <QApplication>
#include <QStringList>

#include <string>
#include <vector>

#include "fonts.h"
#include "program.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("ProbeAddr"));
  QApplication::setQuitOnLastWindowClosed(false);
  probeaddr::qt::installFontSubstitutes();

  // The arguments, without the program's path and those Qt took for itself.
  QStringList arguments = QApplication::arguments();
  if (!arguments.isEmpty()) arguments.removeFirst();
  std::vector<std::string> commandLine;
  for (const QString& argument : arguments) commandLine.push_back(argument.toLocal8Bit().toStdString());

  probeaddr::qt::runProbeAddr(std::move(commandLine));
}
