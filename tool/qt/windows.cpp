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
#include <QTimer>

#include "app_icon.h"
#include "fonts.h"

namespace probeaddr::qt {
namespace {

using form::Kind;

QRect pixelRect(const form::Rect& twips) {
  return QRect(form::pixels(twips.left), form::pixels(twips.top), form::pixels(twips.width),
               form::pixels(twips.height));
}

QString text(const char* latin1) { return QString::fromLatin1(latin1); }

QWidget* make(const form::ControlDesign& design, QWidget* parent) {
  QWidget* widget = nullptr;
  switch (design.kind) {
    case Kind::Frame: {
      auto* box = new QGroupBox(text(design.text), parent);
      // The caption sits on the top border, which runs through its middle, so
      // that the first row of controls (17 pixels down) lies inside the frame;
      // styles draw a group box's border below its title, where that row
      // would cover it.
      box->setStyleSheet(QStringLiteral(
          "QGroupBox { border: 1px solid palette(mid); border-radius: 2px; margin-top: 0.5em; }"
          "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left; left: 6px; padding: 0 2px; }"));
      widget = box;
      break;
    }
    case Kind::Caption:
    case Kind::Value: {
      auto* label = new QLabel(text(design.text), parent);
      label->setTextFormat(Qt::PlainText);
      label->setAlignment(design.kind == Kind::Caption ? Qt::AlignLeft | Qt::AlignVCenter : Qt::AlignCenter);
      if (design.kind == Kind::Value) {
        label->setAutoFillBackground(true);
        label->setBackgroundRole(QPalette::Base);
        label->setForegroundRole(QPalette::Text);
      }
      widget = label;
      break;
    }
    case Kind::TextBox:
      widget = new QLineEdit(text(design.text), parent);
      break;
    case Kind::Button: {
      auto* button = new QPushButton(text(design.text), parent);
      button->setAutoDefault(false);
      widget = button;
      break;
    }
    case Kind::ProgressBar:
      widget = new QProgressBar(parent);
      break;
  }
  widget->setObjectName(text(design.name));
  widget->setGeometry(pixelRect(design.twips));
  if (design.font.face) widget->setFont(designFont(design.font.face, design.font.centipoints / 100.0, design.font.bold));
  return widget;
}

}  // namespace

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
  setObjectName(text(form::kMainWindow.name));
  setWindowTitle(text(form::kMainWindow.caption));
  setWindowIcon(applicationIcon());
  resize(form::pixels(form::kMainWindow.clientWidth), form::pixels(form::kMainWindow.clientHeight));

  for (int i = 0; i < form::kControlCount; ++i) {
    const form::ControlDesign& design = form::kControls[i];
    controls_[i] = make(design, design.frame == form::kWindow ? this : control(design.frame));
    if (!form::takesFocus(static_cast<form::Control>(i))) controls_[i]->setFocusPolicy(Qt::NoFocus);
  }
  constexpr auto order = form::tabOrder();
  for (std::size_t i = 1; i < order.size(); ++i) setTabOrder(control(order[i - 1]), control(order[i]));
  control(order[0])->setFocus(Qt::OtherFocusReason);

  addressBox()->installEventFilter(this);
  auto clicked = [this](form::Control button, std::function<void()> WindowEvents::*handler) {
    QObject::connect(static_cast<QPushButton*>(control(button)), &QPushButton::clicked, this, [this, handler] {
      if (events.*handler) (events.*handler)();
    });
  };
  clicked(form::Control::CBWrite, &WindowEvents::writeClick);
  clicked(form::Control::CBExit, &WindowEvents::exitClick);
}

QLabel* SetAddGuiWindow::label(form::Control c) const { return static_cast<QLabel*>(control(c)); }

QLineEdit* SetAddGuiWindow::addressBox() const { return static_cast<QLineEdit*>(control(form::Control::TBAddress)); }

void SetAddGuiWindow::centreOnScreen() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (!screen) return;
  const QRect area = screen->availableGeometry();
  setGeometry(QRect(area.center() - QPoint(width() / 2, height() / 2), size()));
}

bool SetAddGuiWindow::event(QEvent* event) {
  const bool result = QWidget::event(event);
  // Let the activation finish (focus, repaint) before the cycle takes over the thread.
  if (event->type() == QEvent::WindowActivate)
    QTimer::singleShot(0, this, [this] {
      if (events.activate) events.activate();
    });
  return result;
}

void SetAddGuiWindow::closeEvent(QCloseEvent* event) {
  event->accept();  // the close is never refused
  if (events.unload) events.unload();
}

bool SetAddGuiWindow::eventFilter(QObject* watched, QEvent* event) {
  // A disabled box takes no keys, whoever sends them.
  QLineEdit* box = addressBox();
  if (watched == box && event->type() == QEvent::KeyPress && box->isEnabled() && events.addressKeyDown) {
    const auto* key = static_cast<QKeyEvent*>(event);
    events.addressKeyDown(keyCodeOf(key->key()), shiftStateOf(key->modifiers()));
  }
  return false;  // the key goes on to the box unchanged
}

ProgressWindow::ProgressWindow()
    : QWidget(nullptr, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint) {
  setObjectName(text(form::kProgressWindow.name));
  setWindowTitle(text(form::kProgressWindow.caption));
  setFixedSize(form::pixels(form::kProgressWindow.clientWidth), form::pixels(form::kProgressWindow.clientHeight));

  bar_ = static_cast<QProgressBar*>(make(form::kProgressBar, this));
  bar_->setRange(0, form::kProgressMaximum);
  bar_->setValue(form::kProgressMaximum);
  bar_->setTextVisible(false);
  bar_->setFocusPolicy(Qt::NoFocus);
  bar_->setStyleSheet(QStringLiteral(
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
