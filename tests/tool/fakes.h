// Doubles for ProbeAddr's logic: a fake clock that moves only when the logic
// sleeps, a port that delivers scripted bytes at given times, a probe model
// answering frames, and controls, message boxes and a pump that record.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <optional>

#include "probeaddr/set_add_gui.h"

namespace probeaddr::test {

using namespace std::chrono_literals;
inline TimePoint at(double s) {
  return TimePoint{} + std::chrono::duration_cast<Duration>(std::chrono::duration<double>(s));
}
inline double secs(TimePoint t) { return std::chrono::duration<double>(t.time_since_epoch()).count(); }
inline Bytes bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

struct RunOver {};  // the scripted time is used up

// Everything the doubles saw, in order, with the time it happened.
struct Log {
  Clock& clock;
  std::vector<std::pair<double, std::string>> events;
  void add(std::string what) { events.emplace_back(secs(clock.now()), std::move(what)); }
  std::vector<std::string> starting(std::string_view prefix) const {
    std::vector<std::string> out;
    for (auto& [t, w] : events)
      if (w.starts_with(prefix)) out.push_back(w);
    return out;
  }
  std::vector<double> times(std::string_view what) const {
    std::vector<double> out;
    for (auto& [t, w] : events)
      if (w == what) out.push_back(t);
    return out;
  }
};

struct FakeClock : Clock {
  TimePoint t{};
  TimePoint now() override { return t; }
  void sleepUntil(TimePoint until) { t = std::max(t, until); }
};

class ScriptedPort : public CommPort {
 public:
  ScriptedPort(FakeClock& clock, Log& log) : clock_(clock), log_(log) {}
  std::map<int, int> openErrors;  // port number (or -1 for a path) -> error on opening
  std::vector<std::string> tried;  // numbers and paths written before opening
  std::optional<int> failure;      // every access after opening throws this
  std::function<void(const std::string&)> onOutput;
  bool open = false;
  std::string settings;
  InputMode mode = InputMode::Text;
  std::vector<std::pair<TimePoint, Bytes>> arrivals;

  void deliver(TimePoint t, Bytes b) {
    arrivals.emplace_back(t, std::move(b));
    std::stable_sort(arrivals.begin(), arrivals.end(),
                     [](auto& x, auto& y) { return x.first < y.first; });
  }
  std::optional<TimePoint> nextArrival() const {
    if (arrivals.empty()) return std::nullopt;
    return arrivals.front().first;
  }
  void setCommPort(std::int16_t n) override { number_ = n; tried.push_back(std::to_string(n)); }
  void setDevicePath(const std::string& p) override { number_ = -1; tried.push_back(p); }
  void setSettings(const std::string& s) override { settings = s; }
  bool portOpen() override { return open; }
  void setPortOpen(bool o) override {
    if (auto e = openErrors.find(number_); o && e != openErrors.end())
      throw CommError(e->second, "refused");
    open = o;
  }
  void setInputMode(InputMode m) override { mode = m; }
  int inBufferCount() override {
    check();
    int n = 0;
    for (auto& [t, b] : arrivals)
      if (t <= clock_.t) n += static_cast<int>(b.size());
    return n;
  }
  Bytes input() override {
    check();
    Bytes out;
    while (!arrivals.empty() && arrivals.front().first <= clock_.t) {
      out.insert(out.end(), arrivals.front().second.begin(), arrivals.front().second.end());
      arrivals.erase(arrivals.begin());
    }
    return out;
  }
  void output(std::string_view text) override {
    check();
    log_.add("tx " + std::string(text));
    if (onOutput) onOutput(std::string(text));
  }
  void waitForInput(TimePoint deadline) override {
    ++waits;
    if (inBufferCount() == 0) clock_.sleepUntil(std::min(deadline, nextArrival().value_or(deadline)));
  }
  int waits = 0;

 private:
  void check() {
    if (failure) throw CommError(*failure, "device gone");
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
    log_.add("caption " + std::to_string(static_cast<int>(l)) + " " + c);
  }
  std::string addressText() override { return text; }
  void setAddressText(const std::string& t) override { text = t; log_.add("text " + t); }
  void focusAddress() override { log_.add("focus"); }
  void selectAddressText(int s, int n) override {
    log_.add("select " + std::to_string(s) + " " + std::to_string(n));
  }
  void disableAddressBox() override { log_.add("disable box"); }
  void disableAddressFrame() override { log_.add("disable frame"); }
  void disableWriteButton() override { log_.add("disable write"); }
  void showProgressWindow() override { log_.add("progress show"); }
  void hideProgressWindow() override { log_.add("progress hide"); }
  void setProgressMaximum(int m) override { log_.add("progress max " + std::to_string(m)); }
  void setProgressValue(int v) override { log_.add("progress " + std::to_string(v)); }
  void closeMainWindow() override { log_.add("close main"); }
  void closeProgressWindow() override { log_.add("close progress"); }

