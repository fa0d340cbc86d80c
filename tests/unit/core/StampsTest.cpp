// The time stamps of the log and the status file: what reads back as a stamp and what does not.
#include <gtest/gtest.h>

#include <string>

#include "platform/Clock.h"

namespace kdht {
namespace {

struct StampCase {
  const char* text;
  bool accepted;
  platform::LocalTime expected;
};

TEST(StampsTest, ParseStampTable) {
  const StampCase cases[] = {
      {"12/07/2025 07:10:00", true, {2025, 12, 7, 7, 10, 0}},
      {"02/29/2024 23:59:59", true, {2024, 2, 29, 23, 59, 59}},
      {"1/2/2020", true, {2020, 1, 2, 0, 0, 0}},
      {" 3/4/2021  5:06:07 \r\n", true, {2021, 3, 4, 5, 6, 7}},
      {"3/ 4/ 2021 5: 6: 7", true, {2021, 3, 4, 5, 6, 7}},  // blanks before a number, as "%d" skips them
      {"+3/4/2021", true, {2021, 3, 4, 0, 0, 0}},
      {"", false, {}},
      {"3 /4/2021", false, {}},           // a blank before a separator
      {"3/4/2021 5", false, {}},          // a time cut short
      {"3/4/2021 5:06", false, {}},
      {"3/4/2021 5:06:07 x", false, {}},  // anything after the time
      {"3/4/2021 x", false, {}},
      {"02/29/2023 00:00:00", false, {}},  // not a leap year
      {"13/01/2021", false, {}},
      {"3/4/99", false, {}},
      {"3/4/2021 24:00:00", false, {}},
      {"3/4/2021 -1:00:00", false, {}},
      {"4294967299/4/2021", false, {}},  // past an int: refused, not wrapped round to 3
      {"3/4/2021 4294967301:00:00", false, {}},
  };
  for (const StampCase& c : cases) {
    platform::LocalTime t{1, 1, 1, 1, 1, 1};
    EXPECT_EQ(text::ParseStamp(c.text, &t), c.accepted) << c.text;
    if (!c.accepted) continue;
    EXPECT_EQ(text::FormatStamp(t), text::FormatStamp(c.expected)) << c.text;
  }
}

TEST(StampsTest, WrittenStampsReadBack) {
  const platform::LocalTime t{2026, 1, 31, 23, 5, 9};
  EXPECT_EQ(text::FormatStamp(t), "01/31/2026 23:05:09");
  EXPECT_EQ(text::FormatCompact(t), "01312026230509");
  platform::LocalTime back{};
  ASSERT_TRUE(text::ParseStamp(text::FormatStamp(t), &back));
  EXPECT_EQ(text::HourBoundariesBetween(t, back), 0);
}

}  // namespace
}  // namespace kdht
