// Identity, measurement and settings exports against a simulated probe:
// frames, argument checks, decoding and conversions.
#include <cmath>
#include <functional>
#include <limits>

#include "probe_fixture.h"

namespace kv210::test {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

Bytes withNuls(std::string_view text, std::size_t size) {
  Bytes b = bytesOf(text);
  b.resize(size, 0);
  return b;
}

class ExportsTest : public ProbeTest {
 protected:
  void SetUp() override {
    ProbeTest::SetUp();
    setLimit(5.0f);
  }
  void setLimit(float limit) {
    sim::Identity id;
    id.fieldLimit = limit;
    sim.setIdentity(id);
    if (port != INVALID_HANDLE_VALUE) reopen();
    else openProbe();
  }
  char text[16];
  int32_t length = 0;
  float a = 0, b = 0, c = 0;
};

TEST_F(ExportsTest, FramesGoOutByteForByte) {
  struct Case { const char* name; std::function<int32_t()> call; Bytes frame; } cases[] = {
      {"Firmware", [&] { return VEL_Firmware(port, text, &length); }, bytesOf("#00?v*")},
      {"SerialNumber", [&] { return VEL_SerialNumber(port, text, &length); }, bytesOf("#00?s*")},
      {"ReadBattery", [&] { return VEL_ReadBattery(port, &a); }, bytesOf("#00?b*")},
      {"ReadTemperature", [&] { return VEL_ReadTemperature(port, &a); }, bytesOf("#00?t*")},
      {"ReadTotalField", [&] { return VEL_ReadTotalField(port, &a); }, bytesOf("#00?T*")},
      {"ReadAxisField", [&] { return VEL_ReadAxisField(port, &a, &b, &c); }, bytesOf("#00?A*")},
      {"SetFrequency 123", [&] { return VEL_SetFrequency(port, 123); }, withNuls("#00k 123*", 13)},
      {"SetFrequency 9999999", [&] { return VEL_SetFrequency(port, 9999999); }, bytesOf("#00k 9999999*")},
      {"SetFrequency -999999", [&] { return VEL_SetFrequency(port, -999999); }, bytesOf("#00k -999999*")},
      {"SetFilter 3", [&] { return VEL_SetFilter(port, 3); }, bytesOf("#00f3*")},
      {"SetFilter 7", [&] { return VEL_SetFilter(port, 7); }, bytesOf("#00f7*")},
      {"SetAutoOffTime 0", [&] { return VEL_SetAutoOffTime(port, 0); }, withNuls("#00e 0*", 11)},
      {"SetAutoOffTime 10800", [&] { return VEL_SetAutoOffTime(port, 10800); }, bytesOf("#00e 10800*")},
  };
  for (const auto& c : cases) EXPECT_EQ(sent(c.call, VEL_OK, c.name), c.frame) << c.name;
}

// What a caller can get wrong is refused before anything is sent: a setting
// out of range (before the handle is looked at), the invalid handle, a NULL.
TEST_F(ExportsTest, BadArgumentsAreRefusedBeforeAnythingIsSent) {
  const HANDLE bad = INVALID_HANDLE_VALUE;
  struct Case { const char* name; std::function<int32_t()> call; int32_t rc; } cases[] = {
      {"filter 8, bad handle", [&] { return VEL_SetFilter(bad, 8); }, VEL_OUT_OF_RANGE},
      {"filter -1", [&] { return VEL_SetFilter(port, -1); }, VEL_OUT_OF_RANGE},
      {"filter 0, bad handle", [&] { return VEL_SetFilter(bad, 0); }, VEL_INVALID_HANDLE},
      {"auto-off 10801, bad handle", [&] { return VEL_SetAutoOffTime(bad, 10801); }, VEL_OUT_OF_RANGE},
      {"auto-off -1", [&] { return VEL_SetAutoOffTime(port, -1); }, VEL_OUT_OF_RANGE},
      {"frequency 10000000", [&] { return VEL_SetFrequency(port, 10000000); }, VEL_OUT_OF_RANGE},
      {"frequency INT32_MIN", [&] { return VEL_SetFrequency(port, INT32_MIN); }, VEL_OUT_OF_RANGE},
      {"frequency, bad handle", [&] { return VEL_SetFrequency(bad, 100); }, VEL_INVALID_HANDLE},
      {"Firmware, bad handle", [&] { return VEL_Firmware(bad, text, &length); }, VEL_INVALID_HANDLE},
      {"SerialNumber, bad handle", [&] { return VEL_SerialNumber(bad, text, &length); }, VEL_INVALID_HANDLE},
      {"ReadAxisField, bad handle", [&] { return VEL_ReadAxisField(bad, &a, &b, &c); }, VEL_INVALID_HANDLE},
      {"Model, bad handle", [&] { return VEL_Model(bad, text, &length); }, VEL_INVALID_HANDLE},
      {"Firmware text NULL", [&] { return VEL_Firmware(port, nullptr, &length); }, VEL_NULL_ARGUMENT},
      {"SerialNumber length NULL", [&] { return VEL_SerialNumber(port, text, nullptr); }, VEL_NULL_ARGUMENT},
      {"CalibrationDate NULL", [&] { return VEL_CalibrationDate(port, nullptr, nullptr); }, VEL_NULL_ARGUMENT},
      {"ReadTotalField NULL", [&] { return VEL_ReadTotalField(port, nullptr); }, VEL_NULL_ARGUMENT},
      {"ReadAxisField second NULL", [&] { return VEL_ReadAxisField(port, &a, nullptr, &c); }, VEL_NULL_ARGUMENT},
  };
  for (const auto& c : cases) EXPECT_EQ(sent(c.call, c.rc, c.name), Bytes{}) << c.name;
}

TEST_F(ExportsTest, FirmwareTextIsTenOrElevenCharactersFromOffsetSeven) {
  struct Case { std::string reply; std::string text; } cases[] = {
      {"vKV210:1.10 07/10;", "1.10 07/10"},
      {"vKV210:1.10 07/10X", "1.10 07/10X"},                   // no ';'
      {"vKV21:1.100 07/10;", ".100 07/10;"},                   // eleven between ':' and ';'
      {"vKV210:1.10 07/10", std::string("1.10 07/10\0", 11)},  // 17 bytes: the zero after them is taken
      {"vKV210X1.10 07/10;", "1.10 07/10;"},                   // no ':'
  };
  for (const auto& c : cases) {
    sim.setReply("v", bytesOf(c.reply));
    std::fill(std::begin(text), std::end(text), '\xEE');
    ASSERT_EQ(VEL_Firmware(port, text, &length), VEL_OK) << c.reply;
    EXPECT_EQ(std::string(text, length), c.text) << c.reply;
    EXPECT_EQ(text[length], '\xEE') << c.reply << ": wrote past the text";
  }
  // Serial bytes come back as sent, control characters and all.
  const std::string serial("\x03\r\x11\x13\x00\n\x7f\x80\xff#", 10);
  sim.setReply("s", concat({bytesOf("s"), bytesOf(serial)}));
  ASSERT_EQ(VEL_SerialNumber(port, text, &length), VEL_OK);
  EXPECT_EQ(std::string(text, length), serial);
}

// Double arithmetic with the constants in their own precision and one
// rounding to single at the end. The raw values are chosen so that keeping
// 1.6, 0.986 or 281.690155029296875 in the other precision, or rounding in
// between, changes the result.
TEST_F(ExportsTest, ConversionsKeepEachConstantsPrecision) {
  struct Case { const char* command; Bytes reply; float expected; } cases[] = {
      {"b", {'b', 0x03, 0x00}, 3.6f},
      {"b", {'b', 0x00, 0x03}, 0x1.ccccccp-7f},   // 0.0140624996
      {"b", {'b', 0xFF, 0xFF}, 0x1.3332p+8f},     // 307.195312: unsigned
      {"t", {'t', 0x02, 0x6F}, -0x1.c4f53p+1f},   // raw 623: -3.53873253
      {"t", {'t', 0xFF, 0xFF}, -0x1.162fc8p+8f},  // raw -1, not 65535: -278.186646
  };
  for (const auto& c : cases) {
    sim.setReply(c.command, c.reply);
    float v = -1e9f;
    ASSERT_EQ(c.command[0] == 'b' ? VEL_ReadBattery(port, &v) : VEL_ReadTemperature(port, &v), VEL_OK);
    EXPECT_EQ(v, c.expected) << c.command << " " << int(c.reply[1]) << "," << int(c.reply[2]);
  }
}

TEST_F(ExportsTest, TotalFieldIsTheRootRoundedToSingleThenCheckedAgainstTheLimit) {
  struct Case { float limit; float squared; int32_t rc; float field; } cases[] = {
      {5.0f, 25.0f, VEL_OK, 5.0f},
      {4.99f, 25.0f, VEL_ABOVE_LIMIT, 0},
      // Its root is 5.00000019 in double, which rounds to 5.0 in single: it passes.
      {5.0f, 0x1.900002p+4f, VEL_OK, 5.0f},
      {5.0f, -1.0f, VEL_INVALID_VALUE, 0},
      {5.0f, kNaN, VEL_INVALID_VALUE, 0},
      {5.0f, std::numeric_limits<float>::infinity(), VEL_ABOVE_LIMIT, 0},
      {kNaN, 25.0f, VEL_OK, 5.0f},  // nothing is greater than NaN
  };
  for (const auto& c : cases) {
    setLimit(c.limit);
    sim.setReply("T", concat({bytesOf("T"), floatLE(c.squared)}));
    float v = -7.0f;
    EXPECT_EQ(VEL_ReadTotalField(port, &v), c.rc) << c.limit << " " << c.squared;
    EXPECT_EQ(v, c.rc == VEL_OK ? c.field : -7.0f) << c.limit << " " << c.squared;
  }
}

TEST_F(ExportsTest, AxisFieldChecksEveryValueBeforeTheLimit) {
  struct Case { float axis[3]; int32_t rc; } cases[] = {
      {{6.0f, -1.0f, 1.0f}, VEL_INVALID_VALUE},  // the negative second wins over the first above the limit
      {{1.0f, 2.0f, 6.0f}, VEL_ABOVE_LIMIT},
      {{1.0f, 2.0f, kNaN}, VEL_INVALID_VALUE},
      {{5.0f, 0.5f, 1e-30f}, VEL_OK},  // equal to the limit passes
  };
  for (const auto& c : cases) {
    sim.setReply("A", concat({bytesOf("A"), floatLE(c.axis[0]), floatLE(c.axis[1]), floatLE(c.axis[2])}));
    float x = -7, y = -7, z = -7;
    EXPECT_EQ(VEL_ReadAxisField(port, &x, &y, &z), c.rc) << c.axis[0] << "," << c.axis[1] << "," << c.axis[2];
    const bool ok = c.rc == VEL_OK;
    EXPECT_EQ(x, ok ? c.axis[0] : -7);
    EXPECT_EQ(y, ok ? c.axis[1] : -7);
    EXPECT_EQ(z, ok ? c.axis[2] : -7);
  }
}

TEST_F(ExportsTest, FrequencyIsConfirmedByItsEchoTimesHundredTruncated) {
  struct Case { int32_t setting; float echo; int32_t rc; } cases[] = {
      {123, 1.23f, VEL_OK},                // 123.0000019 truncates to 123
      {123, 1.2299999f, VEL_NOT_CONFIRMED},  // 122.99999
      {-50, -0.5f, VEL_OK},
      {29, 0.29f, VEL_NOT_CONFIRMED},      // 28.9999992 in double; single arithmetic would make it 29
      {0, kNaN, VEL_NOT_CONFIRMED},
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
