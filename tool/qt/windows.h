// The two windows of ProbeAddr drawn with Qt widgets from their design
// (probeaddr/form_design.h), in Qt's device-independent pixels (15 twips
// each). The windows know nothing of the serial port or of the probe: they
// report user actions through `events`, and the program sets their captions
// and states.
#pragma once

#include <QWidget>

#include "probeaddr/form_design.h"
#include "probeaddr/program.h"

class QLabel;
class QLineEdit;
class QProgressBar;

namespace probeaddr::qt {

// The key code a key-down event carries for `key` (13 for Enter, the upper-case
// character code for letters and digits, 0 for keys nobody asks about).
int keyCodeOf(int qtKey);
// The shift state a key event carries: 1 Shift, 2 Ctrl, 4 Alt, added up.
int shiftStateOf(Qt::KeyboardModifiers modifiers);

class SetAddGuiWindow final : public QWidget {
 public:
  SetAddGuiWindow();

  QWidget* control(form::Control c) const { return controls_[static_cast<int>(c)]; }
  QLabel* label(form::Control c) const;
  QLineEdit* addressBox() const;

  WindowEvents events;

  // Places the window so that its client area is centred on the primary screen.
  void centreOnScreen();

 protected:
  bool event(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QWidget* controls_[form::kControlCount] = {};
};

class ProgressWindow final : public QWidget {
 public:
  ProgressWindow();

  QProgressBar* bar() const { return bar_; }
  // Shows the window without making it modal; the first time it is shown it
  // is centred on `owner` (when given).
  void showCentredOn(const QWidget* owner);

 private:
  QProgressBar* bar_;
  bool placed_ = false;
};

}  // namespace probeaddr::qt
