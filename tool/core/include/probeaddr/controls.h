// The controls of ProbeAddr's two windows, as far as the logic uses them.
// Texts are single-byte (Latin-1): one character per byte.
#pragma once

#include <string>

namespace probeaddr {

enum class ValueLabel { LBModel, LBFW, LBFWDate, LBSerial };

class Controls {
 public:
  virtual ~Controls() = default;

  // Value labels: set the caption.
  virtual void setCaption(ValueLabel label, const std::string& caption) = 0;

  // TBAddress.
  virtual std::string addressText() = 0;
  virtual void setAddressText(const std::string& text) = 0;
  virtual void focusAddress() = 0;
  virtual void selectAddressText(int start, int length) = 0;
  virtual void disableAddressBox() = 0;
  // FRAddress and CBWrite.
  virtual void disableAddressFrame() = 0;
  virtual void disableWriteButton() = 0;

  // frmPBar (shown without being modal and without an owner) and its PBar.
  virtual void showProgressWindow() = 0;
  virtual void hideProgressWindow() = 0;
  virtual void setProgressMaximum(int maximum) = 0;
  virtual void setProgressValue(int value) = 0;

  // Shutdown: close the windows. The logic has already run the main window's
  // unload handler when it calls closeMainWindow; an implementation whose
  // close runs SetAddGui::Form_Unload again is harmless (it returns at once).
  virtual void closeMainWindow() = 0;
  virtual void closeProgressWindow() = 0;
};

}  // namespace probeaddr
