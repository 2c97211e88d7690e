#include "windows.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>

#include "app_icon.h"
#include "fonts.h"

namespace probeaddr::qt {
namespace {

template <typename W>
W* place(QWidget* parent, const char* name, QRect geometry, const QFont& font) {
  auto* widget = new W(parent);
  widget->setObjectName(QString::fromLatin1(name));
  widget->setGeometry(geometry);
  widget->setFont(font);
  return widget;
}

QLabel* captionLabel(QWidget* frame, const char* name, const char* text, QRect geometry) {
  auto* label = place<QLabel>(frame, name, geometry, designFont("Arial", 8.25, true));
  label->setText(QString::fromLatin1(text));
  label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  return label;
}

// Flat, on the window background colour, text centred; empty until a probe answers.
QLabel* valueLabel(QWidget* frame, const char* name, QRect geometry) {
  auto* label = place<QLabel>(frame, name, geometry, designFont("Arial", 9.75));
  label->setFrameShape(QFrame::NoFrame);
  label->setAutoFillBackground(true);
  label->setBackgroundRole(QPalette::Base);
  label->setForegroundRole(QPalette::Text);
  label->setAlignment(Qt::AlignCenter);
  label->setTextFormat(Qt::PlainText);
  return label;
}

// A frame as the window was designed: its caption sits on the top border, which
// runs through the caption's middle, so the first row of controls (17 pixels
// down) lies inside the frame. Styles draw a group box's border below its
// title instead, where the first row would cover it.
QGroupBox* frame(QWidget* parent, const char* name, const char* caption, QRect geometry, const QFont& font) {
  auto* box = place<QGroupBox>(parent, name, geometry, font);
  box->setTitle(QString::fromLatin1(caption));
  box->setStyleSheet(QStringLiteral(
      "QGroupBox { border: 1px solid palette(mid); border-radius: 2px; margin-top: 0.5em; }"
      "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left; left: 6px; padding: 0 2px; }"));
  return box;
}

}  // namespace

QRect twipsRect(int left, int top, int width, int height) {
  return QRect(twipsToPixels(left), twipsToPixels(top), twipsToPixels(width), twipsToPixels(height));
}

int keyCodeOf(int qtKey) {
  switch (qtKey) {
    case Qt::Key_Return:
    case Qt::Key_Enter: return 13;
    case Qt::Key_Backspace: return 8;
    case Qt::Key_Tab: return 9;
    case Qt::Key_Escape: return 27;
    case Qt::Key_Space: return 32;
    case Qt::Key_Delete: return 46;
    case Qt::Key_Left: return 37;
    case Qt::Key_Up: return 38;
    case Qt::Key_Right: return 39;
    case Qt::Key_Down: return 40;
    default: break;
  }
  if ((qtKey >= Qt::Key_0 && qtKey <= Qt::Key_9) || (qtKey >= Qt::Key_A && qtKey <= Qt::Key_Z)) return qtKey;
  return 0;
}

int shiftStateOf(Qt::KeyboardModifiers modifiers) {
  return (modifiers.testFlag(Qt::ShiftModifier) ? 1 : 0) + (modifiers.testFlag(Qt::ControlModifier) ? 2 : 0) +
         (modifiers.testFlag(Qt::AltModifier) ? 4 : 0);
}

SetAddGuiWindow::SetAddGuiWindow() {
  setObjectName(QStringLiteral("SetAddGui"));
  setWindowTitle(QString::fromLatin1(kMainCaption));
  setWindowIcon(applicationIcon());
  resize(twipsToPixels(4395), twipsToPixels(1680));

  const QFont frameFont = designFont("MS Sans Serif", 8.25);

  // Creation order: frames before their contents.
  XPFrame3 = frame(this, "XPFrame3", "Probe Data", twipsRect(120, 60, 2445, 1500), frameFont);
  Label4 = captionLabel(XPFrame3, "Label4", "S/N", twipsRect(135, 1155, 690, 210));
  Label3 = captionLabel(XPFrame3, "Label3", "FW Date", twipsRect(135, 855, 690, 210));
  Label2 = captionLabel(XPFrame3, "Label2", "FW Rel.", twipsRect(135, 555, 690, 210));
  Label1 = captionLabel(XPFrame3, "Label1", "Model", twipsRect(135, 255, 630, 210));
  LBFWDate = valueLabel(XPFrame3, "LBFWDate", twipsRect(1005, 855, 1245, 210));
  LBModel = valueLabel(XPFrame3, "LBModel", twipsRect(1005, 255, 1245, 210));
  LBFW = valueLabel(XPFrame3, "LBFW", twipsRect(1005, 555, 1245, 210));
  LBSerial = valueLabel(XPFrame3, "LBSerial", twipsRect(1005, 1155, 1245, 210));

  FRAddress = frame(this, "FRAddress", "New Address", twipsRect(2685, 60, 1605, 900), frameFont);
  TBAddress = place<QLineEdit>(FRAddress, "TBAddress", twipsRect(180, 345, 525, 375),
                               designFont("Arial", 14.25, true));
  TBAddress->setText(QStringLiteral("00"));
  CBWrite = place<QPushButton>(FRAddress, "CBWrite", twipsRect(840, 345, 600, 375), frameFont);
  CBWrite->setText(QStringLiteral("&Write"));
  CBWrite->setAutoDefault(false);

  CBExit = place<QPushButton>(this, "CBExit", twipsRect(3495, 1185, 765, 390), frameFont);
  CBExit->setText(QStringLiteral("&Exit"));
  CBExit->setAutoDefault(false);

  // Only the buttons and the address box take the focus, in the cycle
  // CBExit, TBAddress, CBWrite; CBExit holds it when the window first shows.
  for (QWidget* w : std::initializer_list<QWidget*>{XPFrame3, FRAddress, Label1, Label2, Label3, Label4, LBModel,
                                                    LBFW, LBFWDate, LBSerial})
    w->setFocusPolicy(Qt::NoFocus);
  setTabOrder(CBExit, TBAddress);
  setTabOrder(TBAddress, CBWrite);
  CBExit->setFocus(Qt::OtherFocusReason);

  TBAddress->installEventFilter(this);
  QObject::connect(CBWrite, &QPushButton::clicked, this, [this] {
    if (onWriteClick) onWriteClick();
  });
  QObject::connect(CBExit, &QPushButton::clicked, this, [this] {
    if (onExitClick) onExitClick();
  });
}

void SetAddGuiWindow::centreOnScreen() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (!screen) return;
  const QRect area = screen->availableGeometry();
  setGeometry(QRect(area.center() - QPoint(width() / 2, height() / 2), size()));
}

