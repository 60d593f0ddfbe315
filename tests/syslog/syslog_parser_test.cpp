// The datagram parser as a table: one row per datagram, the fields it must give.
#include <gtest/gtest.h>

#include <string>

#include "syslog_parser.h"
#include "syslog_tables.h"

namespace {

using pelnet::syslog::parseDatagram;

struct ParseCase {
  const char *name;
  std::string datagram;
  int facility;
  int severity;
  const char *timestamp;
  const char *hostname;
  std::string message;
  bool conforms;
};

const ParseCase kCases[] = {
    {"rfc_form_day_below_10", "<182>Dec  9 14:03:07 WS01 hello world", 22, 6, "Dec  9 14:03:07",
     "WS01", "hello world", true},
    {"lower_case_month_message_keeps_blank", "<13>dec 19 04:05:06 host  two spaces", 1, 5,
     "dec 19 04:05:06", "host", " two spaces", true},
    {"year_before_time", "<34>Oct 11 2013 22:14:15 host msg", 4, 2, "Oct 11 2013 22:14:15", "host",
     "msg", false},
    {"fraction_of_second", "<34>Oct 11 22:14:15.123 host msg", 4, 2, "Oct 11 22:14:15.123", "host",
     "msg", false},
    {"no_priority_part", "a text without a priority part", 1, 5, "", "",
     "a text without a priority part", false},
    {"short_after_priority", "<13>short", 1, 5, "", "", "", false},
    {"empty_priority", "<>Jan  1 00:00:00 h m", 0, 0, "Jan  1 00:00:00", "h", "m", true},
    {"priority_255", "<255>Jan  1 00:00:00 h m", 31, 7, "Jan  1 00:00:00", "h", "m", true},
    // Boundaries of the priority part and of the 16 characters after it.
    {"five_digits_is_no_priority", "<12345>Jan  1 00:00:00 h m", 1, 5, "", "",
     "<12345>Jan  1 00:00:00 h m", false},
    {"four_digits_wrap", "<1234>Jan  1 00:00:00 h m", (1234 >> 3) & 31, 1234 & 7, "Jan  1 00:00:00",
     "h", "m", true},
    {"ends_after_digits", "<13", 1, 5, "", "", "<13", false},
    {"digits_not_closed", "<13x>Jan  1 00:00:00 h m", 1, 5, "", "", "<13x>Jan  1 00:00:00 h m",
     false},
    {"exactly_15_after_pri", "<13>Jan  1 00:00:00", 1, 5, "", "", "", false},
    {"16_after_pri_empty_host", "<13>Jan  1 00:00:00 ", 1, 5, "Jan  1 00:00:00", "", "", true},
    {"host_without_message", "<13>Jun 12 12:00:00 host", 1, 5, "Jun 12 12:00:00", "host", "", true},
    {"host_then_one_blank", "<13>Jun 12 12:00:00 host ", 1, 5, "Jun 12 12:00:00", "host", "", true},
    // Field checks.
    {"unknown_month", "<13>Foo 19 04:05:06 host msg", 1, 5, "Foo 04:05:06", "host", "msg", false},
    {"day_zero", "<13>Jan 00 04:05:06 host msg", 1, 5, "Jan 04:05:06", "host", "msg", false},
    {"day_32", "<13>Jan 32 04:05:06 host msg", 1, 5, "Jan 04:05:06", "host", "msg", false},
    {"hour_24_allowed", "<13>Jan 31 24:05:06 host msg", 1, 5, "Jan 31 24:05:06", "host", "msg",
     true},
    {"hour_25", "<13>Jan 31 25:05:06 host msg", 1, 5, "Jan 31 25:05:06", "host", "msg", false},
    {"one_digit_hour", "<13>Jan 31 4:05:06 host msg", 1, 5, "Jan 31 4:05:06", "host", "msg", true},
    {"minute_60", "<13>Jan 31 04:60:06 host msg", 1, 5, "Jan 31 04:60:06", "host", "msg", false},
    {"one_digit_second", "<13>Jan 31 04:05:6 host msg", 1, 5, "Jan 31 04:05:6", "host", "msg",
     false},
    {"fourth_time_field", "<13>Jan 31 04:05:06:07 host msg", 1, 5, "Jan 31 04:05:06:07", "host",
     "msg", false},
    {"four_char_time_not_year", "<13>Jan 31 4:05 host msg", 1, 5, "Jan 31 4:05", "host", "msg",
     false},
    {"only_spaces_after_month", "<13>May                     ", 1, 5, "May ", "", "", false},
    {"message_keeps_zero_bytes", std::string("<13>Jan 31 04:05:06 h m\0x", 25), 1, 5,
     "Jan 31 04:05:06", "h", std::string("m\0x", 3), true},
};

class ParseTable : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseTable, Fields) {
  const ParseCase &c = GetParam();
  const auto p = parseDatagram(c.datagram);
  EXPECT_EQ(p.facilityCode, c.facility);
  EXPECT_EQ(p.severityCode, c.severity);
  EXPECT_EQ(p.timestamp, c.timestamp);
  EXPECT_EQ(p.hostname, c.hostname);
  EXPECT_EQ(p.message, c.message);
  EXPECT_EQ(p.conforms, c.conforms);
}

INSTANTIATE_TEST_SUITE_P(Datagrams, ParseTable, testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(ParseDatagram, EmptyInputGivesDefaults) {
  const auto p = parseDatagram({});
  EXPECT_EQ(p.facilityCode, 1);
  EXPECT_EQ(p.severityCode, 5);
  EXPECT_FALSE(p.conforms);
  EXPECT_TRUE(p.message.empty());
}

// Every read is bounded: a view cut out of a larger buffer must never be read past its end.
TEST(ParseDatagram, NeverReadsPastTheView) {
  const std::string full = "<182>Dec  9 14:03:07 WS01 hello world";
  for (size_t n = 0; n <= full.size(); ++n) {
    std::string copy = full.substr(0, n);  // a heap copy of exactly n bytes for the sanitizer
    const auto p = parseDatagram(std::string_view(copy.data(), n));
    EXPECT_LE(p.message.size(), n);
    EXPECT_EQ(p.conforms, n >= 5 + 16) << n;
  }
}

struct NameCase {
  int code;
  const char *facility;
};

TEST(SyslogTables, FacilityNames) {
  const NameCase cases[] = {{0, "Kernel"},
                            {4, "Security/authorization"},
                            {9, "Clock Daemon"},
                            {10, "Security/Authorization"},
                            {15, "Clock Daemon"},
                            {22, "Local Use 6"},
                            {23, "Local Use 7"},
                            {24, "<unknown facility>"},
                            {31, "<unknown facility>"},
                            {-1, "<unknown facility>"}};
  for (const auto &c : cases)
    EXPECT_STREQ(pelnet::syslog::facilityName(c.code), c.facility) << c.code;
}

TEST(SyslogTables, SeverityNames) {
  const NameCase cases[] = {{0, "Emergency: System Is Unusable"},
                            {1, "Alert: Action Must Be Taken Immediately"},
                            {2, "Critical Condition"},
                            {3, "Error Condition"},
                            {4, "Warning Condition"},
                            {5, "Notice: Normal But Significant Condition"},
                            {6, "Informational Message"},
                            {7, "Debug-level Messages"}};
  for (const auto &c : cases)
    EXPECT_STREQ(pelnet::syslog::severityName(c.code), c.facility) << c.code;
}

}  // namespace
