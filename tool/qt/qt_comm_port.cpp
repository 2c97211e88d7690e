#include "qt_comm_port.h"

#include <QFileInfo>

#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <algorithm>
#include <climits>

#include "probeaddr/port_diagnosis.h"

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

QtCommPort::~QtCommPort() { closeDevice(); }

void QtCommPort::setCommPort(std::int16_t number) {
  if (portOpen()) throw CommError(kErrPortAlreadyOpen, "Port already open");
  number_ = number;
  path_.clear();
}

void QtCommPort::setDevicePath(const std::string& path) {
  if (portOpen()) throw CommError(kErrPortAlreadyOpen, "Port already open");
  path_ = path;
}

void QtCommPort::setSettings(const std::string& settings) {
  const auto parsed = parseSettings(settings);
  if (!parsed) throw CommError(kErrInvalidPropertyValue, "Invalid property value");
  if (portOpen()) {
    const bool applied =
        port_.setBaudRate(parsed->baud) && port_.setDataBits(static_cast<QSerialPort::DataBits>(parsed->dataBits)) &&
        port_.setParity(toQt(parsed->parity)) && port_.setStopBits(toQtStopBits(parsed->stopBitsTimesTwo));
    if (!applied) throw CommError(kErrInvalidPropertyValue, "Invalid property value");
  }
  line_ = *parsed;
}

void QtCommPort::setPortOpen(bool open) {
  if (!open) {
    closeDevice();
    return;
  }
  if (portOpen()) throw CommError(kErrPortAlreadyOpen, "Port already open");

  std::string device;
  if (path_.empty()) {
    const std::vector<SerialDevice> ports = systemPorts();
    if (number_ < 1 || static_cast<std::size_t>(number_) > ports.size())
      throw CommError(kErrInvalidPortNumber, "Invalid port number");
    device = ports[static_cast<std::size_t>(number_) - 1].location;
  } else {
    // A link (/dev/serial/by-id/...) is claimed under its target's name, the
    // name every other program locks the device by.
    const QString target = QFileInfo(QString::fromStdString(path_)).canonicalFilePath();
    if (target.isEmpty()) throw CommError(kErrInvalidPortNumber, describeUnavailablePort(path_));
    device = target.toStdString();
  }
  device_ = device;
  failed_ = false;
  failure_.clear();

  port_.setPortName(QString::fromStdString(device));
  port_.setBaudRate(line_.baud);
  port_.setDataBits(static_cast<QSerialPort::DataBits>(line_.dataBits));
  port_.setParity(toQt(line_.parity));
  port_.setStopBits(toQtStopBits(line_.stopBitsTimesTwo));
  port_.setFlowControl(QSerialPort::NoFlowControl);
  port_.setReadBufferSize(kReceiveBuffer);
  if (!port_.open(QIODevice::ReadWrite)) {
    const QSerialPort::SerialPortError error = port_.error();
    port_.clearError();
    throw CommError(error == QSerialPort::DeviceNotFoundError ? kErrInvalidPortNumber : kErrDeviceUnavailable,
                    whyUnavailable());
  }
  // The driver library locks the device itself besides the lock file: hold
  // that lock too, so each finds the other whichever name it used.
  const int fd = static_cast<int>(port_.handle());
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    port_.close();
    port_.clearError();
    throw CommError(kErrDeviceUnavailable, whyUnavailable());
  }
  lockedFd_ = fd;
  // A pseudo-terminal has no modem lines: failing to set them is no failure.
  port_.setDataTerminalReady(true);
  port_.setRequestToSend(false);
  port_.clearError();
}

// Told for the path the user gave (a link as such); a numbered port's failure
// only moves the scan on, so its devices are not looked into.
std::string QtCommPort::whyUnavailable() const {
  return path_.empty() ? "Device unavailable" : describeUnavailablePort(path_);
}

void QtCommPort::closeDevice() {
  if (lockedFd_ >= 0) ::flock(lockedFd_, LOCK_UN);
  lockedFd_ = -1;
  if (port_.isOpen()) port_.close();
  port_.clearError();
}

void QtCommPort::requireUsable() {
  if (failed_) throw CommError(kErrDeviceFailed, failure_);
  if (!portOpen()) throw CommError(kErrPortNotOpen, "Operation valid only when the port is open");
}

// Moves what the device holds into the port's buffer; window events are not
// delivered, so the count is right even inside a wait that pumps none.
void QtCommPort::pullPending() {
  int pending = 0;
  if (::ioctl(static_cast<int>(port_.handle()), FIONREAD, &pending) == 0 && pending > 0 &&
      port_.bytesAvailable() < kReceiveBuffer)
    port_.waitForReadyRead(0);
}

bool QtCommPort::hasInput() {
  if (failed_ || !portOpen()) return false;
  pullPending();
  return !failed_ && port_.bytesAvailable() > 0;
}

int QtCommPort::inBufferCount() {
  requireUsable();
  pullPending();
  requireUsable();
  return static_cast<int>(std::min<qint64>(port_.bytesAvailable(), SHRT_MAX));
}

Bytes QtCommPort::input() {
  requireUsable();
  pullPending();
  const QByteArray data = port_.readAll();
  return Bytes(data.begin(), data.end());
}

void QtCommPort::output(std::string_view text) {
  requireUsable();
  if (text.empty()) return;
  if (port_.write(text.data(), static_cast<qint64>(text.size())) != static_cast<qint64>(text.size()))
    throw CommError(kErrDeviceFailed, "Write failed: " + port_.errorString().toStdString());
  while (port_.bytesToWrite() > 0) {
    const bool progressed = port_.waitForBytesWritten(kWriteTimeoutMs);
    requireUsable();
    if (!progressed) throw CommError(kErrDeviceFailed, "Write timed out");
  }
}

void QtCommPort::waitForInput(TimePoint deadline) {
  if (failed_ || !portOpen()) return;
  pullPending();
  if (port_.bytesAvailable() > 0) return;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) return;
  port_.waitForReadyRead(static_cast<int>(std::min<std::int64_t>(left.count(), INT_MAX)));
  if (port_.error() == QSerialPort::TimeoutError) port_.clearError();
}

void QtCommPort::finish() {
  if (!portOpen()) return;
  if (!failed_) {
    while (port_.bytesToWrite() > 0 && port_.waitForBytesWritten(kWriteTimeoutMs)) {
    }
    ::tcdrain(static_cast<int>(port_.handle()));
  }
  closeDevice();
}

void QtCommPort::onError(QSerialPort::SerialPortError error) {
  if (error != QSerialPort::ResourceError && error != QSerialPort::ReadError && error != QSerialPort::WriteError)
    return;
  if (failed_ || !portOpen()) return;
  failed_ = true;
  failure_ = "Device " + device_ + ": " + port_.errorString().toStdString();
  // Stop watching a device that is gone, so nothing keeps waking up on it;
  // after the port has finished reporting.
  QMetaObject::invokeMethod(&port_, [this] { closeDevice(); }, Qt::QueuedConnection);
}

}  // namespace probeaddr::qt
