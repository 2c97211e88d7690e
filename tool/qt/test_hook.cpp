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
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "windows.h"

#include "probeaddr/log_text.h"

namespace probeaddr::qt {
namespace {

long long millisecondsSinceStart() {
  static const auto start = std::chrono::steady_clock::now();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

void sendKey(QWidget* target, int key, const QString& text) {
  if (!target) return;
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
  QApplication::sendEvent(target, &press);
  QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
  QApplication::sendEvent(target, &release);
}

int keyForCharacter(QChar c) {
  if (c.isLetter()) return Qt::Key_A + (c.toUpper().unicode() - 'A');
  return c.unicode();  // digits, blanks and signs share their character code
}

}  // namespace

TestHook* TestHook::instance() {
  static TestHook* hook = [] () -> TestHook* {
    const char* path = std::getenv("PROBEADDR_TEST_LOG");
    if (!path || !*path) return nullptr;
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
      std::fprintf(stderr, "ProbeAddr: cannot write the test log %s\n", path);
      return nullptr;
    }
    const char* answer = std::getenv("PROBEADDR_TEST_ANSWER");
    return new TestHook(fd, answer && std::string_view(answer) == "Yes" ? "Yes" : "No");
  }();
  return hook;
}

TestHook::TestHook(int fd, std::string answer) : fd_(fd), answer_(std::move(answer)) { millisecondsSinceStart(); }

void TestHook::log(std::string_view line) {
  std::string text(line);
  text += '\n';
  // One write per line, so a reader never sees half a line.
  if (::write(fd_, text.data(), text.size()) < 0) { /* a test log that cannot be written is no reason to stop */ }
}

void TestHook::record(std::initializer_list<std::string_view> fields) {
  std::string line = std::to_string(millisecondsSinceStart());
  for (std::string_view field : fields) {
    line += '\t';
    line += escapeForLog(field);
  }
  log(line);
}

std::string TestHook::answerFor(std::string_view buttons) const { return buttons == "YesNo" ? answer_ : "Ok"; }

void TestHook::flush() { ::fsync(fd_); }

void TestHook::drive(SetAddGuiWindow* main, QWidget* progress) {
  main_ = main;
  progress_ = progress;
  if (driving_) return;
  driving_ = true;
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

void TestHook::readCommands() {
  for (std::size_t end; (end = pending_.find('\n')) != std::string::npos;) {
    std::string command = pending_.substr(0, end);
    pending_.erase(0, end + 1);
    if (!command.empty() && command.back() == '\r') command.pop_back();
    // A command may start a wait that delivers events (a write reads the
    // probe's reply), and with them the next command: take this one off first.
    run(command);
  }
}

void TestHook::run(std::string_view command) {
  record({"command", command});
  const std::size_t space = command.find(' ');
  const std::string_view verb = command.substr(0, space);
  const std::string_view argument = space == std::string_view::npos ? std::string_view{} : command.substr(space + 1);
  if (!main_) return;
  if (verb == "type") {
    main_->TBAddress->setFocus(Qt::OtherFocusReason);
    main_->TBAddress->selectAll();
    sendKey(main_->TBAddress, Qt::Key_Delete, QString());
    for (QChar c : QString::fromLatin1(argument.data(), static_cast<qsizetype>(argument.size())))
      sendKey(main_->TBAddress, keyForCharacter(c), QString(c));
  } else if (verb == "key") {
    QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : main_->focusWidget();
    if (argument == "Return") sendKey(target, Qt::Key_Return, QStringLiteral("\r"));
    else if (argument == "Enter") sendKey(target, Qt::Key_Enter, QStringLiteral("\r"));
    else if (argument == "Tab") sendKey(target, Qt::Key_Tab, QStringLiteral("\t"));
    else if (argument == "Escape") sendKey(target, Qt::Key_Escape, QString(QChar(27)));
    else if (argument.size() == 1) sendKey(target, keyForCharacter(QChar(argument[0])), QString(QChar(argument[0])));
  } else if (verb == "click") {
    if (argument == "CBWrite") main_->CBWrite->click();
    else if (argument == "CBExit") main_->CBExit->click();
  } else if (verb == "close") {
    main_->close();
  } else if (verb == "activate") {
    QEvent activation(QEvent::WindowActivate);
    QApplication::sendEvent(main_, &activation);
  } else if (verb == "dump") {
    dump();
  }
}

void TestHook::dump() {
  if (!main_) return;
  // The control that holds the focus within its window (the window itself
  // need not be the active one).
  const QWidget* focus = main_->focusWidget();
  auto state = [&](const QWidget* w, const QString& text) {
    record({"state", w->objectName().toStdString(), text.toStdString(), w->isEnabled() ? "enabled" : "disabled",
            w->isVisible() ? "visible" : "hidden", w == focus ? "focus" : "-"});
  };
  state(main_, main_->windowTitle());
  for (const QLabel* label : main_->findChildren<QLabel*>()) state(label, label->text());
  for (const QGroupBox* frame : main_->findChildren<QGroupBox*>()) state(frame, frame->title());
  state(main_->TBAddress, main_->TBAddress->text());
  state(main_->CBWrite, main_->CBWrite->text());
  state(main_->CBExit, main_->CBExit->text());
  if (progress_) {
    state(progress_, progress_->windowTitle());
    if (auto* bar = progress_->findChild<QProgressBar*>())
      state(bar, QString::number(bar->value()) + "/" + QString::number(bar->maximum()));
  }
}

}  // namespace probeaddr::qt
