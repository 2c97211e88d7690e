#include "qt_platform.h"

#include <QApplication>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QTimer>

#include "qt_comm_port.h"
#include "windows.h"

namespace probeaddr::qt {
namespace {

QString latin1(const std::string& text) {
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

QtWindows::QtWindows(SetAddGuiWindow* main) : main_(main) {}
QtWindows::~QtWindows() = default;

ProgressWindow* QtWindows::progressWindow() {
  if (progressClosed_) return nullptr;
  if (!progress_) {
    progress_ = std::make_unique<ProgressWindow>();
    if (onProgressWindow) onProgressWindow(progress_.get());
  }
  return progress_.get();
}

void QtWindows::setCaption(ValueLabel label, const std::string& caption) {
  if (main_) main_->label(form::controlOf(label))->setText(latin1(caption));
}

std::string QtWindows::addressText() {
  return main_ ? main_->addressBox()->text().toLatin1().toStdString() : std::string();
}

void QtWindows::setAddressText(const std::string& text) {
  if (main_) main_->addressBox()->setText(latin1(text));
}

void QtWindows::focusAddress() {
  if (main_) main_->addressBox()->setFocus(Qt::OtherFocusReason);
}

void QtWindows::selectAddressText(int start, int length) {
  if (main_) main_->addressBox()->setSelection(start, length);
}

void QtWindows::disableAddressBox() {
  if (main_) main_->addressBox()->setEnabled(false);
}

void QtWindows::disableAddressFrame() {
  if (main_) main_->control(form::Control::FRAddress)->setEnabled(false);
}

void QtWindows::disableWriteButton() {
  if (main_) main_->control(form::Control::CBWrite)->setEnabled(false);
}

void QtWindows::showProgressWindow() {
  if (ProgressWindow* window = progressWindow()) window->showCentredOn(main_);
}

void QtWindows::hideProgressWindow() {
  if (progress_) progress_->hide();
}

void QtWindows::setProgressMaximum(int maximum) {
  if (ProgressWindow* window = progressWindow()) window->bar()->setMaximum(maximum);
}

void QtWindows::setProgressValue(int value) {
  if (ProgressWindow* window = progressWindow()) window->bar()->setValue(value);
}

void QtWindows::closeMainWindow() {
  if (!main_) return;
  SetAddGuiWindow* window = main_;
  main_ = nullptr;   // the reference is cleared; the window object lives on with the program
  window->close();  // runs the unload handler, which returns at once while unloading
}

void QtWindows::closeProgressWindow() {
  if (progress_) progress_->close();
  progressClosed_ = true;
}

MessageAnswer QtWindows::show(const std::string& text, const std::string& title, MessageIcon icon,
                                   MessageButtons buttons) {
  const bool yesNo = buttons == MessageButtons::YesNo;
  QMessageBox::Icon qtIcon = QMessageBox::Information;
  if (icon == MessageIcon::Critical) qtIcon = QMessageBox::Critical;
  if (icon == MessageIcon::Exclamation) qtIcon = QMessageBox::Warning;
  // A carriage return starts a new line.
  QString shown = latin1(text);
  shown.replace(QLatin1String("\r\n"), QLatin1String("\n")).replace(QLatin1Char('\r'), QLatin1Char('\n'));
  QWidget* owner = main_;
  if (owner && !owner->isVisible()) owner = nullptr;
  QMessageBox box(qtIcon, latin1(title), shown, yesNo ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, owner);
  box.setTextFormat(Qt::PlainText);
  box.setWindowModality(Qt::ApplicationModal);
  if (yesNo) box.setEscapeButton(QMessageBox::No);
  const int answer = box.exec();
  if (!yesNo) return MessageAnswer::Ok;
  return answer == QMessageBox::Yes ? MessageAnswer::Yes : MessageAnswer::No;
}

void QtEventPump::pumpEvents() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

void QtEventPump::waitForEvents(TimePoint deadline, bool wakeOnPortInput) {
  if (wakeOnPortInput && port_.hasInput()) return;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) return;
  // The port's read notifier, the window system's connection and this timer
  // are what the dispatcher sleeps on; whichever comes first ends the sleep.
  QTimer wake;
  wake.setSingleShot(true);
  wake.setTimerType(Qt::PreciseTimer);
  wake.start(static_cast<int>(std::min<std::int64_t>(left.count(), 24 * 3600 * 1000)));
  QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

}  // namespace probeaddr::qt
