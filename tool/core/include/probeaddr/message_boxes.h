// Modal message boxes of ProbeAddr.
#pragma once

#include <string>

namespace probeaddr {

enum class MessageIcon { Critical, Exclamation, Information };
enum class MessageButtons { Ok, YesNo };
enum class MessageAnswer { Ok, Yes, No };

class MessageBoxes {
 public:
  virtual ~MessageBoxes() = default;
  // Shows a modal box and returns when the user has closed it: Ok for an Ok
  // box, Yes or No for a Yes/No box. Texts are used exactly; a carriage
  // return ("\r") in `text` starts a new line.
  virtual MessageAnswer show(const std::string& text, const std::string& title,
                             MessageIcon icon, MessageButtons buttons) = 0;
};

}  // namespace probeaddr
