#include "fonts.h"

#include <QStringList>

namespace probeaddr::qt {

void installFontSubstitutes() {
  static bool done = false;
  if (done) return;
  done = true;
  // Liberation Sans has Arial's metrics, so captions keep their widths; the
  // bitmap "MS Sans Serif" is closest to the same family at 8.25 pt.
  const QStringList sans = {"Liberation Sans", "Arimo", "Arial", "Helvetica", "DejaVu Sans"};
  QFont::insertSubstitutions("MS Sans Serif", sans);
  QFont::insertSubstitutions("Arial", sans);
}

QFont designFont(const char* family, double points, bool bold) {
  QFont font(QString::fromLatin1(family));
  font.setPointSizeF(points);
  font.setBold(bold);
  font.setStyleHint(QFont::SansSerif);
  return font;
}

}  // namespace probeaddr::qt
