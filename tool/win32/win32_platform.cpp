#include "win32_platform.h"

#include <commctrl.h>

#include "win32_clock.h"
#include "win32_comm_port.h"

namespace probeaddr::win32 {

Win32Windows::Win32Windows(SetAddGuiWindow& main, HINSTANCE instance, int dpi)
    : main_(main), instance_(instance), dpi_(dpi) {}

Win32Windows::~Win32Windows() = default;

ProgressWindow* Win32Windows::progressWindow() {
  if (progressClosed_) return nullptr;
  if (!progress_) {
    progress_ = std::make_unique<ProgressWindow>(instance_, dpi_);
    if (onProgressWindow && progress_->hwnd()) onProgressWindow(*progress_);
  }
  return progress_->hwnd() ? progress_.get() : nullptr;
}

void Win32Windows::setCaption(ValueLabel label, const std::string& caption) {
  // The cycle sets the same captions again and again.
  HWND hwnd = main_.control(form::controlOf(label));
  if (hwnd && windowText(hwnd) != caption) SetWindowTextA(hwnd, caption.c_str());
}

std::string Win32Windows::addressText() {
  HWND box = main_.control(form::Control::TBAddress);
  return box ? windowText(box) : std::string();
}

void Win32Windows::setAddressText(const std::string& text) {
  if (HWND box = main_.control(form::Control::TBAddress)) SetWindowTextA(box, text.c_str());
}

void Win32Windows::focusAddress() {
  if (HWND box = main_.control(form::Control::TBAddress)) SetFocus(box);
}

void Win32Windows::selectAddressText(int start, int length) {
  if (HWND box = main_.control(form::Control::TBAddress)) SendMessageA(box, EM_SETSEL, start, start + length);
}

void Win32Windows::disableAddressBox() {
  if (HWND box = main_.control(form::Control::TBAddress)) EnableWindow(box, FALSE);
}

void Win32Windows::disableAddressFrame() {
  if (HWND frame = main_.control(form::Control::FRAddress)) EnableWindow(frame, FALSE);
}

void Win32Windows::disableWriteButton() {
  if (HWND button = main_.control(form::Control::CBWrite)) EnableWindow(button, FALSE);
}

void Win32Windows::showProgressWindow() {
  ProgressWindow* window = progressWindow();
  if (!window || IsWindowVisible(window->hwnd())) return;
  window->showCentredOn(main_.hwnd());
}

void Win32Windows::hideProgressWindow() {
  if (!progress_ || !progress_->hwnd() || !IsWindowVisible(progress_->hwnd())) return;
  ShowWindow(progress_->hwnd(), SW_HIDE);
}

void Win32Windows::setProgressMaximum(int maximum) {
  if (ProgressWindow* window = progressWindow()) SendMessageA(window->bar(), PBM_SETRANGE32, 0, maximum);
}

void Win32Windows::setProgressValue(int value) {
  if (ProgressWindow* window = progressWindow()) SendMessageA(window->bar(), PBM_SETPOS, static_cast<WPARAM>(value), 0);
}

void Win32Windows::closeMainWindow() {
  if (!main_.hwnd()) return;
  main_.destroy();  // the reference is cleared with it
}

void Win32Windows::closeProgressWindow() {
  if (!progress_ || progressClosed_) return;
  progress_->destroy();
  progressClosed_ = true;
}

MessageAnswer Win32Windows::show(const std::string& text, const std::string& title, MessageIcon icon,
                                      MessageButtons buttons) {
  const bool yesNo = buttons == MessageButtons::YesNo;
  UINT type = yesNo ? MB_YESNO : MB_OK;
  switch (icon) {
    case MessageIcon::Critical: type |= MB_ICONERROR; break;
    case MessageIcon::Exclamation: type |= MB_ICONEXCLAMATION; break;
    case MessageIcon::Information: type |= MB_ICONINFORMATION; break;
  }
  HWND owner = main_.hwnd();
  if (owner && !IsWindowVisible(owner)) owner = nullptr;
  if (!owner) type |= MB_TASKMODAL;  // before the window shows: modal to the whole program
  // A carriage return in the text starts a new line, as MessageBox draws it.
  const int answer = MessageBoxA(owner, text.c_str(), title.c_str(), type | MB_SETFOREGROUND);
  if (!yesNo) return MessageAnswer::Ok;
  return answer == IDYES ? MessageAnswer::Yes : MessageAnswer::No;
}

void Win32EventPump::dispatch(MSG& message) {
  if (!main_.handleDialogKeys(message)) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  if (afterMessage) afterMessage();
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
