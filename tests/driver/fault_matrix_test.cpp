// The ways a probe or its line misbehaves, against the exports they reach: the
// documented code, a return within the time the read rules allow, a port that
// works again once the fault is gone, and no descriptor left behind. Prints
// the table of codes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "../support/process_stats.h"
#include "VEL_KV21X.h"
#include "kv210/simulator.h"

namespace {

using kv210::sim::Bytes;
using kv210::sim::Fault;
using kv210::sim::FaultKind;
using kv210::sim::Simulator;
using Ms = std::chrono::milliseconds;

enum class Line { Fault, HangUpMidReply, HangUpBetweenCalls, Unplug };

struct Case {
  const char* name;
  const char* command;  // whose reply misbehaves; "" for the opening's first step
  Line line;
  Fault fault;
  int32_t rc;
  double seconds;  // the longest the call may take (before a loose margin)
};

TEST(Faults, EachGivesItsCodeInTimeAndThePortRecovers) {
  const std::string dir = std::filesystem::temp_directory_path() / ("kv210-faults-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string link = dir + "/probe";
  char text[16];
  int32_t length = 0;
  float v = 0;
  const std::map<std::string, std::function<int32_t(HANDLE)>> calls = {
      {"v", [&](HANDLE h) { return VEL_Firmware(h, text, &length); }},
      {"s", [&](HANDLE h) { return VEL_SerialNumber(h, text, &length); }},
      {"b", [&](HANDLE h) { return VEL_ReadBattery(h, &v); }},
      {"f", [&](HANDLE h) { return VEL_SetFilter(h, 3); }},
      {"name", [&](HANDLE h) { return VEL_ProbeName(h, text, &length); }},
      {"close", [&](HANDLE h) { return VEL_RemoveProbe(h); }},
  };
  Bytes noise(24);  // longer than any reply the library reads in one go
  for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<uint8_t>(0xFF - 37 * i);
  // "open v"/"open P": VEL_CreateProbe with the fault on its version or data reply.
  const Case cases[] = {
      {"open v: silence", "open v", Line::Fault, {FaultKind::Silence}, VEL_TIMEOUT, 0.95},
      {"open v: wrong letter", "open v", Line::Fault, {FaultKind::WrongLetter, 'X'}, VEL_WRONG_REPLY, 0.95},
      {"open v: garbage", "open v", Line::Fault, {FaultKind::Garbage, '?', 0, Ms(0), noise}, VEL_WRONG_REPLY, 0.95},
      {"open P: wrong letter", "open P", Line::Fault, {FaultKind::WrongLetter, 'X'}, VEL_OK, 1.0},
      {"open P: a second late", "open P", Line::Fault, {FaultKind::Late, '?', 0, Ms(1000)}, VEL_OK, 2.0},
      {"open P: hang-up mid-reply", "open P", Line::HangUpMidReply, {}, VEL_READ_FAILED, 0.3},
      {"open: unplugged", "open v", Line::Unplug, {}, VEL_PORT_NOT_FOUND, 0.1},
      {"serial: 10 bytes", "s", Line::Fault, {FaultKind::Truncate, '?', 10}, VEL_TIMEOUT, 0.6},
      {"serial: 1 + rest 200 ms later", "s", Line::Fault, {FaultKind::Split, '?', 1, Ms(200)}, VEL_TIMEOUT, 0.6},
      {"serial: extra bytes", "s", Line::Fault, {FaultKind::Extra, '?', 0, Ms(0), noise}, VEL_OK, 0.6},
      {"serial: hang-up mid-reply", "s", Line::HangUpMidReply, {}, VEL_READ_FAILED, 0.3},
      {"battery: late", "b", Line::Fault, {FaultKind::Late, '?', 0, Ms(400)}, VEL_TIMEOUT, 0.2},
      {"battery: hung up before", "b", Line::HangUpBetweenCalls, {}, VEL_PURGE_FAILED, 0.1},
      {"battery: unplugged", "b", Line::Unplug, {}, VEL_PURGE_FAILED, 0.1},
      {"filter: 1 + rest later", "f", Line::Fault, {FaultKind::Split, '?', 1, Ms(200)}, VEL_OK, 0.15},
      {"filter: wrong letter", "f", Line::Fault, {FaultKind::WrongLetter, 'X'}, VEL_NOT_CONFIRMED, 0.15},
      {"filter: silence", "f", Line::Fault, {FaultKind::Silence}, VEL_TIMEOUT, 0.15},
      {"name: hung up", "name", Line::HangUpBetweenCalls, {}, VEL_OK, 0.05},
      {"close: unplugged", "close", Line::Unplug, {}, VEL_OK, 0.05},
  };
  const int descriptors = kv210::test::openDescriptors();
  std::printf("\n%-32s %5s %8s\n", "fault", "code", "seconds");
  for (const Case& c : cases) {
    auto sim = std::make_unique<Simulator>(Simulator::Options{.linkPath = link});
    const bool opening = std::string(c.command).rfind("open", 0) == 0;
    const std::string command = opening ? std::string(1, c.command[5]) : c.command;
    HANDLE port = INVALID_HANDLE_VALUE;
    VEL_SetTimeout(0);  // one read, then the verdict
    if (!opening) ASSERT_EQ(VEL_CreateProbe("KV21", &port, link.c_str()), VEL_OK) << c.name;
    std::thread hangUp;
    switch (c.line) {
      case Line::Fault: sim->pushFault(command, c.fault); break;
      case Line::HangUpMidReply:
        // The first bytes, then the line dies; the read sees it at once.
        VEL_SetTimeout(2500);
        sim->pushFault(command, Fault{FaultKind::Split, '?', opening ? 100u : 1u, Ms(3000)});
        hangUp = std::thread([&] {
          sim->waitForFrames(opening ? 2 : 1, Ms(5000));
          std::this_thread::sleep_for(Ms(20));
          sim->hangUp();
        });
        break;
      case Line::HangUpBetweenCalls: sim->hangUp(); break;
      case Line::Unplug: sim.reset(); break;
    }
    int32_t rc = -1;
    const auto t0 = std::chrono::steady_clock::now();
    rc = opening ? VEL_CreateProbe("KV21", &port, link.c_str()) : calls.at(command)(port);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (hangUp.joinable()) hangUp.join();
    std::printf("%-32s %5d %8.2f\n", c.name, rc, seconds);
    EXPECT_EQ(rc, c.rc) << c.name;
    EXPECT_LE(seconds, c.seconds + 0.5) << c.name;

    // The probe back as it was: the port opens and answers.
    if (command == "close") port = INVALID_HANDLE_VALUE;
    if (port != INVALID_HANDLE_VALUE) EXPECT_EQ(VEL_RemoveProbe(port), VEL_OK) << c.name;
    if (c.line != Line::Fault) sim = std::make_unique<Simulator>(Simulator::Options{.linkPath = link});
    sim->clearFaults();
    std::this_thread::sleep_for(Ms(c.fault.kind == FaultKind::Late ? 1100 : 250));  // late and split rests
    VEL_SetTimeout(500);
    port = INVALID_HANDLE_VALUE;
    EXPECT_EQ(VEL_CreateProbe("KV21", &port, link.c_str()), VEL_OK) << c.name << ", again";
    if (command != "close") EXPECT_EQ(calls.at(command == "P" ? "v" : command)(port), VEL_OK) << c.name << ", again";
    EXPECT_EQ(VEL_RemoveProbe(port), VEL_OK);
    sim.reset();
    EXPECT_EQ(kv210::test::openDescriptors(), descriptors) << c.name;
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
