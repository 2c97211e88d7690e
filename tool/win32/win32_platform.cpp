#include "win32_platform.h"

#include <commctrl.h>

#include "test_hook.h"
#include "win32_clock.h"
#include "win32_comm_port.h"

namespace probeaddr::win32 {
namespace {

Control controlOf(ValueLabel label) {
  switch (label) {
    case ValueLabel::LBModel: return Control::LBModel;
    case ValueLabel::LBFW: return Control::LBFW;
    case ValueLabel::LBFWDate: return Control::LBFWDate;
    case ValueLabel::LBSerial: return Control::LBSerial;
  }
  return Control::LBModel;
}

void recordWindow(const char* name, const char* what) {
  if (TestHook* hook = TestHook::instance()) hook->record({"window", name, what});
}

}  // namespace

Win32Controls::Win32Controls(SetAddGuiWindow& main, HINSTANCE instance, int dpi)
    : main_(main), instance_(instance), dpi_(dpi) {}

Win32Controls::~Win32Controls() = default;

ProgressWindow* Win32Controls::progressWindow() {
  if (progressClosed_) return nullptr;
  if (!progress_) {
    progress_ = std::make_unique<ProgressWindow>(instance_, dpi_);
    if (TestHook* hook = TestHook::instance()) hook->recordProgressLayout(progress_->hwnd(), progress_->bar());
  }
  return progress_->hwnd() ? progress_.get() : nullptr;
}

void Win32Controls::setCaption(ValueLabel label, const std::string& caption) {
  const Control control = controlOf(label);
  HWND hwnd = main_.control(control);
  if (!hwnd) return;
  if (windowText(hwnd) == caption) return;  // the cycle sets the same captions again and again
  SetWindowTextA(hwnd, caption.c_str());
  if (TestHook* hook = TestHook::instance()) hook->record({"caption", nameOf(control), caption});
}

std::string Win32Controls::addressText() {
  HWND box = main_.control(Control::TBAddress);
  return box ? windowText(box) : std::string();
}

void Win32Controls::setAddressText(const std::string& text) {
  HWND box = main_.control(Control::TBAddress);
  if (!box) return;
  SetWindowTextA(box, text.c_str());
  if (TestHook* hook = TestHook::instance()) hook->record({"address", text});
}

void Win32Controls::focusAddress() {
  if (HWND box = main_.control(Control::TBAddress)) SetFocus(box);
}

void Win32Controls::selectAddressText(int start, int length) {
  if (HWND box = main_.control(Control::TBAddress)) SendMessageA(box, EM_SETSEL, start, start + length);
}

void Win32Controls::disableAddressBox() {
  if (HWND box = main_.control(Control::TBAddress)) EnableWindow(box, FALSE);
}

void Win32Controls::disableAddressFrame() {
  if (HWND frame = main_.control(Control::FRAddress)) EnableWindow(frame, FALSE);
}

void Win32Controls::disableWriteButton() {
  if (HWND button = main_.control(Control::CBWrite)) EnableWindow(button, FALSE);
}

void Win32Controls::showProgressWindow() {
  ProgressWindow* window = progressWindow();
  if (!window || IsWindowVisible(window->hwnd())) return;
  window->showCentredOn(main_.hwnd());
  recordWindow("frmPBar", "shown");
}

void Win32Controls::hideProgressWindow() {
  if (!progress_ || !progress_->hwnd() || !IsWindowVisible(progress_->hwnd())) return;
  ShowWindow(progress_->hwnd(), SW_HIDE);
  recordWindow("frmPBar", "hidden");
}

void Win32Controls::setProgressMaximum(int maximum) {
  if (ProgressWindow* window = progressWindow()) {
    SendMessageA(window->bar(), PBM_SETRANGE32, 0, maximum);
    recordProgress();
  }
}

void Win32Controls::setProgressValue(int value) {
  if (ProgressWindow* window = progressWindow()) {
    SendMessageA(window->bar(), PBM_SETPOS, static_cast<WPARAM>(value), 0);
    recordProgress();
  }
}

void Win32Controls::recordProgress() {
  if (TestHook* hook = TestHook::instance()) {
    HWND bar = progress_->bar();
    hook->record({"progress", std::to_string(SendMessageA(bar, PBM_GETPOS, 0, 0)),
                  std::to_string(SendMessageA(bar, PBM_GETRANGE, FALSE, 0))});
  }
}

void Win32Controls::closeMainWindow() {
  if (!main_.hwnd()) return;
  main_.destroy();  // the reference is cleared with it
  recordWindow("SetAddGui", "closed");
}

void Win32Controls::closeProgressWindow() {
  if (!progress_ || progressClosed_) return;
  progress_->destroy();
  progressClosed_ = true;
  recordWindow("frmPBar", "closed");
}

MessageAnswer Win32MessageBoxes::show(const std::string& text, const std::string& title, MessageIcon icon,
                                      MessageButtons buttons) {
  const bool yesNo = buttons == MessageButtons::YesNo;
  UINT type = yesNo ? MB_YESNO : MB_OK;
  const char* iconName = "Information";
  switch (icon) {
    case MessageIcon::Critical: type |= MB_ICONERROR, iconName = "Critical"; break;
    case MessageIcon::Exclamation: type |= MB_ICONEXCLAMATION, iconName = "Exclamation"; break;
    case MessageIcon::Information: type |= MB_ICONINFORMATION; break;
  }
  HWND owner = controls_.mainWindow();
  if (owner && !IsWindowVisible(owner)) owner = nullptr;
  if (!owner) type |= MB_TASKMODAL;  // before the window shows: modal to the whole program
  TestHook* hook = TestHook::instance();
  if (hook) hook->record({"message", title, iconName, yesNo ? "YesNo" : "Ok", text});
  // A carriage return in the text starts a new line, as MessageBox draws it.
  const int answer = MessageBoxA(owner, text.c_str(), title.c_str(), type | MB_SETFOREGROUND);
  if (hook) hook->record({"answer", answer == IDYES ? "Yes" : answer == IDNO ? "No" : "Ok"});
  if (!yesNo) return MessageAnswer::Ok;
  return answer == IDYES ? MessageAnswer::Yes : MessageAnswer::No;
}

void Win32EventPump::dispatch(MSG& message) {
  if (!main_.handleDialogKeys(message)) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  if (TestHook* hook = TestHook::instance()) hook->noteFocus(main_);
}

void Win32EventPump::pumpEvents() {
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) continue;  // nothing here asks to quit; the windows' close does
    dispatch(message);
  }
}

void Win32EventPump::waitForEvents(TimePoint deadline, bool wakeOnPortInput) {
  if (wakeOnPortInput && port_.hasInput()) return;
  DWORD ms = millisecondsUntil(deadline, clock_);
  if (ms == 0) return;
  HANDLE arrival = wakeOnPortInput ? port_.arrivalEvent() : nullptr;
  if (wakeOnPortInput && !arrival) ms = std::min(ms, kPollWithoutEventMs);
  MsgWaitForMultipleObjectsEx(arrival ? 1 : 0, arrival ? &arrival : nullptr, ms, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
}

}  // namespace probeaddr::win32
