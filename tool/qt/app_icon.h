#pragma once

#include <QIcon>

namespace probeaddr::qt {

// The program's icon, drawn at the usual sizes: a probe head on a blue disc
// with three field axes.
QIcon applicationIcon();

}  // namespace probeaddr::qt
