// Identity, measurement and settings exports against a simulated probe.
#include <cmath>
#include <functional>
#include <limits>

#include "probe_fixture.h"

namespace kv210::test {
namespace {


Bytes withNuls(std::string_view text, std::size_t size) {
  Bytes b = bytesOf(text);
  b.resize(size, 0);
  return b;
}

class ExportsTest : public ProbeTest {
 protected:
  void SetUp() override {
    ProbeTest::SetUp();
    sim::Identity id;
    id.fieldLimit = 5.0f;
    sim.setIdentity(id);
    openProbe();
  }
  Bytes exchange(const std::function<int32_t()>& call, int32_t expected) {
    sim.clearReceived();
    EXPECT_EQ(call(), expected);
    return sim.received();
  }
};

TEST_F(ExportsTest, EachExportSendsItsFrameByteForByte) {
  char text[16];
  int32_t length;
  float a, b, c;
  struct Case { const char* name; std::function<int32_t()> call; Bytes frame; } cases[] = {
      {"Firmware", [&] { return VEL_Firmware(port, text, &length); }, bytesOf("#00?v*")},
      {"SerialNumber", [&] { return VEL_SerialNumber(port, text, &length); }, bytesOf("#00?s*")},
      {"ReadBattery", [&] { return VEL_ReadBattery(port, &a); }, bytesOf("#00?b*")},
      {"ReadTemperature", [&] { return VEL_ReadTemperature(port, &a); }, bytesOf("#00?t*")},
      {"ReadTotalField", [&] { return VEL_ReadTotalField(port, &a); }, bytesOf("#00?T*")},
      {"ReadAxisField", [&] { return VEL_ReadAxisField(port, &a, &b, &c); }, bytesOf("#00?A*")},
      {"SetFrequency 123", [&] { return VEL_SetFrequency(port, 123); }, withNuls("#00k 123*", 13)},
      {"SetFrequency 5000", [&] { return VEL_SetFrequency(port, 5000); }, withNuls("#00k 5000*", 13)},
      {"SetFrequency max", [&] { return VEL_SetFrequency(port, 9999999); }, bytesOf("#00k 9999999*")},
      {"SetFrequency min", [&] { return VEL_SetFrequency(port, -999999); }, bytesOf("#00k -999999*")},
      {"SetFilter 3", [&] { return VEL_SetFilter(port, 3); }, bytesOf("#00f3*")},
      {"SetFilter 7", [&] { return VEL_SetFilter(port, 7); }, bytesOf("#00f7*")},
      {"SetAutoOffTime 0", [&] { return VEL_SetAutoOffTime(port, 0); }, withNuls("#00e 0*", 11)},
      {"SetAutoOffTime 10800", [&] { return VEL_SetAutoOffTime(port, 10800); }, bytesOf("#00e 10800*")},
  };
  for (const auto& c : cases) EXPECT_EQ(exchange(c.call, VEL_OK), c.frame) << c.name;
  EXPECT_EQ(sim.filter(), 7);
  EXPECT_EQ(sim.autoOffSeconds(), 10800);
}

// Wrong letters, silence and the other line faults of every export are in the
// fault matrix; here the arguments a caller can get wrong.
TEST_F(ExportsTest, NullPointersAndInvalidHandlesSendNothing) {
  float v;
  int32_t length;
  char text[16];
  struct Case { const char* name; std::function<int32_t()> call; } cases[] = {
      {"Firmware text", [&] { return VEL_Firmware(port, nullptr, &length); }},
      {"SerialNumber length", [&] { return VEL_SerialNumber(port, text, nullptr); }},
      {"ProbeName", [&] { return VEL_ProbeName(port, nullptr, &length); }},
      {"Model", [&] { return VEL_Model(port, text, nullptr); }},
      {"CalibrationDate", [&] { return VEL_CalibrationDate(port, nullptr, nullptr); }},
      {"ReadBattery", [&] { return VEL_ReadBattery(port, nullptr); }},
      {"ReadTemperature", [&] { return VEL_ReadTemperature(port, nullptr); }},
      {"ReadTotalField", [&] { return VEL_ReadTotalField(port, nullptr); }},
      {"ReadAxisField", [&] { return VEL_ReadAxisField(port, &v, nullptr, &v); }},
  };
  for (const auto& c : cases) EXPECT_EQ(exchange(c.call, VEL_NULL_ARGUMENT), Bytes{}) << c.name;
  const HANDLE invalid = INVALID_HANDLE_VALUE;
  struct Invalid { const char* name; std::function<int32_t()> call; } invalidCases[] = {
      {"Firmware", [&] { return VEL_Firmware(invalid, text, &length); }},
      {"SerialNumber", [&] { return VEL_SerialNumber(invalid, text, &length); }},
      {"ReadBattery", [&] { return VEL_ReadBattery(invalid, &v); }},
      {"ReadAxisField", [&] { return VEL_ReadAxisField(invalid, &v, &v, &v); }},
      {"SetFrequency", [&] { return VEL_SetFrequency(invalid, 100); }},
      {"SetAutoOffTime", [&] { return VEL_SetAutoOffTime(invalid, 60); }},
  };
  for (const auto& c : invalidCases) EXPECT_EQ(exchange(c.call, VEL_INVALID_HANDLE), Bytes{}) << c.name;
}

TEST_F(ExportsTest, SettingRangesAreCheckedBeforeTheHandleAndSendNothing) {
  struct Case { const char* name; std::function<int32_t(HANDLE)> call; } cases[] = {
      {"filter 8", [](HANDLE h) { return VEL_SetFilter(h, 8); }},
      {"filter -1", [](HANDLE h) { return VEL_SetFilter(h, -1); }},
      {"auto-off 10801", [](HANDLE h) { return VEL_SetAutoOffTime(h, 10801); }},
      {"auto-off -1", [](HANDLE h) { return VEL_SetAutoOffTime(h, -1); }},
      {"frequency 10000000", [](HANDLE h) { return VEL_SetFrequency(h, 10000000); }},
      {"frequency -1000000", [](HANDLE h) { return VEL_SetFrequency(h, -1000000); }},
      {"frequency INT32_MIN", [](HANDLE h) { return VEL_SetFrequency(h, INT32_MIN); }},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(exchange([&] { return c.call(port); }, VEL_OUT_OF_RANGE), Bytes{}) << c.name;
    EXPECT_EQ(c.call(INVALID_HANDLE_VALUE), VEL_OUT_OF_RANGE) << c.name;
  }
  EXPECT_EQ(VEL_SetFilter(INVALID_HANDLE_VALUE, 0), VEL_INVALID_HANDLE);
}

TEST_F(ExportsTest, FirmwareTextIsTenOrElevenCharacters) {
  struct Case { std::string reply; std::string text; } cases[] = {
      {"vKV210:1.10 07/10;", "1.10 07/10"},
      {"vKV210:1.10 07/10X", "1.10 07/10X"},          // no ';'
      {"vKV21:1.100 07/10;", ".100 07/10;"},          // eleven between ':' and ';'; copy still starts at 7
      {"vKV210:1.10 07/10", std::string("1.10 07/10\0", 11)},  // 17 bytes: the zero after them is taken
      {"vKV210:1.10 0710;", std::string("1.10 0710;\0", 11)},
      {"vKV210X1.10 07/10;", "1.10 07/10;"},          // no ':'
  };
  for (const auto& c : cases) {
    sim.setReply("v", bytesOf(c.reply));
    char text[32];
    std::fill(std::begin(text), std::end(text), '\xEE');
    int32_t length = -1;
    ASSERT_EQ(VEL_Firmware(port, text, &length), VEL_OK) << c.reply;
    EXPECT_EQ(std::string(text, length), c.text) << c.reply;
    EXPECT_EQ(text[length], '\xEE') << c.reply << ": wrote past the text";
  }
}

TEST_F(ExportsTest, CachedExportsServeAnyHandleUntilTheNextOpening) {
  const HANDLE closed = port;
  ASSERT_EQ(VEL_RemoveProbe(port), VEL_OK);
  port = INVALID_HANDLE_VALUE;
  char text[8];
  int32_t length;
  for (HANDLE h : {closed, reinterpret_cast<HANDLE>(intptr_t{777})}) {
    ASSERT_EQ(VEL_Model(h, text, &length), VEL_OK);
    EXPECT_EQ(std::string(text, length), "KV210A");
    ASSERT_EQ(VEL_ProbeName(h, text, &length), VEL_OK);
    EXPECT_EQ(std::string(text, length), "KV210A");
    ASSERT_EQ(VEL_CalibrationDate(h, text, &length), VEL_OK);
    EXPECT_EQ(std::string(text, length), "07/12/26");
  }
  EXPECT_EQ(VEL_Model(INVALID_HANDLE_VALUE, text, &length), VEL_INVALID_HANDLE);

  // A second probe's opening replaces the block for every handle.
  sim::Simulator other;
  sim::Identity id;
  id.name = "OTHER1";
  other.setIdentity(id);
  HANDLE second = INVALID_HANDLE_VALUE;
  ASSERT_EQ(VEL_CreateProbe("KV21", &second, other.devicePath().c_str()), VEL_OK);
  ASSERT_EQ(VEL_ProbeName(closed, text, &length), VEL_OK);
  EXPECT_EQ(std::string(text, length), "OTHER1");
  VEL_RemoveProbe(second);
}

TEST_F(ExportsTest, BatteryAndTemperatureConversions) {
  struct Case { const char* command; Bytes reply; float expected; float tolerance; } cases[] = {
      {"b", {'b', 0x03, 0x00}, 3.6f, 0.0f},
      {"b", {'b', 0x00, 0x00}, 0.0f, 0.0f},
      {"b", {'b', 0xFF, 0xFF}, 307.1953f, 1e-4f},     // unsigned
      {"b", {'b', 0x0D, 0x11}, 15.679688f, 1e-4f},      // bytes that are control characters
      {"t", {'t', 0xFF, 0xFF}, -278.19f, 0.01f},      // signed: -1, not 65535
      {"t", {'t', 0x02, 0x80}, 3.9437f, 1e-3f},
      {"t", {'t', 0x00, 0x00}, -277.75f, 0.01f},
      {"t", {'t', 0x80, 0x00}, -14700.28f, 0.05f},
      {"t", {'t', 0x13, 0x03}, 1864.419f, 1e-3f},
  };
  for (const auto& c : cases) {
    sim.setReply(c.command, c.reply);
    float v = -1e9f;
    ASSERT_EQ(c.command[0] == 'b' ? VEL_ReadBattery(port, &v) : VEL_ReadTemperature(port, &v), VEL_OK);
    if (c.tolerance == 0.0f) EXPECT_EQ(v, c.expected) << c.command << int(c.reply[1]) << "," << int(c.reply[2]);
    else EXPECT_NEAR(v, c.expected, c.tolerance) << c.command << int(c.reply[1]) << "," << int(c.reply[2]);
  }
}

TEST_F(ExportsTest, TotalFieldIsTheRootCheckedAgainstTheLimit) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  struct Case { float limit; float squared; int32_t rc; float field; } cases[] = {
      {5.0f, 25.0f, VEL_OK, 5.0f},       {6.0f, 25.0f, VEL_OK, 5.0f},
      {4.99f, 25.0f, VEL_ABOVE_LIMIT, 0}, {5.0f, -1.0f, VEL_INVALID_VALUE, 0},
      {5.0f, nan, VEL_INVALID_VALUE, 0},  {5.0f, inf, VEL_ABOVE_LIMIT, 0},
      {5.0f, 0.0f, VEL_OK, 0.0f},         {nan, 25.0f, VEL_OK, 5.0f},
  };
  for (const auto& c : cases) {
    sim::Identity id;
    id.fieldLimit = c.limit;
    sim.setIdentity(id);
    ASSERT_EQ(VEL_RemoveProbe(port), VEL_OK);
    openProbe();
    sim.setReply("T", concat({bytesOf("T"), floatLE(c.squared)}));
    float v = -7.0f;
    EXPECT_EQ(VEL_ReadTotalField(port, &v), c.rc) << c.limit << " " << c.squared;
    EXPECT_EQ(v, c.rc == VEL_OK ? c.field : -7.0f) << c.limit << " " << c.squared;
  }
}

TEST_F(ExportsTest, AxisFieldChecksValidityBeforeTheLimit) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case { float axis[3]; int32_t rc; } cases[] = {
      {{6.0f, -1.0f, 1.0f}, VEL_INVALID_VALUE},  // negative second wins over first above limit
      {{6.0f, 1.0f, 1.0f}, VEL_ABOVE_LIMIT},
      {{1.0f, 2.0f, nan}, VEL_INVALID_VALUE},
      {{5.0f, 5.0f, 5.0f}, VEL_OK},              // equal to the limit passes
      {{0.5f, 4.25f, 1e-30f}, VEL_OK},
  };
  for (const auto& c : cases) {
    sim.setReply("A", concat({bytesOf("A"), floatLE(c.axis[0]), floatLE(c.axis[1]), floatLE(c.axis[2])}));
    float x = -7, y = -7, z = -7;
    EXPECT_EQ(VEL_ReadAxisField(port, &x, &y, &z), c.rc) << c.axis[0] << "," << c.axis[1] << "," << c.axis[2];
    if (c.rc == VEL_OK) {
      EXPECT_EQ(x, c.axis[0]);
      EXPECT_EQ(y, c.axis[1]);
      EXPECT_EQ(z, c.axis[2]);
    } else {
      EXPECT_EQ(x + y + z, -21.0f) << "written on failure";
    }
  }
  sim.setReply("A", concat({bytesOf("A"), floatLE(1), floatLE(1), Bytes{0, 0, 0x80}}));  // 12 bytes
  float x, y, z;
  EXPECT_EQ(VEL_ReadAxisField(port, &x, &y, &z), VEL_TIMEOUT);
}

TEST_F(ExportsTest, FrequencyIsConfirmedByItsTruncatedEcho) {
  struct Case { int32_t setting; float echo; int32_t rc; } cases[] = {
      {123, 1.23f, VEL_OK},
      {123, 1.2299999f, VEL_NOT_CONFIRMED},
      {123, 1.24f, VEL_NOT_CONFIRMED},
      {-50, -0.5f, VEL_OK},
      {0, std::numeric_limits<float>::quiet_NaN(), VEL_NOT_CONFIRMED},
      {9999999, 1e30f, VEL_NOT_CONFIRMED},
  };
  for (const auto& c : cases) {
    sim::Readings r;
    r.frequencyEcho = c.echo;
    sim.setReadings(r);
    EXPECT_EQ(VEL_SetFrequency(port, c.setting), c.rc) << c.setting << " echo " << c.echo;
  }
}

}  // namespace
}  // namespace kv210::test
