// Controls that show nothing, for running the logic without windows
// (benchmarks, fuzzing): the address box is a plain text, the rest is ignored.
#pragma once

#include <string>

#include "probeaddr/controls.h"

namespace probeaddr {

class NullControls : public Controls {
 public:
  std::string text = "00";

  void setCaption(ValueLabel, const std::string&) override {}
  std::string addressText() override { return text; }
  void setAddressText(const std::string& t) override { text = t; }
  void focusAddress() override {}
  void selectAddressText(int, int) override {}
  void disableAddressBox() override {}
  void disableAddressFrame() override {}
  void disableWriteButton() override {}
  void showProgressWindow() override {}
  void hideProgressWindow() override {}
  void setProgressMaximum(int) override {}
  void setProgressValue(int) override {}
  void closeMainWindow() override {}
  void closeProgressWindow() override {}
};

}  // namespace probeaddr
