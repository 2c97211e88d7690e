// The two windows of ProbeAddr, built in code: the main window SetAddGui and
// the progress window frmPBar. Positions and sizes are kept in twips, as the
// windows were designed, and converted at 15 twips per pixel (96 dpi, in
// Qt's device-independent pixels). The windows know nothing of the serial
// port or of the probe: they report user actions through the handlers that
// the program installs, and the program sets their captions and states.
#pragma once

#include <QWidget>

#include <functional>

class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace probeaddr::qt {

inline constexpr int kTwipsPerPixel = 15;
constexpr int twipsToPixels(int twips) { return twips / kTwipsPerPixel; }
QRect twipsRect(int left, int top, int width, int height);

inline constexpr const char* kMainCaption = "VEL KV210 Series - Set Address";
inline constexpr const char* kProgressCaption = "ProbeAddr - Connection  incoming...";

// The key code a key-down event carries for `key` (13 for Enter, the upper-case
// character code for letters and digits, 0 for keys nobody asks about).
int keyCodeOf(int qtKey);
// The shift state a key event carries: 1 Shift, 2 Ctrl, 4 Alt, added up.
int shiftStateOf(Qt::KeyboardModifiers modifiers);

class SetAddGuiWindow final : public QWidget {
 public:
  SetAddGuiWindow();

  // Controls, named as the rest of the program names them.
  QGroupBox* XPFrame3 = nullptr;
  QLabel* Label4 = nullptr;
  QLabel* Label3 = nullptr;
  QLabel* Label2 = nullptr;
  QLabel* Label1 = nullptr;
  QLabel* LBFWDate = nullptr;
  QLabel* LBModel = nullptr;
  QLabel* LBFW = nullptr;
  QLabel* LBSerial = nullptr;
  QGroupBox* FRAddress = nullptr;
  QLineEdit* TBAddress = nullptr;
  QPushButton* CBWrite = nullptr;
  QPushButton* CBExit = nullptr;

  // What the program does on the window's events; an empty handler ignores it.
  std::function<void()> onActivate;  // each time the window becomes active
  std::function<void()> onUnload;    // the window is closing, by whatever means
  std::function<void()> onWriteClick;
  std::function<void()> onExitClick;
  std::function<void(int keyCode, int shift)> onAddressKeyDown;

  // Places the window so that its client area is centred on the primary screen.
  void centreOnScreen();

 protected:
  bool event(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
};

class ProgressWindow final : public QWidget {
 public:
  ProgressWindow();

  QProgressBar* PBar = nullptr;

  // Shows the window without making it modal; the first time it is shown it
  // is centred on `owner` (when given).
  void showCentredOn(const QWidget* owner);

 private:
  bool placed_ = false;
};

}  // namespace probeaddr::qt
