// Serial link primitives: the query frames, draining the receive queue, the
// event-pumping delay and the two short waits for reply bytes.
#include <algorithm>
#include <limits>

#include "probeaddr/set_add_gui.h"

namespace probeaddr {
namespace {

using namespace std::chrono_literals;
constexpr auto kReplyWait = 500ms;

std::int16_t saturated16(std::int64_t value) {
  return static_cast<std::int16_t>(
      std::clamp<std::int64_t>(value, std::numeric_limits<std::int16_t>::min(),
                               std::numeric_limits<std::int16_t>::max()));
}

void keepLatest(Bytes& bytes, std::size_t limit) {
  if (bytes.size() > limit) bytes.erase(bytes.begin(), bytes.end() - static_cast<std::ptrdiff_t>(limit));
}

}  // namespace

void SetAddGui::SendQuery(std::int16_t askIndex) {
  switch (askIndex) {
    case 0: p_.port.output("#00!*"); break;
    case 1: p_.port.output(SerialQuery); break;
    case 2: p_.port.output("#00?v*"); break;
    case 3: p_.port.output("#00?P*"); break;
    default: break;  // nothing to send
  }
}

void SetAddGui::flushcom() {
  RxChunk = p_.port.input();
  RxText.clear();
}

void SetAddGui::delay(float ms) {
  const auto length = std::chrono::duration<float, std::milli>(std::max(ms, 0.0f));
  waitPumping(p_.clock.now() + std::chrono::duration_cast<Duration>(length));
}

// Pumps events at least once and then whenever one arrives, until `deadline`.
void SetAddGui::waitPumping(TimePoint deadline) {
  for (;;) {
    p_.pump.pumpEvents();
    if (p_.clock.now() >= deadline) return;
    p_.pump.waitForEvents(deadline, false);
  }
}

// Neither wait pumps events: between reads they sleep on the port alone.
std::int16_t SetAddGui::AtLeast(std::int16_t n) {
  const TimePoint deadline = p_.clock.now() + kReplyWait;
  const auto wanted = static_cast<std::size_t>(std::max<int>(n, 0));
  while (p_.clock.now() < deadline && RxText.size() < wanted) {
    if (p_.port.inBufferCount() != 0) {
      RxChunk = p_.port.input();
      RxText += UtilLib::BytesToStr(RxChunk);
    } else {
      p_.port.waitForInput(deadline);
    }
  }
  return saturated16(static_cast<std::int64_t>(RxText.size()));
}

std::int16_t SetAddGui::AtLeastArr(std::int16_t n) {
  const TimePoint deadline = p_.clock.now() + kReplyWait;
  while (p_.clock.now() < deadline && UtilLib::UpperBound(RxBytes) < n) {
    if (p_.port.inBufferCount() != 0) {
      RxChunk = p_.port.input();
      if (!BlockRead) {
        RxBytes = UtilLib::AppendBytes(RxBytes, RxChunk);
        keepLatest(RxBytes, kRxBytesLimit);
      }
      RxText += UtilLib::BytesToStr(RxChunk);
    } else {
      p_.port.waitForInput(deadline);
    }
  }
  return saturated16(UtilLib::UpperBound(RxBytes));
}

// A chunk read by the reply window enters RxBytes less its two oldest bytes.
// Once the data block has been read RxBytes serves nothing and stays empty;
// before that only its latest kRxBytesLimit bytes are kept.
void SetAddGui::keepReceived(const Bytes& chunk) {
  if (BlockRead) {
    RxBytes.clear();
    return;
  }
  using namespace UtilLib;
  RxBytes = AppendBytes(RxBytes, chunk);
  RxBytes = MidBytes(RxBytes, 3, TailLen(UpperBound(RxBytes), 3));
  keepLatest(RxBytes, kRxBytesLimit);
}

}  // namespace probeaddr
