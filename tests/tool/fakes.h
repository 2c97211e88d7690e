// Doubles for ProbeAddr's logic: a fake clock that moves only when the logic
// sleeps, a port that delivers scripted bytes at given times, a probe model
// answering frames, and controls, message boxes and a pump that record.
#pragma once

#include <sstream>
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <utility>

#include "probeaddr/set_add_gui.h"

namespace probeaddr::test {

using namespace std::chrono_literals;
using Timed = std::vector<std::pair<TimePoint, Bytes>>;
inline TimePoint at(double s) {
  return TimePoint{} + std::chrono::duration_cast<Duration>(std::chrono::duration<double>(s));
}
inline double secs(TimePoint t) { return std::chrono::duration<double>(t.time_since_epoch()).count(); }
inline Bytes bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }
template <class V>
void insertByTime(V& list, typename V::value_type item) {
  auto pos = std::upper_bound(list.begin(), list.end(), item,
                              [](auto& x, auto& y) { return x.first < y.first; });
  list.insert(pos, std::move(item));
}

struct RunOver {};  // the scripted time is used up

struct FakeClock : Clock {
  TimePoint t{};
  TimePoint now() override { return t; }
};

// Everything the doubles saw, in order, with the time it happened.
struct Log {
  Clock& clock;
  std::vector<std::pair<double, std::string>> events{};
  void operator()(std::string what) { events.emplace_back(secs(clock.now()), std::move(what)); }
  std::vector<std::string> starting(std::string_view prefix, std::size_t from = 0) const {
    std::vector<std::string> out;
    for (auto i = from; i < events.size(); ++i)
      if (events[i].second.starts_with(prefix)) out.push_back(events[i].second);
    return out;
  }
  std::vector<double> times(std::string_view what) const {
    std::vector<double> out;
    for (auto& [t, w] : events)
      if (w == what) out.push_back(t);
    return out;
  }
};

class ScriptedPort : public CommPort {
 public:
  ScriptedPort(FakeClock& clock, Log& log) : clock_(clock), log_(log) {}
  std::map<int, int> openErrors;  // port number (-1: a path) -> error on opening
  std::vector<std::string> tried;
  std::optional<int> failure;     // every access after opening throws this
  std::function<void(const std::string&)> onOutput;
  bool open = false;
  std::string settings;
  InputMode mode = InputMode::Text;
  Timed arrivals;
  int waits = 0;

  void deliver(TimePoint t, Bytes b) { insertByTime(arrivals, {t, std::move(b)}); }
  void setCommPort(std::int16_t n) override { number_ = n, tried.push_back(std::to_string(n)); }
  void setDevicePath(const std::string& p) override { number_ = -1, tried.push_back(p); }
  void setSettings(const std::string& s) override { settings = s; }
  bool portOpen() override { return open; }
  void setPortOpen(bool o) override {
    if (auto e = openErrors.find(number_); o && e != openErrors.end()) throw CommError(e->second, "refused");
    open = o;
  }
  void setInputMode(InputMode m) override { mode = m; }
  int inBufferCount() override { return static_cast<int>(due(false).size()); }
  Bytes input() override { return due(true); }
  void output(std::string_view text) override {
    due(false);
    log_("tx " + std::string(text));
    if (onOutput) onOutput(std::string(text));
  }
  void waitForInput(TimePoint deadline) override {
    ++waits;
    if (due(false).empty())
      clock_.t = std::max(clock_.t, arrivals.empty() ? deadline : std::min(deadline, arrivals[0].first));
  }

 private:
  Bytes due(bool take) {
    if (failure) throw CommError(*failure, "device gone");
    Bytes out;
    auto it = arrivals.begin();
    for (; it != arrivals.end() && it->first <= clock_.t; ++it) out.insert(out.end(), it->second.begin(), it->second.end());
    if (take) arrivals.erase(arrivals.begin(), it);
    return out;
  }
  FakeClock& clock_;
  Log& log_;
  int number_ = 0;
};

class RecordingControls : public Controls {
 public:
  explicit RecordingControls(Log& log) : log_(log) {}
  std::map<ValueLabel, std::string> captions;
  std::string text = "00";
  void setCaption(ValueLabel l, const std::string& c) override {
    captions[l] = c;
    log_("caption " + std::to_string(static_cast<int>(l)) + " " + c);
  }
  std::string addressText() override { return text; }
  void setAddressText(const std::string& t) override { text = t, log_("text " + t); }
  void focusAddress() override { log_("focus"); }
  void selectAddressText(int s, int n) override { log_("select " + std::to_string(s) + " " + std::to_string(n)); }
  void disableAddressBox() override { log_("disable box"); }
  void disableAddressFrame() override { log_("disable frame"); }
  void disableWriteButton() override { log_("disable write"); }
  void showProgressWindow() override { log_("progress show"); }
  void hideProgressWindow() override { log_("progress hide"); }
  void setProgressMaximum(int m) override { log_("progress max " + std::to_string(m)); }
  void setProgressValue(int v) override { log_("progress " + std::to_string(v)); }
  void closeMainWindow() override { log_("close main"); }
  void closeProgressWindow() override { log_("close progress"); }

 private:
  Log& log_;
};

