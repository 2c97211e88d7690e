#include "app_windows.h"

#include <commctrl.h>

#include <map>
#include <string>
#include <tuple>

#include "resource.h"

namespace probeaddr::win32 {
namespace {

using form::Control;
using form::Kind;

constexpr const char* kMainClass = "ProbeAddr.SetAddGui";
constexpr const char* kProgressClass = "ProbeAddr.frmPBar";
constexpr UINT kActivatedMessage = WM_APP + 1;
constexpr int kFirstControlId = 100;  // clear of IDOK and IDCANCEL, which the dialog keys send

struct ControlClass {
  const char* windowClass;
  DWORD style;
  DWORD exStyle;
};

// Value labels are flat, on the window colours (WM_CTLCOLORSTATIC), text centred.
ControlClass classOf(Kind kind) {
  switch (kind) {
    case Kind::Frame: return {"BUTTON", BS_GROUPBOX, 0};
    case Kind::Caption: return {"STATIC", SS_LEFT | SS_NOPREFIX | SS_CENTERIMAGE, 0};
    case Kind::Value: return {"STATIC", SS_CENTER | SS_NOPREFIX | SS_CENTERIMAGE, 0};
    case Kind::TextBox: return {"EDIT", ES_LEFT | ES_AUTOHSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE};
    case Kind::Button: return {"BUTTON", BS_PUSHBUTTON | WS_TABSTOP, 0};
    case Kind::ProgressBar: break;
  }
  return {PROGRESS_CLASSA, PBS_SMOOTH, 0};
}

int pixels(int twips, int dpi) { return form::pixels(twips, dpi); }

// Each font is made once and lives as long as the program.
HFONT fontFor(const form::Font& design, int dpi) {
  static std::map<std::tuple<std::string, int, bool>, HFONT> made;
  HFONT& font = made[{design.face, design.centipoints, design.bold}];
  if (!font)
    font = CreateFontA(-form::pixels(design.centipoints, dpi, 7200), 0, 0, 0, design.bold ? FW_BOLD : FW_NORMAL, FALSE,
                       FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_SWISS, design.face);
  return font;
}

// The outer size of a window whose client area is `width` x `height`.
SIZE outerSize(int width, int height, DWORD style, DWORD exStyle) {
  RECT r{0, 0, width, height};
  AdjustWindowRectEx(&r, style, FALSE, exStyle);
  return {r.right - r.left, r.bottom - r.top};
}

void registerClass(const char* name, WNDPROC proc, HINSTANCE instance, bool withIcon) {
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = proc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = name;
  if (withIcon) {
    wc.hIcon = static_cast<HICON>(LoadImageA(instance, MAKEINTRESOURCEA(IDI_PROBEADDR), IMAGE_ICON,
                                             GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
    wc.hIconSm = static_cast<HICON>(LoadImageA(instance, MAKEINTRESOURCEA(IDI_PROBEADDR), IMAGE_ICON,
                                               GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
  }
  RegisterClassExA(&wc);
}

// The shift state a key event carries: 1 Shift, 2 Ctrl, 4 Alt, added up.
int shiftState() {
  return (GetKeyState(VK_SHIFT) < 0 ? 1 : 0) + (GetKeyState(VK_CONTROL) < 0 ? 2 : 0) +
         (GetKeyState(VK_MENU) < 0 ? 4 : 0);
}

// Blue whatever the visual style: a themed bar takes no colour, so the theme
// is taken off it (uxtheme is loaded only where it exists).
void paintBlue(HWND bar) {
  if (HMODULE uxtheme = LoadLibraryA("uxtheme.dll")) {
    using SetWindowThemeFn = HRESULT(WINAPI*)(HWND, LPCWSTR, LPCWSTR);
    if (FARPROC proc = GetProcAddress(uxtheme, "SetWindowTheme"))
      reinterpret_cast<SetWindowThemeFn>(reinterpret_cast<void*>(proc))(bar, L" ", L" ");
  }
  SendMessageA(bar, PBM_SETBARCOLOR, 0, RGB(0, 60, 220));
}

}  // namespace

int systemDpi() {
  HDC screen = GetDC(nullptr);
  const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
  if (screen) ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : 96;
}

std::string windowText(HWND hwnd) {
  std::string text(static_cast<std::size_t>(GetWindowTextLengthA(hwnd)) + 1, '\0');
  text.resize(static_cast<std::size_t>(GetWindowTextA(hwnd, text.data(), static_cast<int>(text.size()))));
  return text;
}

SetAddGuiWindow::SetAddGuiWindow(HINSTANCE instance, int dpi) {
  static const bool registered = (registerClass(kMainClass, windowProc, instance, true), true);
  (void)registered;
  // A resizable frame; nothing reacts to it. (No WS_CLIPCHILDREN: the frames'
  // insides are the window's own background.)
  constexpr DWORD style = WS_OVERLAPPEDWINDOW;
  const SIZE outer = outerSize(pixels(form::kMainWindow.clientWidth, dpi), pixels(form::kMainWindow.clientHeight, dpi),
                               style, 0);
  hwnd_ = CreateWindowExA(0, kMainClass, form::kMainWindow.caption, style, CW_USEDEFAULT, CW_USEDEFAULT, outer.cx,
                          outer.cy, nullptr, nullptr, instance, this);
  if (!hwnd_) return;

  for (int i = 0; i < form::kControlCount; ++i) {
    const form::ControlDesign& c = form::kControls[i];
    int left = pixels(c.twips.left, dpi), top = pixels(c.twips.top, dpi);
    if (c.frame != form::kWindow) {
      // A contained control is placed by its frame's corner; it stays a child
      // of the window, since a group box passes no notifications on.
      left += pixels(form::design(c.frame).twips.left, dpi);
      top += pixels(form::design(c.frame).twips.top, dpi);
    }
    const ControlClass kind = classOf(c.kind);
    controls_[i] = CreateWindowExA(kind.exStyle, kind.windowClass, c.text, WS_CHILD | WS_VISIBLE | kind.style, left,
                                   top, pixels(c.twips.width, dpi), pixels(c.twips.height, dpi), hwnd_,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(kFirstControlId + i)), instance,
                                   nullptr);
    SendMessageA(controls_[i], WM_SETFONT, reinterpret_cast<WPARAM>(fontFor(c.font, dpi)), FALSE);
  }
  // Tab follows the order of the windows: the focus takers go last, by tab index.
  for (Control c : form::tabOrder())
    SetWindowPos(control(c), HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);

  HWND box = control(Control::TBAddress);
  SetWindowLongPtrA(box, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  editProc_ = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrA(box, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&SetAddGuiWindow::addressBoxProc)));
  lastFocus_ = control(form::tabOrder()[0]);  // holds the focus when the window first shows
}

void SetAddGuiWindow::showCentred() {
  RECT area{}, window{};
  SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
  GetWindowRect(hwnd_, &window);
  const int width = window.right - window.left, height = window.bottom - window.top;
  SetWindowPos(hwnd_, nullptr, area.left + (area.right - area.left - width) / 2,
               area.top + (area.bottom - area.top - height) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  ShowWindow(hwnd_, SW_SHOW);
  UpdateWindow(hwnd_);
  SetForegroundWindow(hwnd_);
}

bool SetAddGuiWindow::handleDialogKeys(MSG& message) {
  return hwnd_ && (message.hwnd == hwnd_ || IsChild(hwnd_, message.hwnd)) && IsDialogMessageA(hwnd_, &message);
}

void SetAddGuiWindow::destroy() {
  if (!hwnd_) return;
  HWND window = hwnd_;
  hwnd_ = nullptr;
  for (HWND& c : controls_) c = nullptr;
  DestroyWindow(window);
}

LRESULT CALLBACK SetAddGuiWindow::windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE)
    SetWindowLongPtrA(hwnd, GWLP_USERDATA,
                      reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams));
  auto* self = reinterpret_cast<SetAddGuiWindow*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (!self || !self->hwnd_) return DefWindowProcA(hwnd, message, wParam, lParam);
  return self->handle(message, wParam, lParam);
}

LRESULT SetAddGuiWindow::handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_ACTIVATE:
      if (LOWORD(wParam) == WA_INACTIVE) {
        HWND focus = GetFocus();
        if (focus && IsChild(hwnd_, focus)) lastFocus_ = focus;
      } else {
        // A plain window would take the focus itself; give it to the control that had it.
        HWND target = lastFocus_ && IsWindowEnabled(lastFocus_) ? lastFocus_ : control(form::tabOrder()[0]);
        SetFocus(target);
        // The cycle may start from here and never return: let the activation finish first.
        PostMessageA(hwnd_, kActivatedMessage, 0, 0);
      }
      return 0;
    case kActivatedMessage:
      if (events.activate) events.activate();
      return 0;
    case WM_COMMAND:
      if (HIWORD(wParam) == BN_CLICKED) {
        const int id = LOWORD(wParam) - kFirstControlId;
        if (id == static_cast<int>(Control::CBWrite) && events.writeClick) events.writeClick();
        if (id == static_cast<int>(Control::CBExit) && events.exitClick) events.exitClick();
      }
      return 0;
    case WM_CTLCOLORSTATIC: {
      const auto label = reinterpret_cast<HWND>(lParam);
      for (int i = 0; i < form::kControlCount; ++i) {
        if (label != controls_[i] || form::kControls[i].kind != Kind::Value) continue;
        const auto dc = reinterpret_cast<HDC>(wParam);
        SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
        SetBkColor(dc, GetSysColor(COLOR_WINDOW));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
      }
      break;
    }
    case WM_CLOSE:
      // The close is never refused; the unload sequence ends the program.
      if (events.unload) events.unload();
      else destroy();
      return 0;
    case WM_ENDSESSION:
      if (wParam && events.unload) events.unload();
      return 0;
    default:
      break;
  }
  return DefWindowProcA(hwnd_, message, wParam, lParam);
}

