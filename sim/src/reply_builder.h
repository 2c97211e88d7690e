// The replies of a well-behaved probe, byte for byte.
#pragma once

#include "frame_parser.h"
#include "kv210/simulator.h"

namespace kv210::sim::detail {

// Appends a single-precision value least significant byte first.
void appendFloat(Bytes& out, float value);

// The reply to a parsed frame that this probe answers; empty for commands it
// takes silently ("!", "@c") and for unknown ones. `storeOpen` tells whether
// "@c" came right before, which an address store needs.
Bytes probeReply(const ParsedFrame& frame, const Identity& identity,
                 const Readings& readings, bool storeOpen);

// The reply letter + "ERR" + CR LF of a refused address store.
Bytes storeRefusal(char letter = 'e');

}  // namespace kv210::sim::detail
