#pragma once

namespace velprobe {
// The --help text: complete enough to serve as the manual.
extern const char* const kHelpText;
}  // namespace velprobe