LRESULT CALLBACK SetAddGuiWindow::addressBoxProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<SetAddGuiWindow*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  const WNDPROC original = self->editProc_;
  switch (message) {
    case WM_GETDLGCODE: {
      // Enter belongs to the box, not to the dialog keys.
      const auto* key = reinterpret_cast<const MSG*>(lParam);
      if (key && key->message == WM_KEYDOWN && key->wParam == VK_RETURN)
        return CallWindowProcA(original, hwnd, message, wParam, lParam) | DLGC_WANTALLKEYS;
      break;
    }
    case WM_KEYDOWN:
      // Key codes are the virtual-key codes (Enter 13); the key goes on to the box.
      if (self->events.addressKeyDown) self->events.addressKeyDown(static_cast<int>(wParam), shiftState());
      break;
    case WM_CHAR:
      if (wParam == '\r' || wParam == '\n') return 0;  // a one-line box would only beep at it
      break;
    default:
      break;
  }
  return CallWindowProcA(original, hwnd, message, wParam, lParam);
}

ProgressWindow::ProgressWindow(HINSTANCE instance, int dpi) {
  static const bool registered = (registerClass(kProgressClass, windowProc, instance, false), true);
  (void)registered;
  // A fixed tool window: thin border, small caption, no task-bar entry, no owner.
  constexpr DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU;
  constexpr DWORD exStyle = WS_EX_TOOLWINDOW;
  const SIZE outer = outerSize(pixels(form::kProgressWindow.clientWidth, dpi),
                               pixels(form::kProgressWindow.clientHeight, dpi), style, exStyle);
  hwnd_ = CreateWindowExA(exStyle, kProgressClass, form::kProgressWindow.caption, style, CW_USEDEFAULT, CW_USEDEFAULT,
                          outer.cx, outer.cy, nullptr, nullptr, instance, nullptr);
  if (!hwnd_) return;
  const form::Rect& r = form::kProgressBar.twips;
  const ControlClass kind = classOf(form::kProgressBar.kind);
  bar_ = CreateWindowExA(kind.exStyle, kind.windowClass, "", WS_CHILD | WS_VISIBLE | kind.style, pixels(r.left, dpi),
                         pixels(r.top, dpi), pixels(r.width, dpi), pixels(r.height, dpi), hwnd_, nullptr, instance,
                         nullptr);
  paintBlue(bar_);
  SendMessageA(bar_, PBM_SETRANGE32, 0, form::kProgressMaximum);
  SendMessageA(bar_, PBM_SETPOS, form::kProgressMaximum, 0);
}

void ProgressWindow::showCentredOn(HWND owner) {
  if (!placed_ && owner) {
    RECT main{}, own{};
    GetWindowRect(owner, &main);
    GetWindowRect(hwnd_, &own);
    SetWindowPos(hwnd_, nullptr, (main.left + main.right - (own.right - own.left)) / 2,
                 (main.top + main.bottom - (own.bottom - own.top)) / 2, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    placed_ = true;
  }
  ShowWindow(hwnd_, SW_SHOW);
}

void ProgressWindow::destroy() {
  if (!hwnd_) return;
  HWND window = hwnd_;
  hwnd_ = bar_ = nullptr;
  DestroyWindow(window);
}

LRESULT CALLBACK ProgressWindow::windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  // It has no handler of its own: closing it by its box only puts it away.
  if (message == WM_CLOSE) {
    ShowWindow(hwnd, SW_HIDE);
    return 0;
  }
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

}  // namespace probeaddr::win32
