// The design of ProbeAddr's two windows, which every window layer draws as it
// stands: captions, positions and sizes in twips (1/1440 inch, 15 a pixel at
// 96 dpi; a control inside a frame is placed from the frame's corner), fonts
// in points, and the tab order.
#pragma once

#include <array>

#include "probeaddr/controls.h"

namespace probeaddr::form {

struct Font {
  const char* face;
  int centipoints;  // 825 is 8.25 points
  bool bold;
};
inline constexpr Font kFrameFont{"MS Sans Serif", 825, false};
inline constexpr Font kCaptionFont{"Arial", 825, true};
inline constexpr Font kValueFont{"Arial", 975, false};
inline constexpr Font kAddressFont{"Arial", 1425, true};

// Frame: a titled group box. Caption: a bold label. Value: a flat label on
// the window colours, its text centred, empty until a probe answers.
enum class Kind { Frame, Caption, Value, TextBox, Button, ProgressBar };

// The main window's controls, in creation order (frames before their contents).
enum class Control {
  XPFrame3, Label4, Label3, Label2, Label1, LBFWDate, LBModel, LBFW, LBSerial,
  FRAddress, TBAddress, CBWrite, CBExit,
  Count  // as a frame: the window itself
};
inline constexpr int kControlCount = static_cast<int>(Control::Count);

struct Rect {
  int left, top, width, height;
};

struct ControlDesign {
  const char* name;
  Kind kind;
  Control frame;
  const char* text;  // "&" marks the access key
  Rect twips;
  Font font;
  int tabIndex;
};

inline constexpr Control kWindow = Control::Count;

// Indexed by Control.
inline constexpr ControlDesign kControls[kControlCount] = {
    {"XPFrame3", Kind::Frame, kWindow, "Probe Data", {120, 60, 2445, 1500}, kFrameFont, 4},
    {"Label4", Kind::Caption, Control::XPFrame3, "S/N", {135, 1155, 690, 210}, kCaptionFont, 12},
    {"Label3", Kind::Caption, Control::XPFrame3, "FW Date", {135, 855, 690, 210}, kCaptionFont, 11},
    {"Label2", Kind::Caption, Control::XPFrame3, "FW Rel.", {135, 555, 690, 210}, kCaptionFont, 10},
    {"Label1", Kind::Caption, Control::XPFrame3, "Model", {135, 255, 630, 210}, kCaptionFont, 9},
    {"LBFWDate", Kind::Value, Control::XPFrame3, "", {1005, 855, 1245, 210}, kValueFont, 8},
    {"LBModel", Kind::Value, Control::XPFrame3, "", {1005, 255, 1245, 210}, kValueFont, 7},
    {"LBFW", Kind::Value, Control::XPFrame3, "", {1005, 555, 1245, 210}, kValueFont, 6},
    {"LBSerial", Kind::Value, Control::XPFrame3, "", {1005, 1155, 1245, 210}, kValueFont, 5},
    {"FRAddress", Kind::Frame, kWindow, "New Address", {2685, 60, 1605, 900}, kFrameFont, 1},
    {"TBAddress", Kind::TextBox, Control::FRAddress, "00", {180, 345, 525, 375}, kAddressFont, 2},
    {"CBWrite", Kind::Button, Control::FRAddress, "&Write", {840, 345, 600, 375}, kFrameFont, 3},
    {"CBExit", Kind::Button, kWindow, "&Exit", {3495, 1185, 765, 390}, kFrameFont, 0},
};

struct WindowDesign {
  const char* name;
  const char* caption;
  int clientWidth, clientHeight;  // twips
};
inline constexpr WindowDesign kMainWindow{"SetAddGui", "VEL KV210 Series - Set Address", 4395, 1680};
inline constexpr WindowDesign kProgressWindow{"frmPBar", "ProbeAddr - Connection  incoming...", 3135, 495};
// The progress window's one control: blue, from 0 to 10, at 10 as stored.
inline constexpr ControlDesign kProgressBar{"PBar", Kind::ProgressBar, kWindow, "", {150, 120, 2850, 285}, {}, 0};
inline constexpr int kProgressMaximum = 10;

constexpr const ControlDesign& design(Control control) { return kControls[static_cast<int>(control)]; }
constexpr const char* nameOf(Control control) {
  return control == kWindow ? kMainWindow.name : design(control).name;
}
constexpr bool takesFocus(Control control) {
  return design(control).kind == Kind::TextBox || design(control).kind == Kind::Button;
}

// The controls that take the focus, by tab index; the first holds it when
// the window first shows.
constexpr std::array<Control, 3> tabOrder() {
  std::array<Control, 3> order{};
  std::size_t n = 0;
  for (int index = 0; index < kControlCount; ++index)
    for (int i = 0; i < kControlCount; ++i)
      if (kControls[i].tabIndex == index && takesFocus(static_cast<Control>(i))) order[n++] = static_cast<Control>(i);
  return order;
}

constexpr Control controlOf(ValueLabel label) {
  switch (label) {
    case ValueLabel::LBModel: return Control::LBModel;
    case ValueLabel::LBFW: return Control::LBFW;
    case ValueLabel::LBFWDate: return Control::LBFWDate;
    case ValueLabel::LBSerial: break;
  }
  return Control::LBSerial;
}

// Twips (or centipoints, with 7200 a inch) at `dpi`, to the nearest pixel.
constexpr int pixels(int twips, int dpi = 96, int perInch = 1440) { return (twips * dpi + perInch / 2) / perInch; }

}  // namespace probeaddr::form
