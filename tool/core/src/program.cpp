#include "probeaddr/program.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>

#include "probeaddr/set_add_gui.h"
#include "probeaddr/test_log.h"

namespace probeaddr {
namespace {

class Program {
 public:
  Program(const WindowLayer& layer, std::vector<std::string> arguments) : layer_(layer), log_(TestLog::instance()) {
    if (log_) {
      controls_ = &loggedControls_.emplace(layer.controls, *log_);
      messages_ = &loggedMessages_.emplace(layer.messages, *log_);
    }
    gui_.emplace(Platform{layer.port, *controls_, *messages_, layer.pump, layer.clock, [this](int code) { end(code); }},
                 std::move(arguments));
  }

  // Nothing may unwind through the toolkit's event delivery.
  template <typename Handler>
  void guarded(Handler&& handler) noexcept {
    try {
      handler(*gui_);
    } catch (const ProgramEnded& ended) {
      end(ended.exitCode());
    } catch (const std::exception& e) {
      unexpected(e.what());
    } catch (...) {
      unexpected("unknown exception");
    }
  }

  [[noreturn]] void end(int exitCode) noexcept {
    layer_.port.finish();
    if (log_) log_->record({"exit", std::to_string(exitCode)});
    std::fflush(nullptr);
    std::_Exit(exitCode);
  }

  void record(std::string_view what) {
    if (log_) log_->record({what});
  }

 private:
  [[noreturn]] void unexpected(const std::string& what) noexcept {
    try {
      messages_->show("Unexpected error:\r\r" + what, "ProbeAddr", MessageIcon::Critical, MessageButtons::Ok);
    } catch (...) {  // the program ends all the same
    }
    end(1);
  }

  const WindowLayer& layer_;
  TestLog* log_;
  std::optional<LoggedControls> loggedControls_;
  std::optional<LoggedMessages> loggedMessages_;
  Controls* controls_ = &layer_.controls;
  MessageBoxes* messages_ = &layer_.messages;
  std::optional<SetAddGui> gui_;
};

}  // namespace

void runProgram(const WindowLayer& layer, std::vector<std::string> arguments) {
  Program program(layer, std::move(arguments));
  auto on = [&program](void (SetAddGui::*handler)()) {
    return [&program, handler] { program.guarded([handler](SetAddGui& gui) { (gui.*handler)(); }); };
  };
  layer.events.activate = on(&SetAddGui::Form_Activate);
  layer.events.unload = on(&SetAddGui::Form_Unload);
  layer.events.writeClick = on(&SetAddGui::CBWrite_Click);
  layer.events.exitClick = on(&SetAddGui::CBExit_Click);
  layer.events.addressKeyDown = [&program](int keyCode, int shift) {
    program.guarded([=](SetAddGui& gui) { gui.TBAddress_KeyDown(keyCode, shift); });
  };

  // With no usable port the program ends here, before its window shows.
  program.guarded([](SetAddGui& gui) { gui.Form_Load(); });
  program.guarded([&](SetAddGui&) { layer.showMainWindow(); });
  program.record("ready");
  program.guarded([&](SetAddGui&) { layer.runEventLoop(); });
  // The loop ends only when every window has gone without the logic ending
  // the program; end it the same way.
  program.guarded([](SetAddGui& gui) { gui.Form_Unload(); });
  program.end(0);
}

}  // namespace probeaddr
