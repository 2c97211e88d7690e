// ProbeAddr's main window logic: start-up and port selection, the serial link,
// the connection cycle, reply handling, the address write and shutdown.
//
// Everything runs on the window thread. ConnectProbe, started by the first
// activation, never returns: it waits by pumping events, and the user's
// actions run nested inside it by calling the handlers below, all working on
// the one state record of public fields. There are no locks and none are
// needed; no handler may be called from another thread.
//
// Ending the program: every way out calls Platform::endProgram(exitCode),
// which must end the process at once (std::_Exit after the last Output is
// safe, Output having written the whole frame) or throw. If it returns, the
// logic throws ProgramEnded, which unwinds every nested wait; nothing in the
// logic catches it.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "probeaddr/clock.h"
#include "probeaddr/comm_port.h"
#include "probeaddr/controls.h"
#include "probeaddr/event_pump.h"
#include "probeaddr/message_boxes.h"
#include "probeaddr/types.h"
#include "probeaddr/util_lib.h"

namespace probeaddr {

// What the logic runs on. The objects must outlive the SetAddGui.
struct Platform {
  CommPort& port;            // MSComm1
  Controls& controls;
  MessageBoxes& messages;
  EventPump& pump;
  Clock& clock;
  // Ends the process at once with this exit code (0: the user left; 1: no
  // usable port, or a port failure while running). Empty: just throw.
  std::function<void(int exitCode)> endProgram;
};

// Thrown when the program ends and Platform::endProgram returned.
class ProgramEnded : public std::exception {
 public:
  explicit ProgramEnded(int exitCode) noexcept : exitCode_(exitCode) {}
  int exitCode() const noexcept { return exitCode_; }
  const char* what() const noexcept override { return "ProbeAddr ended"; }

 private:
  int exitCode_;
};

class SetAddGui {
 public:
  // `arguments`: the program's arguments without its own path. "COM=" and
  // "COMM=" are looked for in them joined by single spaces; "PORT=" takes the
  // rest of its own argument, blanks included.
  SetAddGui(Platform platform, std::vector<std::string> arguments);
  // The same with the arguments as one text, split at blanks.
  SetAddGui(Platform platform, std::string_view commandLine);

  // ---- Main-window state, shared by every procedure ----
  Bytes RxChunk;        // bytes of the latest read of the port
  Bytes RxBytes;        // received bytes accumulated for the data block
  std::string RxText;   // characters received since last emptied
  std::string ReplyKind;  // reply letter taken from the front of RxText
  std::string FwRelease;
  std::string FwDate;
  std::int16_t VersionOk = 0;   // 2 after an accepted version reply or data block
  std::int16_t PollStep = 0;    // 0 version, 1 serial number, 2 rest, 3 data block
  std::int16_t PollPeriod = 0;  // seconds between two steps
  std::int16_t PollAttempts = 0;  // unanswered polls, shown on the progress bar
  std::int16_t SerialFailures = 0;
  bool Connected = false;
  bool BlockRequested = false;
  bool BlockRead = false;
  std::string SerialQuery;   // serial-number query of step 1
  std::string ProbeAddress;  // address text last written
  std::string StoreReply;    // first chunk of the reply to an address write

  // ---- Window events (called by the window layer) ----
  void Form_Load();      // port selection and starting values
  void Form_Activate();  // the first call runs ConnectProbe; later ones return at once
  void Form_Unload();    // sends "#00?v*", closes both windows, ends the program
  void CBWrite_Click();  // the address write
  // keyCode as on Windows (Enter, either key, is 13); the key is passed on.
  void TBAddress_KeyDown(int keyCode, int shift);  // Enter writes, other keys nothing
  void CBExit_Click();   // ExitProgram, then the end

  // ---- Procedures ----
  void SetPort();
  void ConnectProbe();  // never returns
  void ReadProbeReply();
  void ExitProgram();   // closes both windows (running Form_Unload first)

  // Serial link. Port failures pass to the caller as CommError.
  void SendQuery(std::int16_t askIndex);  // 0 "#00!*", 1 SerialQuery, 2 "#00?v*", 3 "#00?P*"
  void flushcom();                         // drops waiting bytes, empties RxText
  void delay(float ms);                    // waits, pumping events
  std::int16_t AtLeast(std::int16_t n);    // up to 0.5 s for n characters in RxText
  std::int16_t AtLeastArr(std::int16_t n); // up to 0.5 s for UpperBound(RxBytes) >= n

  // RxBytes keeps at most this many of the latest bytes until the data block
  // has been read (and none afterwards), so no count or position can overflow.
  static constexpr std::size_t kRxBytesLimit = 4096;

 private:
  enum class ReplyWindow { Poll, AfterAddressWrite };
  void readReply(ReplyWindow window);
  bool dispatchReply();
  void handleVersionReply();
  void handleSerialReply();
  void handleDataBlock();
  void handleStoreResult();
  void markProbeLost();
  void keepReceived(const Bytes& chunk);
  void pollStep0();
  void pollStep1();
  void pollStep3();
  void writeAddress();
  void waitPumping(TimePoint deadline);
  MessageAnswer message(const std::string& text, const std::string& title,
                        MessageIcon icon, MessageButtons buttons = MessageButtons::Ok);
  [[noreturn]] void fatalPortMessage(const std::string& text);
  [[noreturn]] void endProgram(int exitCode);
  void reportingPortFailures(void (SetAddGui::*body)());

  Platform p_;
  std::vector<std::string> arguments_;
  bool cycleStarted_ = false;
  bool unloading_ = false;
  bool writeDisabled_ = false;
};

// Splits a version text "model:release date;" at its first ":" and the first
// " " after it: `first` the text before the ":", `second` the release,
// `third` up to five characters after the space. Returns false (and leaves
// what could not be found empty) when either separator is missing.
bool SplitField(std::string_view text, std::string& first, std::string& second,
                std::string& third);

}  // namespace probeaddr
