#include "qt_comm_port.h"

#include <QFileInfo>

#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <algorithm>
#include <climits>

#include "port_ownership.h"
#include "port_list.h"
#include "posix_comm_port.h"

namespace probeaddr::qt {
namespace {

constexpr int kWriteTimeoutMs = 2000;  // a full 512-byte transmit buffer leaves in 0.55 s at 9600 baud
constexpr qint64 kReceiveBuffer = 1024;

QSerialPort::Parity toQt(Parity parity) {
  switch (parity) {
    case Parity::Even: return QSerialPort::EvenParity;
    case Parity::Odd: return QSerialPort::OddParity;
    case Parity::Mark: return QSerialPort::MarkParity;
    case Parity::Space: return QSerialPort::SpaceParity;
    case Parity::None: break;
  }
  return QSerialPort::NoParity;
}

QSerialPort::StopBits toQtStopBits(int timesTwo) {
  if (timesTwo == 3) return QSerialPort::OneAndHalfStop;
  if (timesTwo == 4) return QSerialPort::TwoStop;
  return QSerialPort::OneStop;
}

}  // namespace

QtCommPort::QtCommPort() {
  QObject::connect(&port_, &QSerialPort::errorOccurred, &port_,
                   [this](QSerialPort::SerialPortError error) { onError(error); });
}

std::string QtCommPort::deviceForNumber(std::int16_t number) {
  const std::vector<SerialDevice> ports = systemPorts();
  if (number < 1 || static_cast<std::size_t>(number) > ports.size()) return {};
  return ports[static_cast<std::size_t>(number) - 1].location;
}

void QtCommPort::openDevice(const std::string& device, const LineSettings& line) {
  // A link (/dev/serial/by-id/...) is claimed under its target's name, the
  // name every other program locks the device by; the user hears of it by
  // the name given.
  const QString target = QFileInfo(QString::fromStdString(device)).canonicalFilePath();
  if (target.isEmpty()) throw CommError(kErrInvalidPortNumber, vel::ownership::unavailableReason(device));
  port_.setPortName(target);
  port_.setBaudRate(line.baud);
  port_.setDataBits(static_cast<QSerialPort::DataBits>(line.dataBits));
  port_.setParity(toQt(line.parity));
  port_.setStopBits(toQtStopBits(line.stopBitsTimesTwo));
  port_.setFlowControl(QSerialPort::NoFlowControl);
  port_.setReadBufferSize(kReceiveBuffer);
  if (!port_.open(QIODevice::ReadWrite)) {
    const bool missing = port_.error() == QSerialPort::DeviceNotFoundError;
    port_.clearError();
    throw CommError(missing ? kErrInvalidPortNumber : kErrDeviceUnavailable, vel::ownership::unavailableReason(device));
  }
  // The driver library locks the device itself besides the lock file: hold
  // that lock too, so each finds the other whichever name it used.
  const int fd = static_cast<int>(port_.handle());
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    port_.close();
    port_.clearError();
    throw CommError(kErrDeviceUnavailable, vel::ownership::unavailableReason(device));
  }
  lockedFd_ = fd;
  // A pseudo-terminal has no modem lines: failing to set them is no failure.
  port_.setDataTerminalReady(true);
  port_.setRequestToSend(false);
  port_.clearError();
}

void QtCommPort::closeDevice() noexcept {
  if (lockedFd_ >= 0) ::flock(lockedFd_, LOCK_UN);
  lockedFd_ = -1;
  if (port_.isOpen()) port_.close();
  port_.clearError();
}

// Window events are not delivered here, so the count is right even inside
// a wait that pumps none.
void QtCommPort::pullPending() {
  int pending = 0;
  if (::ioctl(static_cast<int>(port_.handle()), FIONREAD, &pending) == 0 && pending > 0 &&
      port_.bytesAvailable() < kReceiveBuffer)
    port_.waitForReadyRead(0);
}

std::size_t QtCommPort::bytesWaiting() {
  pullPending();
  return static_cast<std::size_t>(port_.bytesAvailable());
}

Bytes QtCommPort::readWaiting() {
  pullPending();
  const QByteArray data = port_.readAll();
  return Bytes(data.begin(), data.end());
}

void QtCommPort::writeAll(std::string_view text) {
  if (port_.write(text.data(), static_cast<qint64>(text.size())) != static_cast<qint64>(text.size()))
    lost(PortLoss::Failed, port_.errorString().toStdString());
  while (usable() && port_.bytesToWrite() > 0)
    if (!port_.waitForBytesWritten(kWriteTimeoutMs) && usable()) lost(PortLoss::Failed, "writing timed out");
}

void QtCommPort::sleepUntilInput(TimePoint deadline) {
  pullPending();
  if (port_.bytesAvailable() > 0) return;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) return;
  port_.waitForReadyRead(static_cast<int>(std::min<std::int64_t>(left.count(), INT_MAX)));
  if (port_.error() == QSerialPort::TimeoutError) port_.clearError();
}

void QtCommPort::drain() noexcept {
  while (port_.bytesToWrite() > 0 && port_.waitForBytesWritten(kWriteTimeoutMs)) {
  }
  ::tcdrain(static_cast<int>(port_.handle()));
}

void QtCommPort::onError(QSerialPort::SerialPortError error) {
  if (error != QSerialPort::ResourceError && error != QSerialPort::ReadError && error != QSerialPort::WriteError)
    return;
  if (!usable()) return;
  noteLost(lossOf(static_cast<int>(port_.handle()), device()));
  // Stop watching a device that is gone, so nothing keeps waking up on it;
  // after the port has finished reporting.
  QMetaObject::invokeMethod(&port_, [this] { closeDevice(); }, Qt::QueuedConnection);
}

}  // namespace probeaddr::qt
