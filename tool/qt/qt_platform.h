// The Qt side of what ProbeAddr's logic runs on: its controls, message boxes
// and event pump, over the two windows and the serial-port object.
#pragma once

#include <memory>

#include "probeaddr/controls.h"
#include "probeaddr/event_pump.h"
#include "probeaddr/message_boxes.h"

namespace probeaddr::qt {

class ProgressWindow;
class QtCommPort;
class SetAddGuiWindow;

class QtControls final : public Controls {
 public:
  explicit QtControls(SetAddGuiWindow* main);
  ~QtControls() override;

  void setCaption(ValueLabel label, const std::string& caption) override;
  std::string addressText() override;
  void setAddressText(const std::string& text) override;
  void focusAddress() override;
  void selectAddressText(int start, int length) override;
  void disableAddressBox() override;
  void disableAddressFrame() override;
  void disableWriteButton() override;
  void showProgressWindow() override;
  void hideProgressWindow() override;
  void setProgressMaximum(int maximum) override;
  void setProgressValue(int value) override;
  void closeMainWindow() override;
  void closeProgressWindow() override;

  SetAddGuiWindow* mainWindow() const { return main_; }
  // The progress window; created the first time it is asked for.
  ProgressWindow* progressWindow();

 private:
  void logProgress();

  SetAddGuiWindow* main_;
  std::unique_ptr<ProgressWindow> progress_;
  bool progressClosed_ = false;
};

class QtMessageBoxes final : public MessageBoxes {
 public:
  explicit QtMessageBoxes(QtControls& controls) : controls_(controls) {}
  MessageAnswer show(const std::string& text, const std::string& title, MessageIcon icon,
                     MessageButtons buttons) override;

 private:
  QtControls& controls_;
};

// Pumping delivers what is pending; waiting sleeps in the event dispatcher
// until a window event, received bytes, or a timer at the deadline wakes it.
class QtEventPump final : public EventPump {
 public:
  explicit QtEventPump(QtCommPort& port) : port_(port) {}
  void pumpEvents() override;
  void waitForEvents(TimePoint deadline, bool wakeOnPortInput) override;

 private:
  QtCommPort& port_;
};

}  // namespace probeaddr::qt