bool SetAddGuiWindow::event(QEvent* event) {
  const bool result = QWidget::event(event);
  if (event->type() == QEvent::WindowActivate && onActivate) onActivate();
  return result;
}

void SetAddGuiWindow::closeEvent(QCloseEvent* event) {
  // The close is never refused.
  event->accept();
  if (onUnload) onUnload();
}

bool SetAddGuiWindow::eventFilter(QObject* watched, QEvent* event) {
  // A disabled box takes no keys, whoever sends them.
  if (watched == TBAddress && event->type() == QEvent::KeyPress && TBAddress->isEnabled() && onAddressKeyDown) {
    const auto* key = static_cast<QKeyEvent*>(event);
    onAddressKeyDown(keyCodeOf(key->key()), shiftStateOf(key->modifiers()));
  }
  return false;  // the key goes on to the box unchanged
}

ProgressWindow::ProgressWindow()
    : QWidget(nullptr, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint) {
  setObjectName(QStringLiteral("frmPBar"));
  setWindowTitle(QString::fromLatin1(kProgressCaption));
  setFixedSize(twipsToPixels(3135), twipsToPixels(495));

  PBar = new QProgressBar(this);
  PBar->setObjectName(QStringLiteral("PBar"));
  PBar->setGeometry(twipsRect(150, 120, 2850, 285));
  PBar->setOrientation(Qt::Horizontal);
  PBar->setRange(0, 10);
  PBar->setValue(10);
  PBar->setTextVisible(false);
  PBar->setFocusPolicy(Qt::NoFocus);
  QPalette palette = PBar->palette();
  palette.setColor(QPalette::Highlight, QColor(0, 60, 220));
  PBar->setPalette(palette);
  PBar->setStyleSheet(QStringLiteral(
      "QProgressBar { border: 1px solid palette(dark); background: palette(base); }"
      "QProgressBar::chunk { background-color: rgb(0, 60, 220); }"));
}

void ProgressWindow::showCentredOn(const QWidget* owner) {
  if (!placed_ && owner) {
    setGeometry(QRect(owner->geometry().center() - QPoint(width() / 2, height() / 2), size()));
    placed_ = true;
  }
  show();
}

}  // namespace probeaddr::qt
