// The two windows as designed: captions, client sizes, every control's kind,
// parent, geometry (twips / 15), font, focus cycle and access keys. Runs on
// the offscreen platform and under Xvfb; under a real X server it also saves
// a screenshot of the main window (PROBEADDR_SCREENSHOT names the file).
#include <gtest/gtest.h>

#include <QApplication>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QWindow>

#include <cstdlib>

#include "fonts.h"
#include "windows.h"

namespace probeaddr::qt {
namespace {

// Lets the window system catch up (mapping, activation) for about `ms`.
void settle(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

class WindowLayout : public ::testing::Test {
 protected:
  void SetUp() override {
    window.centreOnScreen();
    window.show();
    window.activateWindow();
    settle(300);
  }
  SetAddGuiWindow window;
};

struct ExpectedControl {
  const char *name, *parent, *kind, *text;
  QRect pixels;  // from the design's twips, worked out by hand
  const char* family;  // as designed
  double points;
  bool bold;
};

const ExpectedControl kControls[] = {
    {"XPFrame3", "SetAddGui", "QGroupBox", "Probe Data", {8, 4, 163, 100}, "MS Sans Serif", 8.25, false},
    {"Label4", "XPFrame3", "QLabel", "S/N", {9, 77, 46, 14}, "Arial", 8.25, true},
    {"Label3", "XPFrame3", "QLabel", "FW Date", {9, 57, 46, 14}, "Arial", 8.25, true},
    {"Label2", "XPFrame3", "QLabel", "FW Rel.", {9, 37, 46, 14}, "Arial", 8.25, true},
    {"Label1", "XPFrame3", "QLabel", "Model", {9, 17, 42, 14}, "Arial", 8.25, true},
    {"LBFWDate", "XPFrame3", "QLabel", "", {67, 57, 83, 14}, "Arial", 9.75, false},
    {"LBModel", "XPFrame3", "QLabel", "", {67, 17, 83, 14}, "Arial", 9.75, false},
    {"LBFW", "XPFrame3", "QLabel", "", {67, 37, 83, 14}, "Arial", 9.75, false},
    {"LBSerial", "XPFrame3", "QLabel", "", {67, 77, 83, 14}, "Arial", 9.75, false},
    {"FRAddress", "SetAddGui", "QGroupBox", "New Address", {179, 4, 107, 60}, "MS Sans Serif", 8.25, false},
    {"TBAddress", "FRAddress", "QLineEdit", "00", {12, 23, 35, 25}, "Arial", 14.25, true},
    {"CBWrite", "FRAddress", "QPushButton", "&Write", {56, 23, 40, 25}, "MS Sans Serif", 8.25, false},
    {"CBExit", "SetAddGui", "QPushButton", "&Exit", {233, 79, 51, 26}, "MS Sans Serif", 8.25, false},
};

TEST_F(WindowLayout, MainWindowCaptionSizeAndIcon) {
  EXPECT_EQ(window.windowTitle(), QStringLiteral("VEL KV210 Series - Set Address"));
  EXPECT_EQ(window.size(), QSize(293, 112));
  EXPECT_FALSE(window.windowIcon().isNull());
  // Centred on the screen (within the frame's few pixels).
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  EXPECT_LE(std::abs(window.geometry().center().x() - screen.center().x()), 12);
  EXPECT_LE(std::abs(window.geometry().center().y() - screen.center().y()), 30);
}

TEST_F(WindowLayout, EveryControlAsDesigned) {
  const QStringList substitutes = {"Liberation Sans", "Arimo", "Arial", "Helvetica", "DejaVu Sans"};
  for (const ExpectedControl& control : kControls) {
    SCOPED_TRACE(control.name);
    auto* w = window.findChild<QWidget*>(QString::fromLatin1(control.name));
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(QString::fromLatin1(w->metaObject()->className()), QString::fromLatin1(control.kind));
    EXPECT_EQ(w->parentWidget()->objectName(), QString::fromLatin1(control.parent));
    EXPECT_EQ(w->geometry(), control.pixels);
    EXPECT_EQ(w->property(qobject_cast<QGroupBox*>(w) ? "title" : "text").toString(), QLatin1String(control.text));
    EXPECT_TRUE(w->isVisible());
    EXPECT_EQ(w->font().family(), QString::fromLatin1(control.family));
    EXPECT_DOUBLE_EQ(w->font().pointSizeF(), control.points);
    EXPECT_EQ(w->font().bold(), control.bold);
    // What is drawn is the family or one of its stand-ins, at the designed size.
    const QFontInfo drawn(w->font());
    EXPECT_TRUE(drawn.family() == QString::fromLatin1(control.family) || substitutes.contains(drawn.family()))
        << drawn.family().toStdString();
    EXPECT_NEAR(drawn.pointSizeF(), control.points, 0.8);
  }
}

TEST_F(WindowLayout, ValueLabelsAreFlatCentredOnWindowColours) {
  for (QLabel* label : {window.LBModel, window.LBFW, window.LBFWDate, window.LBSerial}) {
    SCOPED_TRACE(label->objectName().toStdString());
    EXPECT_EQ(label->frameShape(), QFrame::NoFrame);
    EXPECT_TRUE(label->autoFillBackground());
    EXPECT_EQ(label->backgroundRole(), QPalette::Base);
    EXPECT_EQ(label->foregroundRole(), QPalette::Text);
    EXPECT_TRUE(label->alignment().testFlag(Qt::AlignHCenter));
  }
}

TEST_F(WindowLayout, FocusStartsOnExitAndCyclesExitAddressWriteWithAccessKeys) {
  EXPECT_EQ(window.focusWidget(), window.CBExit);
  // Only three controls take the focus, in this cycle.
  std::vector<QString> cycle;
  QWidget* w = window.CBExit;
  for (int i = 0; i < 4; ++i, w = w->nextInFocusChain()) {
    while (w->focusPolicy() == Qt::NoFocus || w == &window) w = w->nextInFocusChain();
    cycle.push_back(w->objectName());
  }
  EXPECT_EQ(cycle, (std::vector<QString>{"CBExit", "TBAddress", "CBWrite", "CBExit"}));
  EXPECT_EQ(window.CBWrite->shortcut(), QKeySequence(Qt::ALT | Qt::Key_W));
  EXPECT_EQ(window.CBExit->shortcut(), QKeySequence(Qt::ALT | Qt::Key_E));
}

TEST_F(WindowLayout, ProgressWindowIsAFixedToolWindowCentredOnTheMainWindow) {
  ProgressWindow progress;
  progress.showCentredOn(&window);
  settle(200);
  EXPECT_EQ(progress.windowTitle(), QStringLiteral("ProbeAddr - Connection  incoming..."));
  EXPECT_EQ(progress.size(), QSize(209, 33));
  EXPECT_EQ(progress.minimumSize(), progress.maximumSize());
  const Qt::WindowFlags flags = progress.windowFlags();
  EXPECT_EQ(flags & Qt::WindowType_Mask, Qt::Tool);  // no task-bar entry
  EXPECT_FALSE(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
  EXPECT_FALSE(progress.isModal());
  EXPECT_EQ(progress.parentWidget(), nullptr);
  EXPECT_LE((progress.geometry().center() - window.geometry().center()).manhattanLength(), 2);

  ASSERT_NE(progress.PBar, nullptr);
  EXPECT_EQ(progress.PBar->geometry(), QRect(10, 8, 190, 19));
  EXPECT_EQ(progress.PBar->orientation(), Qt::Horizontal);
  EXPECT_EQ(std::tuple(progress.PBar->minimum(), progress.PBar->maximum(), progress.PBar->value()),
            std::tuple(0, 10, 10));
  const QColor chunk = progress.PBar->palette().color(QPalette::Highlight);
  EXPECT_GT(chunk.blue(), 2 * std::max(chunk.red(), chunk.green()));

  // Its place is kept when it comes back.
  progress.move(progress.pos() + QPoint(40, 0));
  const QPoint moved = progress.pos();
  progress.hide();
  progress.showCentredOn(&window);
  EXPECT_EQ(progress.pos(), moved);
}

TEST_F(WindowLayout, Screenshot) {
  const char* path = std::getenv("PROBEADDR_SCREENSHOT");
  if (!path || QGuiApplication::platformName() != QLatin1String("xcb"))
    GTEST_SKIP() << "screenshots are taken under Xvfb only";
  settle(200);
  const QPixmap shot = window.screen()->grabWindow(window.winId());
  ASSERT_FALSE(shot.isNull());
  EXPECT_EQ(shot.size() / shot.devicePixelRatio(), QSize(293, 112));
  EXPECT_TRUE(shot.save(QString::fromLocal8Bit(path)));
}

}  // namespace
}  // namespace probeaddr::qt

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  probeaddr::qt::installFontSubstitutes();
  return RUN_ALL_TESTS();
}
