// The Win32 side of what ProbeAddr's logic runs on: its controls, message
// boxes and event pump, over the two windows and the serial-port object.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>

#include "app_windows.h"
#include "probeaddr/clock.h"
#include "probeaddr/controls.h"
#include "probeaddr/event_pump.h"
#include "probeaddr/message_boxes.h"

namespace probeaddr::win32 {

class Win32CommPort;

// Message boxes are MessageBoxA's, owned by the main window while it is
// shown, so that each is modal to it.
class Win32Windows final : public Controls, public MessageBoxes {
 public:
  Win32Windows(SetAddGuiWindow& main, HINSTANCE instance, int dpi);
  ~Win32Windows() override;

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
  std::function<void(const ProgressWindow&)> onProgressWindow;

 private:
  // The progress window, created the first time it is asked for; null once closed.
  ProgressWindow* progressWindow();

  SetAddGuiWindow& main_;
  HINSTANCE instance_;
  int dpi_;
  std::unique_ptr<ProgressWindow> progress_;
  bool progressClosed_ = false;
};

// Pumping delivers what is waiting in the thread's message queue; waiting
// sleeps in MsgWaitForMultipleObjectsEx until a message, received bytes (the
// port's arrival event) or the deadline wakes it.
class Win32EventPump final : public EventPump {
 public:
  Win32EventPump(SetAddGuiWindow& main, Win32CommPort& port, Clock& clock)
      : main_(main), port_(port), clock_(clock) {}
  void pumpEvents() override;
  void waitForEvents(TimePoint deadline, bool wakeOnPortInput) override;
  // Delivers one message, with the main window's dialog keys.
  void dispatch(MSG& message);
  // Called after each message delivered.
  std::function<void()> afterMessage;

 private:
  SetAddGuiWindow& main_;
  Win32CommPort& port_;
  Clock& clock_;
};

}  // namespace probeaddr::win32
