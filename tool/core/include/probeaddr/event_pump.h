// The window system's event delivery, as ProbeAddr's waits use it.
#pragma once

#include "probeaddr/types.h"

namespace probeaddr {

// The logic never sleeps on its own: between looks at the clock or the port
// it sleeps here, so an idle tool costs next to no CPU. User actions (Write,
// Enter, Exit, closing the window) run nested inside these calls, by calling
// the SetAddGui handlers.
class EventPump {
 public:
  virtual ~EventPump() = default;
  // Delivers the window events that are pending now, then returns.
  virtual void pumpEvents() = 0;
  // Sleeps until a window event is pending, `deadline` (on the logic's Clock)
  // has passed, or, with `wakeOnPortInput`, received bytes are waiting at the
  // port. Returns at once when one of these already holds. May deliver the
  // events it wakes for, as pumpEvents would.
  virtual void waitForEvents(TimePoint deadline, bool wakeOnPortInput) = 0;
};

}  // namespace probeaddr
