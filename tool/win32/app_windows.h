// The two windows of ProbeAddr on the Win32 API: the main window SetAddGui
// and the progress window frmPBar. Positions, sizes and fonts are kept as
// designed, in twips and points, and converted at the system's DPI (15 twips
// a pixel at 96 dpi). The windows know nothing of the serial port or of the
// probe: they report user actions through the handlers the program installs,
// and the program sets their captions and states.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace probeaddr::win32 {

inline constexpr const char* kMainCaption = "VEL KV210 Series - Set Address";
inline constexpr const char* kProgressCaption = "ProbeAddr - Connection  incoming...";

// The main window's controls, in creation order (frames before their contents).
enum class Control {
  XPFrame3, Label4, Label3, Label2, Label1, LBFWDate, LBModel, LBFW, LBSerial,
  FRAddress, TBAddress, CBWrite, CBExit,
  Count
};
inline constexpr int kControlCount = static_cast<int>(Control::Count);
const char* nameOf(Control control);
// The frame a control sits in (its position is relative to it), or Count for
// the window itself.
Control frameOf(Control control);

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
  HWND control(Control c) const { return controls_[static_cast<int>(c)]; }
  // Places the window centred on the screen's work area and shows it.
  void showCentred();
  // Tab, Shift+Tab, access keys and Enter on a button, for a message meant
  // for this window; true when the message was used so.
  bool handleDialogKeys(MSG& message);
  void destroy();

  // What the program does on the window's events; an empty handler ignores it.
  std::function<void()> onActivate;  // each time the window becomes active
  std::function<void()> onUnload;    // the window is closing, by whatever means
  std::function<void()> onWriteClick;
  std::function<void()> onExitClick;
  std::function<void(int keyCode, int shift)> onAddressKeyDown;

 private:
  static LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK addressBoxProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);

  HWND hwnd_ = nullptr;
  HWND controls_[kControlCount] = {};
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
