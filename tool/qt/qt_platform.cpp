#include "qt_platform.h"

#include <QApplication>
#include <QEventLoop>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include "qt_comm_port.h"
#include "test_hook.h"
#include "windows.h"

namespace probeaddr::qt {
namespace {

QString latin1(const std::string& text) {
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

const char* nameOf(ValueLabel label) {
  switch (label) {
    case ValueLabel::LBModel: return "LBModel";
    case ValueLabel::LBFW: return "LBFW";
    case ValueLabel::LBFWDate: return "LBFWDate";
    case ValueLabel::LBSerial: return "LBSerial";
  }
  return "";
}

const char* nameOf(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::Critical: return "Critical";
    case MessageIcon::Exclamation: return "Exclamation";
    case MessageIcon::Information: return "Information";
  }
  return "";
}

void logWindow(const QWidget* window, const char* what) {
  if (TestHook* hook = TestHook::instance()) hook->record({"window", window->objectName().toStdString(), what});
}

}  // namespace

QtControls::QtControls(SetAddGuiWindow* main) : main_(main) {}
QtControls::~QtControls() = default;

ProgressWindow* QtControls::progressWindow() {
  if (!progress_) {
    progress_ = std::make_unique<ProgressWindow>();
    if (TestHook* hook = TestHook::instance()) hook->drive(main_, progress_.get());
  }
  return progress_.get();
}

void QtControls::setCaption(ValueLabel label, const std::string& caption) {
  if (!main_) return;
  QLabel* target = nullptr;
  switch (label) {
    case ValueLabel::LBModel: target = main_->LBModel; break;
    case ValueLabel::LBFW: target = main_->LBFW; break;
    case ValueLabel::LBFWDate: target = main_->LBFWDate; break;
    case ValueLabel::LBSerial: target = main_->LBSerial; break;
  }
  const QString text = latin1(caption);
  if (target->text() == text) return;
  target->setText(text);
  if (TestHook* hook = TestHook::instance()) hook->record({"caption", nameOf(label), caption});
}

std::string QtControls::addressText() {
  if (!main_) return {};
  return main_->TBAddress->text().toLatin1().toStdString();
}

void QtControls::setAddressText(const std::string& text) {
  if (!main_) return;
  main_->TBAddress->setText(latin1(text));
  if (TestHook* hook = TestHook::instance()) hook->record({"address", text});
}

void QtControls::focusAddress() {
  if (main_) main_->TBAddress->setFocus(Qt::OtherFocusReason);
}

void QtControls::selectAddressText(int start, int length) {
  if (main_) main_->TBAddress->setSelection(start, length);
}

void QtControls::disableAddressBox() {
  if (main_) main_->TBAddress->setEnabled(false);
}

void QtControls::disableAddressFrame() {
  if (main_) main_->FRAddress->setEnabled(false);
}

void QtControls::disableWriteButton() {
  if (main_) main_->CBWrite->setEnabled(false);
}

void QtControls::showProgressWindow() {
  if (progressClosed_) return;
  ProgressWindow* window = progressWindow();
  if (window->isVisible()) return;
  window->showCentredOn(main_);
  logWindow(window, "shown");
}

void QtControls::hideProgressWindow() {
  if (!progress_ || !progress_->isVisible()) return;
  progress_->hide();
  logWindow(progress_.get(), "hidden");
}

void QtControls::setProgressMaximum(int maximum) {
  if (progressClosed_) return;
  progressWindow()->PBar->setMaximum(maximum);
  logProgress();
}

void QtControls::setProgressValue(int value) {
  if (progressClosed_) return;
  progressWindow()->PBar->setValue(value);
  logProgress();
}

void QtControls::logProgress() {
  if (TestHook* hook = TestHook::instance()) {
    const QProgressBar* bar = progress_->PBar;
    hook->record({"progress", std::to_string(bar->value()), std::to_string(bar->maximum())});
  }
}

void QtControls::closeMainWindow() {
  if (!main_) return;
  SetAddGuiWindow* window = main_;
  window->close();  // runs the unload handler, which returns at once while unloading
  logWindow(window, "closed");
  main_ = nullptr;  // the reference is cleared; the window object lives on with the program
}

void QtControls::closeProgressWindow() {
  if (!progress_ || progressClosed_) return;
  progress_->close();
  logWindow(progress_.get(), "closed");
  progressClosed_ = true;
}

MessageAnswer QtMessageBoxes::show(const std::string& text, const std::string& title, MessageIcon icon,
                                   MessageButtons buttons) {
  const bool yesNo = buttons == MessageButtons::YesNo;
  if (TestHook* hook = TestHook::instance()) {
    const std::string answer = hook->answerFor(yesNo ? "YesNo" : "Ok");
    hook->record({"message", title, nameOf(icon), yesNo ? "YesNo" : "Ok", text, answer});
    if (!yesNo) return MessageAnswer::Ok;
    return answer == "Yes" ? MessageAnswer::Yes : MessageAnswer::No;
  }

  QMessageBox::Icon qtIcon = QMessageBox::Information;
  if (icon == MessageIcon::Critical) qtIcon = QMessageBox::Critical;
  if (icon == MessageIcon::Exclamation) qtIcon = QMessageBox::Warning;
  // A carriage return starts a new line.
  QString shown = latin1(text);
  shown.replace(QLatin1String("\r\n"), QLatin1String("\n")).replace(QLatin1Char('\r'), QLatin1Char('\n'));
  QWidget* owner = controls_.mainWindow();
  if (owner && !owner->isVisible()) owner = nullptr;
  QMessageBox box(qtIcon, latin1(title), shown,
                  yesNo ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, owner);
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
