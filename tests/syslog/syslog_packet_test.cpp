// The outgoing packet text: PRI, the fixed-width timestamp and the layout.
#include <gtest/gtest.h>

#include <string>

#include "syslog_packet.h"

namespace {

using namespace pelnet::syslog;

std::tm at(int month, int day, int h, int m, int s) {
  std::tm t{};
  t.tm_year = 126;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = h;
  t.tm_min = m;
  t.tm_sec = s;
  return t;
}

TEST(SyslogPacket, Priority) {
  struct Case {
    int facility, severity;
    unsigned pri;
  } cases[] = {{22, 6, 182}, {0, 0, 0},    {32, 1, 1},           {22, 14, 182}, {31, 7, 255},
               {1, -1, 15},  {-1, 0, 248}, {0x7fffffff, 7, 255}, {23, 3, 187}};
  for (const auto &c : cases)
    EXPECT_EQ(priority(c.facility, c.severity), c.pri) << c.facility << "/" << c.severity;
}

TEST(SyslogPacket, TimestampIsAlways15Characters) {
  struct Case {
    std::tm t;
    const char *text;
  } cases[] = {{at(12, 9, 14, 3, 7), "Dec  9 14:03:07"},
               {at(12, 19, 4, 5, 6), "Dec 19 04:05:06"},
               {at(1, 1, 0, 0, 0), "Jan  1 00:00:00"},
               {at(2, 29, 23, 59, 59), "Feb 29 23:59:59"},
               {at(6, 10, 9, 9, 9), "Jun 10 09:09:09"}};
  for (const auto &c : cases) {
    const auto ts = timestamp(c.t);
    ASSERT_TRUE(ts.has_value()) << c.text;
    EXPECT_EQ(*ts, c.text);
  }
}

TEST(SyslogPacket, InvalidClockReadingGivesNoTimestamp) {
  for (int month : {0, 13, -5}) EXPECT_FALSE(timestamp(at(month, 1, 0, 0, 0)).has_value()) << month;
  EXPECT_FALSE(timestamp(at(1, 0, 0, 0, 0)).has_value());
  EXPECT_FALSE(timestamp(at(1, 1, 24, 0, 0)).has_value());
}

TEST(SyslogPacket, ExactBytes) {
  const std::string p = buildPacket(priority(22, 6), "Dec  9 14:03:07", "WS01", "hello");
  EXPECT_EQ(p, "<182>Dec  9 14:03:07 WS01 hello");
  EXPECT_EQ(p.size(), 31u);
}

TEST(SyslogPacket, MessageEndsAtFirstZeroAndHasNoLineEnd) {
  const std::string p = buildPacket(0, "Jan  1 00:00:00", "h", std::string_view("ab\0cd", 5));
  EXPECT_EQ(p, "<0>Jan  1 00:00:00 h ab");
  EXPECT_EQ(buildPacket(1, "Jan  1 00:00:00", "h", ""), "<1>Jan  1 00:00:00 h ");
}

}  // namespace
