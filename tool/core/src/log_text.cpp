#include "probeaddr/log_text.h"

#include <cstdio>

namespace probeaddr {

std::string escapeForLog(std::string_view text) {
  std::string out;
  for (const unsigned char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      default:
        if (c < 32 || c == 127) {
          char hex[5];
          std::snprintf(hex, sizeof hex, "\\x%02X", c);
          out += hex;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

}  // namespace probeaddr
