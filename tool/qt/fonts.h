// Fonts of the two windows. The windows ask for the families they were
// designed with ("MS Sans Serif", "Arial"); where those are not installed,
// metric-compatible or close sans-serif families stand in.
#pragma once

#include <QFont>

namespace probeaddr::qt {

// Registers the stand-ins once per process; call after QApplication exists.
void installFontSubstitutes();

// The family at `points` (fractions kept: 8.25, 9.75, 14.25), optionally bold.
QFont designFont(const char* family, double points, bool bold = false);

}  // namespace probeaddr::qt
