// Before any opening the cached data block is all zero: the cached exports
// return zero bytes and the field limit is 0.
#include <gtest/gtest.h>

#include <string>

#include "VEL_KV21X.h"

TEST(BeforeAnyOpening, CachedExportsReturnZeroBytes) {
  const HANDLE anyHandle = reinterpret_cast<HANDLE>(intptr_t{12345});
  struct Case { const char* name; int32_t (*call)(HANDLE, char*, int32_t*); int32_t length; } cases[] = {
      {"ProbeName", VEL_ProbeName, 6}, {"Model", VEL_Model, 6}, {"CalibrationDate", VEL_CalibrationDate, 8}};
  for (const auto& c : cases) {
    char text[16];
    std::fill(std::begin(text), std::end(text), '\xEE');
    int32_t length = -1;
    ASSERT_EQ(c.call(anyHandle, text, &length), VEL_OK) << c.name;
    EXPECT_EQ(length, c.length) << c.name;
    EXPECT_EQ(std::string(text, length), std::string(c.length, '\0')) << c.name;
    EXPECT_EQ(text[length], '\xEE') << c.name << ": wrote past the text";
    EXPECT_EQ(c.call(INVALID_HANDLE_VALUE, text, &length), VEL_INVALID_HANDLE) << c.name;
  }
}
