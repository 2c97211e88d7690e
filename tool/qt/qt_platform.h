// The Qt side of what ProbeAddr's logic runs on: the two windows as its
// controls and message boxes, and the event pump.
#pragma once

#include <functional>
#include <memory>

#include "probeaddr/controls.h"
#include "probeaddr/event_pump.h"
#include "probeaddr/message_boxes.h"

namespace probeaddr::qt {

class ProgressWindow;
class QtCommPort;
class SetAddGuiWindow;

// Message boxes are owned by the main window while it is shown.
class QtWindows final : public Controls, public MessageBoxes {
 public:
  explicit QtWindows(SetAddGuiWindow* main);
  ~QtWindows() override;

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
  MessageAnswer show(const std::string& text, const std::string& title, MessageIcon icon,
                     MessageButtons buttons) override;

  // Called with the progress window when it has been made.
  std::function<void(ProgressWindow*)> onProgressWindow;

 private:
  // The progress window, made the first time it is asked for; null once closed.
  ProgressWindow* progressWindow();

  SetAddGuiWindow* main_;
  std::unique_ptr<ProgressWindow> progress_;
  bool progressClosed_ = false;
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
