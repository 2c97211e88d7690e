// The helpers' edges that replies seldom reach; the common cases run in the
// reply and cycle tables.
#include "fakes.h"

namespace probeaddr::test {
using namespace UtilLib;

// A chunk of one or two bytes leaves nothing once its two oldest are dropped.
TEST(UtilLib, MidBytesAndTailLenAtTheEdges) {
  const Bytes five{10, 20, 30, 40, 50};
  struct { Bytes a; int start, length; Bytes want; } mids[] = {
      {five, 5, 1, {50}}, {five, 6, 1, {}}, {five, 2, 3, {20, 30, 40}}, {{}, -3, 5, {}}, {five, 1, 0, {}}};
  for (auto& m : mids) EXPECT_EQ(MidBytes(m.a, m.start, m.length), m.want) << m.start;
  EXPECT_THROW(MidBytes(five, 4, 3), std::out_of_range);
  EXPECT_THROW(MidBytes(five, 0, 1), std::out_of_range);
  struct { std::int32_t upper, start, want; } tails[] = {{1, 3, 1}, {2, 3, 1}, {9, 3, 8}, {-1, 3, 1}};
  for (auto& t : tails) EXPECT_EQ(TailLen(t.upper, t.start), t.want) << t.upper;
  EXPECT_THROW(TailLen(INT32_MAX, 0), std::overflow_error);
  EXPECT_EQ(FilterPrintable("a\r~\x7f b\x80"), "a~ b");
}

TEST(UtilLib, SerialNumberFormAndVersionFields) {
  for (const char* good : {"0424K10123", "0424k10123", "042AB10999", "042ab00000"})
    EXPECT_TRUE(IsValidSerial(good)) << good;
  // letter at 6, 2 at 7, 9 and 11 characters, letter at 1, digit at 5, blank
  for (const char* bad : {"0424KA0123", "0424K12123", "0424K1012", "0424K101234", "A424K10123",
                          "04245K0123", "0424K10 23", ""})
    EXPECT_FALSE(IsValidSerial(bad)) << bad;
  std::string a, b, c;
  EXPECT_TRUE(SplitField("AB:1 2345678;", a, b, c));
  EXPECT_EQ(a + "|" + b + "|" + c, "AB|1|23456");
  EXPECT_FALSE(SplitField("KV210:1.10_07/10;", a, b, c));
}

}  // namespace probeaddr::test
