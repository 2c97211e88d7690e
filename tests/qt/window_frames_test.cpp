// The main window as drawn, read back pixel row by pixel row: each frame's
// caption sits on its top border, and the first row of controls lies inside
// the frame, clear of the border. Runs offscreen and under Xvfb, where
// PROBEADDR_SCREENSHOT names a file for the picture.
#include <gtest/gtest.h>

#include <QApplication>
#include <QGroupBox>

#include "fonts.h"
#include "windows.h"

TEST(WindowFrames, CaptionOnTheBorderFirstRowInside) {
  probeaddr::qt::SetAddGuiWindow window;
  window.show();
  const QImage image = window.grab().toImage();
  ASSERT_EQ(image.size(), QSize(293, 112));
  if (const char* path = std::getenv("PROBEADDR_SCREENSHOT")) image.save(QString::fromLocal8Bit(path));
  const QRgb background = image.pixel(1, 1);
  using probeaddr::form::Control;
  for (const auto& [frameName, firstRow] : {std::pair{Control::XPFrame3, Control::LBModel},
                                            std::pair{Control::FRAddress, Control::TBAddress}}) {
    const auto* frame = static_cast<QGroupBox*>(window.control(frameName));
    SCOPED_TRACE(frame->title().toStdString());
    const QRect box = frame->geometry();
    // The top border: the first row that is not background near the right edge.
    int border = box.top();
    while (border < box.top() + 20 && image.pixel(box.right() - 10, border) == background) ++border;
    // The caption's dark pixels reach above and below the border.
    int above = 0, below = 0;
    for (int y = box.top(); y < box.top() + 20; ++y)
      for (int x = box.left() + 4; x < box.left() + 40; ++x)
        if (qGray(image.pixel(x, y)) < 100) (y < border ? above : below) += y != border;
    EXPECT_GT(above, 0);
    EXPECT_GT(below, 0);
    EXPECT_GT(window.control(firstRow)->mapTo(&window, QPoint(0, 0)).y(), border + 1);  // clear of the border
  }
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  probeaddr::qt::installFontSubstitutes();
  return RUN_ALL_TESTS();
}
