// The report's own pieces: the time in a post file's name, when the daily report falls due,
// and the JSON writer.
#include <gtest/gtest.h>

#include <string>

#include "info/Crashes.h"
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

// A minidump as the crash handler leaves it, cut to what the report reads: the header, a stream
// directory, an exception stream and a module list naming one module.
std::string SmallDump(std::uint64_t address) {
  std::string b(400, '\0');
  const auto put32 = [&](size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  };
  const auto put64 = [&](size_t at, std::uint64_t v) {
    put32(at, static_cast<std::uint32_t>(v));
    put32(at + 4, static_cast<std::uint32_t>(v >> 32));
  };
  put32(0, 0x504D444D);
  put32(8, 2);    // streams
  put32(12, 32);  // directory
  put32(32, 6), put32(36, 168), put32(40, 64);   // exception stream at 64
  put32(44, 4), put32(48, 112), put32(52, 240);  // module list at 240
  put32(64 + 8, 0xC0000005);
  put64(64 + 24, address);
  put32(240, 1);
  put64(244, 0x400000), put32(252, 0x10000), put32(264, 360);  // base, size, name
  const std::u16string name = u"C:\\x\\kDHT.exe";
  put32(360, static_cast<std::uint32_t>(name.size() * 2));
  for (size_t i = 0; i < name.size(); ++i) b[364 + 2 * i] = static_cast<char>(name[i]);
  return b;
}

TEST(ParseMinidump, NamesTheCodeModuleAndOffsetAndRefusesWhatIsCutOrForeign) {
  const auto inside = ParseMinidump(SmallDump(0x401234));
  ASSERT_TRUE(inside);
  EXPECT_EQ(inside->code, 0xC0000005u);
  EXPECT_EQ(inside->module, "kDHT.exe");
  EXPECT_EQ(inside->offset, 0x1234u);
  const auto outside = ParseMinidump(SmallDump(0x7FFE0000));
  ASSERT_TRUE(outside);
  EXPECT_EQ(outside->module, "");
  EXPECT_EQ(outside->offset, 0x7FFE0000u);
  // Cut anywhere before the exception record's end, or not a dump: nothing, and no read beyond.
  const std::string whole = SmallDump(0x401234);
  for (size_t size : {0u, 4u, 16u, 40u, 80u, 95u}) EXPECT_FALSE(ParseMinidump(whole.substr(0, size))) << size;
  EXPECT_FALSE(ParseMinidump("PMDM" + whole.substr(4)));
  // A module list cut short still gives the exception.
  EXPECT_TRUE(ParseMinidump(whole.substr(0, 250)));
}

}  // namespace
}  // namespace kdht::info
