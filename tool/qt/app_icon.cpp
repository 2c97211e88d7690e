#include "app_icon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace probeaddr::qt {
namespace {

QPixmap drawIcon(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / 32.0, size / 32.0);

  // Disc.
  QRadialGradient disc(QPointF(12, 10), 22);
  disc.setColorAt(0, QColor(90, 150, 240));
  disc.setColorAt(1, QColor(10, 50, 150));
  p.setPen(QPen(QColor(5, 30, 90), 1));
  p.setBrush(disc);
  p.drawEllipse(QRectF(1, 1, 30, 30));

  // Three axes from a common origin.
  const QPointF origin(13, 19);
  p.setPen(QPen(Qt::white, 2.2, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(origin, QPointF(13, 6));
  p.drawLine(origin, QPointF(26, 19));
  p.drawLine(origin, QPointF(6, 26));

  // Probe head at the origin.
  p.setPen(QPen(QColor(5, 30, 90), 1));
  p.setBrush(QColor(255, 200, 40));
  p.drawEllipse(origin, 3.5, 3.5);
  return pixmap;
}

}  // namespace

QIcon applicationIcon() {
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64, 128}) icon.addPixmap(drawIcon(size));
  return icon;
}

}  // namespace probeaddr::qt