 private:
  Log& log_;
};

inline const char* iconName(MessageIcon i) {
  return i == MessageIcon::Critical ? "critical" : i == MessageIcon::Exclamation ? "exclamation" : "information";
}

class ScriptedMessages : public MessageBoxes {
 public:
  explicit ScriptedMessages(Log& log) : log_(log) {}
  std::deque<MessageAnswer> answers;  // for Yes/No boxes; No when none left
  MessageAnswer show(const std::string& text, const std::string& title, MessageIcon icon,
                     MessageButtons buttons) override {
    log_.add("msg " + title + "|" + iconName(icon) + "|" + text);
    if (buttons == MessageButtons::Ok) return MessageAnswer::Ok;
    if (answers.empty()) return MessageAnswer::No;
    auto a = answers.front();
    answers.pop_front();
    return a;
  }

 private:
  Log& log_;
};

// Runs scripted user actions when their time has come; sleeping goes to
// `sleep` (and to the port when bytes may wake it).
class ScriptedPump : public EventPump {
 public:
  ScriptedPump(Clock& clock, CommPort& port, std::function<void(TimePoint)> sleep)
      : clock_(clock), port_(port), sleep_(std::move(sleep)) {}
  std::vector<std::pair<TimePoint, std::function<void()>>> actions;
  TimePoint limit = TimePoint::max();
  int pumps = 0;

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
    if (wakeOnPortInput)
      port_.waitForInput(until);
    else
      sleep_(until);
  }
  void schedule(TimePoint t, std::function<void()> f) {
    actions.emplace_back(t, std::move(f));
    std::stable_sort(actions.begin(), actions.end(), [](auto& a, auto& b) { return a.first < b.first; });
  }

 private:
  Clock& clock_;
  CommPort& port_;
  std::function<void(TimePoint)> sleep_;
};

// A probe at the end of the scripted line, answering after `latency`.
struct FakeProbe {
  bool present = true;
  std::string release = "1.10";
  std::string serial = "0424K10123";
  std::string address = "00";
  std::map<std::string, Bytes> replies;  // frame -> reply instead of the usual one
  Duration latency = 20ms;

  static Bytes block() {  // 'd' and letters A..Z by offset, a few unprintable
    Bytes b(382);
    b[0] = 'd';
    for (std::size_t k = 1; k < b.size(); ++k) b[k] = static_cast<std::uint8_t>('A' + k % 26);
    b[213] = '\r', b[230] = 0, b[250] = 0x7f;
    return b;
  }
  Bytes replyTo(const std::string& frame) {
    if (auto r = replies.find(frame); r != replies.end()) return r->second;
    if (frame == "#00?v*") return bytes("vKV210:" + release + " 07/10;");
    if (frame == "#00?s*" || frame == "#" + address + "?s*")
      return bytes("s" + serial + std::string(22, ' '));
    if (frame == "#00?P*") return block();
    if (frame.starts_with("#00@I") && frame.size() == 8) {
      address = frame.substr(5, 2);
      return bytes(address);
    }
    return {};
  }
};

struct World {
  FakeClock clock;
  Log log{clock, {}};
  ScriptedPort port{clock, log};
  RecordingControls controls{log};
  ScriptedMessages messages{log};
  ScriptedPump pump{clock, port, [this](TimePoint t) { clock.sleepUntil(t); }};
  FakeProbe probe;
  std::optional<int> exitCode;
  SetAddGui gui;

  explicit World(std::string commandLine = "COM=1")
      : gui(Platform{port, controls, messages, pump, clock,
                     [this](int code) { log.add("end " + std::to_string(code)); }},
            std::move(commandLine)) {
    port.onOutput = [this](const std::string& frame) {
      if (Bytes r = probe.replyTo(frame); probe.present && !r.empty())
        port.deliver(clock.t + probe.latency, std::move(r));
    };
  }
  // Loads and activates the main window; runs until `seconds` or the end.
  void runFor(double seconds) {
    pump.limit = at(seconds);
    try {
      gui.Form_Load();
      gui.Form_Activate();
    } catch (const RunOver&) {
    } catch (const ProgramEnded& e) {
      exitCode = e.exitCode();
    }
  }
  // Runs one procedure with the probe's replies from the script only.
  template <class F>
  void call(F&& f) {
    try {
      f();
    } catch (const ProgramEnded& e) {
      exitCode = e.exitCode();
    }
  }
  void when(double seconds, std::function<void()> f) { pump.schedule(at(seconds), std::move(f)); }
  std::vector<std::string> frames() const { return log.starting("tx "); }
  std::vector<std::string> msgs() const { return log.starting("msg "); }
};

}  // namespace probeaddr::test
