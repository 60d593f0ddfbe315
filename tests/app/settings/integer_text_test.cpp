#include "settings/integer_text.h"

#include <gtest/gtest.h>

#include <QString>

namespace {

struct TIntegerCase {
  const char *Text;
  std::optional<std::int32_t> Expected;
};

const TIntegerCase IntegerCases[] = {
    {"3", 3},
    {"+7", 7},
    {"-5", -5},
    {"0", 0},
    {"007", 7},
    {"2147483647", 2147483647},
    {"-2147483648", std::numeric_limits<std::int32_t>::min()},
    {"2147483648", std::nullopt},
    {"-2147483649", std::nullopt},
    {"99999999999999999999", std::nullopt},
    {"0x10", 16},
    {"0X10", 16},
    {"0x1f", 31},
    {"$1F", 31},
    {"$1f", 31},
    {"$FFFFFFFF", -1},
    {"0x7FFFFFFF", 2147483647},
    {"0x80000000", std::numeric_limits<std::int32_t>::min()},
    {"0x100000000", std::nullopt},
    {"0x000000010", 16},
    {"0x", std::nullopt},
    {"$", std::nullopt},
    {"0xg", std::nullopt},
    {"-0x10", std::nullopt},
    {"-$10", std::nullopt},
    {"abc", std::nullopt},
    {"", std::nullopt},
    {"-", std::nullopt},
    {"+", std::nullopt},
    {"1 2", std::nullopt},
    {"12a", std::nullopt},
    {"1.5", std::nullopt},
    {"\xD9\xA3", std::nullopt},  // ARABIC-INDIC DIGIT THREE: not an ASCII digit
};

void PrintTo(const TIntegerCase &Case, std::ostream *Out) { *Out << '"' << Case.Text << '"'; }

class IntegerTextTest : public testing::TestWithParam<TIntegerCase> {};

TEST_P(IntegerTextTest, Parses) {
  const TIntegerCase &Case = GetParam();
  EXPECT_EQ(ParseSettingsInteger(QString::fromUtf8(Case.Text)), Case.Expected)
      << '"' << Case.Text << '"';
}

INSTANTIATE_TEST_SUITE_P(Settings, IntegerTextTest, testing::ValuesIn(IntegerCases));

}  // namespace
