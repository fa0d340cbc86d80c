// The report's own pieces: the time in a post file's name, when the daily report falls due,
// and the JSON writer.
#include <gtest/gtest.h>

#include <string>

#include "info/Json.h"
#include "info/StateReport.h"
#include "platform/Text.h"

namespace kdht::info {
namespace {

std::string Stamp(const std::optional<platform::LocalTime>& t) { return t ? text::FormatStamp(*t) : "-"; }

TEST(PostFileTime, TakesTheTimeFromTheNameAndRefusesAnythingElse) {
  EXPECT_EQ(Stamp(PostFileTime("wpdcmtmplupdfailiu_N_1234_wpdcmtmplupdfailiu_12072025071000.txt")),
            "12/07/2025 07:10:00");
  EXPECT_EQ(Stamp(PostFileTime("a_N_1_a_02292024235959.TXT")), "02/29/2024 23:59:59");
  for (const char* name : {"a_N_1_a_02292023235959.txt",  // no 29 February that year
                           "a_N_1_a_13012024000000.txt", "a_N_1_a_01012024240000.txt",
                           "a_N_1_a_0101202400000.txt", "a_N_1_a_01012024000000.xml", "a_N_1_a01012024000000.txt",
                           "01012024000000.txt", "a_N_1_a_0101202400000x.txt", ""}) {
    EXPECT_EQ(Stamp(PostFileTime(name)), "-") << name;
  }
}

TEST(DailyReportDue, SameWholeHourOfTheNextDay) {
  EXPECT_EQ(text::FormatStamp(DailyReportDue({2025, 12, 7, 7, 10, 33})), "12/08/2025 07:00:00");
  EXPECT_EQ(text::FormatStamp(DailyReportDue({2025, 12, 31, 23, 59, 59})), "01/01/2026 23:00:00");
  EXPECT_EQ(text::FormatStamp(DailyReportDue({2024, 2, 28, 0, 0, 0})), "02/29/2024 00:00:00");
  EXPECT_EQ(text::FormatStamp(DailyReportDue({2023, 2, 28, 5, 1, 0})), "03/01/2023 05:00:00");
  EXPECT_EQ(text::FormatStamp(DailyReportDue({2025, 4, 30, 12, 0, 0})), "05/01/2025 12:00:00");
  // The rule it stands for: 24 boundaries are crossed there, 23 an hour before.
  const platform::LocalTime last{2025, 3, 9, 10, 59, 0};
  platform::LocalTime due = DailyReportDue(last);
  EXPECT_EQ(text::HourBoundariesBetween(last, due), 24);
  due.hour -= 1;
  due.minute = 59;
  EXPECT_EQ(text::HourBoundariesBetween(last, due), 23);
}

TEST(JsonWriter, NestsSeparatesAndEscapes) {
  JsonWriter j;
  j.BeginObject();
  j.Member("text", "a\"b\\c\r\n\t\x01\x7F \xC3\xA4");
  j.Member("count", std::size_t{3}).Member("yes", true);
  j.Key("none").Null();
  j.Key("empty").BeginArray().EndArray();
  j.Key("list").BeginArray().String("x").BeginObject().Member("k", "v").EndObject().EndArray();
  j.EndObject();
  EXPECT_EQ(j.Text(),
            "{\n"
            "  \"text\": \"a\\\"b\\\\c\\r\\n\\t\\u0001\\u007f \xC3\xA4\",\n"
            "  \"count\": 3,\n"
            "  \"yes\": true,\n"
            "  \"none\": null,\n"
            "  \"empty\": [],\n"
            "  \"list\": [\n"
            "    \"x\",\n"
            "    {\n"
            "      \"k\": \"v\"\n"
            "    }\n"
            "  ]\n"
            "}");
}

}  // namespace
}  // namespace kdht::info