class ScriptedMessages : public MessageBoxes {
 public:
  explicit ScriptedMessages(Log& log) : log_(log) {}
  std::deque<MessageAnswer> answers;  // for Yes/No boxes; No when none left
  MessageAnswer show(const std::string& text, const std::string& title, MessageIcon icon,
                     MessageButtons buttons) override {
    const char* icons[] = {"critical", "exclamation", "information"};
    log_("msg " + title + "|" + icons[static_cast<int>(icon)] + "|" + text);
    if (buttons == MessageButtons::Ok) return MessageAnswer::Ok;
    auto a = answers.empty() ? MessageAnswer::No : answers.front();
    if (!answers.empty()) answers.pop_front();
    return a;
  }

 private:
  Log& log_;
};

// Runs scripted user actions when their time has come; sleeps through
// `sleep`, or through the port when bytes may wake it.
class ScriptedPump : public EventPump {
 public:
  ScriptedPump(Clock& clock, CommPort& port, std::function<void(TimePoint)> sleep)
      : clock_(clock), port_(port), sleep_(std::move(sleep)) {}
  std::vector<std::pair<TimePoint, std::function<void()>>> actions;
  TimePoint limit = TimePoint::max();
  int pumps = 0;

  void schedule(TimePoint t, std::function<void()> f) { insertByTime(actions, {t, std::move(f)}); }
  void pumpEvents() override {
    if (clock_.now() >= limit || ++pumps > 10'000'000) throw RunOver{};
    while (!actions.empty() && actions.front().first <= clock_.now()) {
      auto action = std::move(actions.front().second);
      actions.erase(actions.begin());
      action();
    }
  }
  void waitForEvents(TimePoint deadline, bool wakeOnPortInput) override {
    if (clock_.now() >= limit) throw RunOver{};
    TimePoint until = std::min(deadline, limit);
    if (!actions.empty()) until = std::min(until, actions.front().first);
    wakeOnPortInput ? port_.waitForInput(until) : sleep_(until);
  }

 private:
  Clock& clock_;
  CommPort& port_;
  std::function<void(TimePoint)> sleep_;
};

// A probe at the end of the scripted line, answering as the simulated probe
// does: 20 ms after a frame, one byte every 1.04 ms (9600 baud), a store only
// right after "#00@c*".
struct FakeProbe {
  static constexpr Duration kByteTime = std::chrono::nanoseconds(1'041'667);
  bool present = true;
  std::string release = "1.10", serial = "0424K10123", address = "00";
  std::map<std::string, Bytes> replies;  // frame -> reply instead of the usual one
  bool storeOpen = false;

  static Bytes block() {  // 'd', then letters A..Z by offset, a few unprintable
    Bytes b(382);
    for (std::size_t k = 0; k < b.size(); ++k) b[k] = static_cast<std::uint8_t>('A' + k % 26);
    b[0] = 'd', b[213] = '\r', b[230] = 0, b[250] = 0x7f;
    return b;
  }
  Bytes replyTo(const std::string& frame) {
    const bool wasOpen = std::exchange(storeOpen, frame == "#00@c*");
    if (auto r = replies.find(frame); r != replies.end()) return r->second;
    if (frame == "#00?v*") return bytes("vKV210:" + release + " 07/10;");
    if (frame == "#00?s*" || frame == "#" + address + "?s*") return bytes("s" + serial + std::string(22, ' '));
    if (frame == "#00?P*") return block();
    if (frame.starts_with("#00@I") && frame.size() == 8)
      return wasOpen ? bytes(address = frame.substr(5, 2)) : bytes("eERR\r\n");
    return {};
  }
};

struct World {
  FakeClock clock;
  Log log{clock};
  ScriptedPort port{clock, log};
  RecordingControls controls{log};
  ScriptedMessages messages{log};
  ScriptedPump pump{clock, port, [this](TimePoint t) { clock.t = std::max(clock.t, t); }};
  FakeProbe probe;
  std::optional<int> exitCode;
  SetAddGui gui;

  static std::vector<std::string> splitAtBlanks(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string word; in >> word;) words.push_back(word);
    return words;
  }
  explicit World(std::string commandLine = "COM=1") : World(splitAtBlanks(commandLine)) {}
  explicit World(std::vector<std::string> arguments)
      : gui(Platform{port, controls, messages, pump, clock, [this](int code) { log("end " + std::to_string(code)); }},
            std::move(arguments)) {
    port.onOutput = [this](const std::string& frame) {
      if (!probe.present) return;
      TimePoint t = clock.t + 20ms;
      for (std::uint8_t b : probe.replyTo(frame)) port.deliver(std::exchange(t, t + FakeProbe::kByteTime), {b});
    };
  }
  // Runs `f` (by default: load and activate the main window) until `seconds`
  // of fake time have passed or the program ends.
  void run(double seconds, std::function<void()> f = {}) {
    pump.limit = at(seconds);
    try {
      f ? f() : (gui.Form_Load(), gui.Form_Activate());
    } catch (const RunOver&) {
    } catch (const ProgramEnded& e) {
      exitCode = e.exitCode();
    }
  }
  void when(double seconds, std::function<void()> f) { pump.schedule(at(seconds), std::move(f)); }
  std::vector<std::string> frames() const { return log.starting("tx "); }
  std::vector<std::string> msgs() const { return log.starting("msg "); }
};

}  // namespace probeaddr::test
