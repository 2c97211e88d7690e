#include "test_hook.h"

#include <QApplication>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "probeaddr/test_log.h"
#include "windows.h"

// Runs the window system's shortcuts (access keys) for a key press, as a key
// from the window system would; QtGui exports it for its test library.
Q_GUI_EXPORT bool qt_sendShortcutOverrideEvent(QObject* o, ulong timestamp, int k, Qt::KeyboardModifiers mods,
                                               const QString& text = QString(), bool autorep = false,
                                               ushort count = 1);

namespace probeaddr::qt {
namespace {

void sendKey(QWidget* target, int key, const QString& text, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
  if (!target || qt_sendShortcutOverrideEvent(target, 0, key, modifiers, text)) return;
  QKeyEvent press(QEvent::KeyPress, key, modifiers, text);
  QApplication::sendEvent(target, &press);
  QKeyEvent release(QEvent::KeyRelease, key, modifiers, text);
  QApplication::sendEvent(target, &release);
}

int keyForCharacter(QChar c) {
  if (c.isLetter()) return Qt::Key_A + (c.toUpper().unicode() - 'A');
  return c.unicode();  // digits, blanks and signs share their character code
}

}  // namespace

TestDriver::TestDriver(TestLog& log, SetAddGuiWindow& main) : log_(log), main_(main) {
  ::fcntl(STDIN_FILENO, F_SETFL, ::fcntl(STDIN_FILENO, F_GETFL) | O_NONBLOCK);
  auto* notifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, QCoreApplication::instance());
  QObject::connect(notifier, &QSocketNotifier::activated, notifier, [this, notifier] {
    char buffer[512];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
      notifier->setEnabled(false);  // no more commands
      return;
    }
    if (n > 0) pending_.append(buffer, static_cast<std::size_t>(n));
    readCommands();
  });
}

void TestDriver::readCommands() {
  for (std::size_t end; (end = pending_.find('\n')) != std::string::npos;) {
    std::string command = pending_.substr(0, end);
    pending_.erase(0, end + 1);
    if (!command.empty() && command.back() == '\r') command.pop_back();
    // A command may start a wait that delivers events (a write reads the
    // probe's reply), and with them the next command: take this one off first.
    run(command);
  }
}

void TestDriver::run(std::string_view command) {
  log_.record({"command", command});
  const std::size_t space = command.find(' ');
  const std::string_view verb = command.substr(0, space);
  const std::string_view argument = space == std::string_view::npos ? std::string_view{} : command.substr(space + 1);
  QLineEdit* box = main_.addressBox();
  if ((verb == "type" || verb == "key") && QApplication::activeWindow() != &main_) {
    // Keys go to the active window: bring the main window up, as a user would.
    main_.activateWindow();
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents | QEventLoop::ExcludeSocketNotifiers);
  }
  if (verb == "type") {
    box->setFocus(Qt::OtherFocusReason);
    box->selectAll();
    sendKey(box, Qt::Key_Delete, QString());
    for (QChar c : QString::fromLatin1(argument.data(), static_cast<qsizetype>(argument.size())))
      sendKey(box, keyForCharacter(c), QString(c));
  } else if (verb == "key") {
    QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : main_.focusWidget();
    if (argument == "Return") sendKey(target, Qt::Key_Return, QStringLiteral("\r"));
    else if (argument == "Enter") sendKey(target, Qt::Key_Enter, QStringLiteral("\r"));
    else if (argument == "Tab") sendKey(target, Qt::Key_Tab, QStringLiteral("\t"));
    else if (argument == "Escape") sendKey(target, Qt::Key_Escape, QString(QChar(27)));
    else if (argument.size() == 1) sendKey(target, keyForCharacter(QChar(argument[0])), QString(QChar(argument[0])));
    else if (argument.size() == 5 && argument.starts_with("alt+"))
      sendKey(target, keyForCharacter(QChar(argument[4])), QString(), Qt::AltModifier);
  } else if (verb == "click") {
    const QString name = QString::fromLatin1(argument.data(), static_cast<qsizetype>(argument.size()));
    if (auto* button = main_.findChild<QPushButton*>(name)) button->click();
  } else if (verb == "close") {
    main_.close();
  } else if (verb == "activate") {
    QEvent activation(QEvent::WindowActivate);
    QApplication::sendEvent(&main_, &activation);
  } else if (verb == "dump") {
    dump();
  }
}

void TestDriver::dump() {
  // The control that holds the focus within its window (the window itself
  // need not be the active one).
  const QWidget* focus = main_.focusWidget();
  auto state = [&](const QWidget* w, const QString& text) {
    log_.record({"state", w->objectName().toStdString(), text.toStdString(), w->isEnabled() ? "enabled" : "disabled",
                 w->isVisible() ? "visible" : "hidden", w == focus ? "focus" : "-"});
  };
  state(&main_, main_.windowTitle());
  for (const QLabel* label : main_.findChildren<QLabel*>()) state(label, label->text());
  for (const QGroupBox* frame : main_.findChildren<QGroupBox*>()) state(frame, frame->title());
  state(main_.addressBox(), main_.addressBox()->text());
  for (const QPushButton* button : main_.findChildren<QPushButton*>()) state(button, button->text());
  if (progress_) {
    state(progress_, progress_->windowTitle());
    if (auto* bar = progress_->findChild<QProgressBar*>())
      state(bar, QString::number(bar->value()) + "/" + QString::number(bar->maximum()));
  }
}

}  // namespace probeaddr::qt
