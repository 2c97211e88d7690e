// The two windows of ProbeAddr on the Win32 API, drawn from their design
// (probeaddr/form_design.h) at the system's DPI. The windows know nothing of
// the serial port or of the probe: they report user actions through
// `events`, and the program sets their captions and states.
#pragma once

#include <windows.h>

#include <string>

#include "probeaddr/form_design.h"
#include "probeaddr/program.h"

namespace probeaddr::win32 {

// The window system's DPI, for converting twips and points.
int systemDpi();
// A window's caption or a control's text.
std::string windowText(HWND hwnd);

class SetAddGuiWindow {
 public:
  // Creates the window with every control, hidden.
  SetAddGuiWindow(HINSTANCE instance, int dpi);
  SetAddGuiWindow(const SetAddGuiWindow&) = delete;
  SetAddGuiWindow& operator=(const SetAddGuiWindow&) = delete;

  // Null once the window has been destroyed.
  HWND hwnd() const { return hwnd_; }
  HWND control(form::Control c) const { return c == form::kWindow ? hwnd_ : controls_[static_cast<int>(c)]; }
  // Places the window centred on the screen's work area and shows it.
  void showCentred();
  // Tab, Shift+Tab, access keys and Enter on a button, for a message meant
  // for this window; true when the message was used so.
  bool handleDialogKeys(MSG& message);
  void destroy();

  WindowEvents events;

 private:
  static LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK addressBoxProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);

  HWND hwnd_ = nullptr;
  HWND controls_[form::kControlCount] = {};
  HWND lastFocus_ = nullptr;  // given the focus back when the window is activated again
  WNDPROC editProc_ = nullptr;
};

class ProgressWindow {
 public:
  ProgressWindow(HINSTANCE instance, int dpi);
  ProgressWindow(const ProgressWindow&) = delete;
  ProgressWindow& operator=(const ProgressWindow&) = delete;

  HWND hwnd() const { return hwnd_; }
  HWND bar() const { return bar_; }
  // Shows the window without an owner and without making it modal; the first
  // time it is centred on `owner`, later it keeps its place.
  void showCentredOn(HWND owner);
  void destroy();

 private:
  static LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

  HWND hwnd_ = nullptr;
  HWND bar_ = nullptr;
  bool placed_ = false;
};

}  // namespace probeaddr::win32
