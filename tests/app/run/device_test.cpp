#include "run/device.h"
#include "common/locale_texts.h"
#include "qt_printers.h"

#include <gtest/gtest.h>

#include <QLocale>

#include <vector>

namespace {

// Runs a test body with a chosen default locale and restores the previous one.
class LocaleScope {
 public:
  explicit LocaleScope(const QLocale &Locale) : FSaved(QLocale()) { QLocale::setDefault(Locale); }
  ~LocaleScope() { QLocale::setDefault(FSaved); }

 private:
  QLocale FSaved;
};

const QLocale Point(QLocale::English, QLocale::UnitedStates);
const QLocale Comma(QLocale::German, QLocale::Germany);

TEST(Device, CreatedUnchecked) {
  const TDevice Device(QStringLiteral("Router"), QStringLiteral("10.0.0.1"));
  EXPECT_EQ(Device.DeviceName(), QStringLiteral("Router"));
  EXPECT_EQ(Device.DeviceHostAddress(), QStringLiteral("10.0.0.1"));
  EXPECT_EQ(Device.DeviceStatus(), dsNone);
  EXPECT_EQ(Device.DeviceStatusCategory(), dscUnknown);
  EXPECT_EQ(Device.Pinged(), 0);
  EXPECT_EQ(Device.PingedOK(), 0);
  EXPECT_EQ(Device.DeviceStatusToString(), QString());
}

struct TStatusCase {
  std::int32_t Pinged;
  std::int32_t PingedOK;
  const char *Address;
  TDeviceStatus Status;
  TDeviceStatusCategory Category;
  const char *Text;           // with a point as decimal separator
  bool LookupFailed = false;  // the run found the address to name nothing
};

const TStatusCase StatusCases[] = {
    {0, 0, "10.0.0.1", dsNone, dscUnknown, ""},
    {0, 0, "", dsNone, dscUnknown, ""},
    {4, 4, "10.0.0.1", dsOK, dscOK, "OK"},
    {1, 1, "", dsOK, dscOK, "OK"},
    {4, 3, "10.0.0.1", dsOKPartial, dscOK, "OK (75%)"},
    {3, 1, "10.0.0.1", dsOKPartial, dscOK, "OK (33.3333333333333%)"},
    {3, 2, "10.0.0.1", dsOKPartial, dscOK, "OK (66.6666666666667%)"},
    {2, 1, "10.0.0.1", dsOKPartial, dscOK, "OK (50%)"},
    {8, 1, "10.0.0.1", dsOKPartial, dscOK, "OK (12.5%)"},
    {4, 0, "10.0.0.1", dsNoConnection, dscNoConnection, "No connection at all"},
    {4, 0, "", dsHostLookupFailed, dscNoConnection, "Unable to lookup host address"},
    {2, 3, "10.0.0.1", dsNone, dscUnknown, ""},  // more replies than requests
    {-1, 0, "10.0.0.1", dsNoConnection, dscNoConnection, "No connection at all"},
    {4, 0, "127.0.0.300", dsHostLookupFailed, dscNoConnection, "Unable to lookup host address",
     true},
    {2, 0, "", dsHostLookupFailed, dscNoConnection, "Unable to lookup host address", true},
    {4, 2, "127.0.0.300", dsOKPartial, dscOK, "OK (50%)", true},  // answers count first
    {0, 0, "127.0.0.300", dsNone, dscUnknown, "", true},
};

void PrintTo(const TStatusCase &Case, std::ostream *Out) {
  *Out << Case.PingedOK << " of " << Case.Pinged << " answered, address \"" << Case.Address << '"'
       << (Case.LookupFailed ? ", lookup failed" : "");
}

class DeviceStatusTest : public testing::TestWithParam<TStatusCase> {};

TEST_P(DeviceStatusTest, StatusCategoryAndText) {
  const LocaleScope Scope(Point);
  const TStatusCase &Case = GetParam();
  TDevice Device(QStringLiteral("D"), QString::fromLatin1(Case.Address));
  Device.SetPinged(Case.Pinged);
  Device.SetPingedOK(Case.PingedOK);
  Device.SetHostLookupFailed(Case.LookupFailed);
  Device.UpdateDeviceStatus();
  EXPECT_EQ(Device.DeviceStatus(), Case.Status);
  EXPECT_EQ(Device.DeviceStatusCategory(), Case.Category);
  EXPECT_EQ(Device.DeviceStatusToString(), QString::fromLatin1(Case.Text));
}

INSTANTIATE_TEST_SUITE_P(Counters, DeviceStatusTest, testing::ValuesIn(StatusCases));

TEST(Device, EveryStatusHasItsCategoryAndText) {
  const LocaleScope Scope(Point);
  struct {
    TDeviceStatus Status;
    TDeviceStatusCategory Category;
    const char *Text;
  } const Table[] = {
      {dsNone, dscUnknown, ""},
      {dsBeingChecked, dscUnknown, "Checking ..."},
      {dsOK, dscOK, "OK"},
      {dsOKPartial, dscOK, "OK (0%)"},  // counters 0: the rate is 0
      {dsNoConnection, dscNoConnection, "No connection at all"},
      {dsHostLookupFailed, dscNoConnection, "Unable to lookup host address"},
  };
  for (const auto &Row : Table) {
    TDevice Device(QStringLiteral("D"), QString());
    Device.SetDeviceStatus(Row.Status);
    EXPECT_EQ(DeviceStatusCategoryOf(Row.Status), Row.Category) << int(Row.Status);
    EXPECT_EQ(Device.DeviceStatusToString(), QString::fromLatin1(Row.Text)) << int(Row.Status);
  }
  // The category order is what the reports walk.
  EXPECT_LT(dscNoConnection, dscUnknown);
  EXPECT_LT(dscUnknown, dscOK);
}

TEST(Device, StatusOutsideTheEnumerationReadsAsNone) {
  TDevice Device(QStringLiteral("D"), QString());
  Device.SetDeviceStatus(static_cast<TDeviceStatus>(200));
  EXPECT_EQ(Device.DeviceStatusToString(), QString());
  EXPECT_EQ(DeviceStatusCategoryOf(static_cast<TDeviceStatus>(200)), dscUnknown);
}

TEST(Device, RateUsesTheLocaleDecimalSeparator) {
  const LocaleScope Scope(Comma);
  TDevice Device(QStringLiteral("D"), QStringLiteral("10.0.0.1"));
  const struct {
    std::int32_t Pinged, PingedOK;
    const char *Text;
  } Table[] = {
      {3, 1, "OK (33,3333333333333%)"},
      {3, 2, "OK (66,6666666666667%)"},
      {4, 3, "OK (75%)"},
      {8, 1, "OK (12,5%)"},
  };
  for (const auto &Row : Table) {
    Device.SetPinged(Row.Pinged);
    Device.SetPingedOK(Row.PingedOK);
    Device.UpdateDeviceStatus();
    EXPECT_EQ(Device.DeviceStatusToString(), QString::fromLatin1(Row.Text));
  }
}

// The round trips of one run, kept in microseconds: the mean and the range
// as FormatRoundTrip writes them; a negative time counts as 0.
TEST(Device, RoundTripsOfARun) {
  const LocaleScope English(Point);
  const struct {
    std::vector<std::int64_t> Times;
    const char *Text;
    const char *Range;
    double Average;
  } Cases[] = {
      {{}, "", "", -1.0},
      {{0}, "0.00 ms", "min 0.00 ms, max 0.00 ms", 0.0},
      {{35, 41, 52}, "0.04 ms", "min 0.04 ms, max 0.05 ms", 128.0 / 3.0},
      {{7000}, "7.00 ms", "min 7.00 ms, max 7.00 ms", 7000.0},
      {{1000, 2000}, "1.50 ms", "min 1.00 ms, max 2.00 ms", 1500.0},
      {{260000, 40000, 120000}, "140 ms", "min 40.0 ms, max 260 ms", 140000.0},
      {{-5, 10}, "0.01 ms", "min 0.00 ms, max 0.01 ms", 5.0},
      {{1204000, 1204400}, "1,204 ms", "min 1,204 ms, max 1,204 ms", 1204200.0},
      // Beyond 32 bits: a sum of many long times does not wrap.
      {{4000000000, 4000000000}, "4,000,000 ms", "min 4,000,000 ms, max 4,000,000 ms", 4e9},
  };
  for (const auto &Case : Cases) {
    TDevice Device(QStringLiteral("A"), QStringLiteral("10.0.0.1"));
    for (std::int64_t Time : Case.Times) Device.AddRoundTripMicroseconds(Time);
    const std::string Trace = Case.Range;
    EXPECT_EQ(Device.RoundTripCount(), static_cast<std::int32_t>(Case.Times.size())) << Trace;
    EXPECT_EQ(Device.RoundTripText(), QString::fromLatin1(Case.Text)) << Trace;
    EXPECT_EQ(Device.RoundTripRangeText(), QString::fromLatin1(Case.Range)) << Trace;
    EXPECT_DOUBLE_EQ(Device.RoundTripAverageMicroseconds(), Case.Average) << Trace;
    Device.ClearRoundTrips();
    EXPECT_EQ(Device.RoundTripCount(), 0);
    EXPECT_EQ(Device.RoundTripText(), QString());
    EXPECT_LT(Device.RoundTripAverageMicroseconds(), 0.0);
  }
}

// Milliseconds with three significant digits and at most two decimals,
// rounded (halves away from zero) before the digits are chosen, with the
// locale's separators.
TEST(LocaleTexts, RoundTrip) {
  const struct {
    double Microseconds;
    const QLocale &Locale;
    const char *Text;
  } Table[] = {
      {0.0, Point, "0.00 ms"},        {4.9, Point, "0.00 ms"},
      {5.0, Point, "0.01 ms"},        {35.0, Point, "0.04 ms"},
      {35.0, Comma, "0,04 ms"},       {999.0, Point, "1.00 ms"},
      {1250.0, Point, "1.25 ms"},     {9994.9, Point, "9.99 ms"},
      {9995.0, Point, "10.0 ms"},     {12345.0, Point, "12.3 ms"},
      {12345.0, Comma, "12,3 ms"},    {99949.0, Point, "99.9 ms"},
      {99950.0, Point, "100 ms"},     {260000.0, Point, "260 ms"},
      {1204499.0, Point, "1,204 ms"}, {1204500.0, Point, "1,205 ms"},
      {1204000.0, Comma, "1.204 ms"}, {1204000.0, QLocale::c(), "1204 ms"},
  };
  for (const auto &Row : Table)
    EXPECT_EQ(FormatRoundTrip(Row.Microseconds, Row.Locale), QString::fromLatin1(Row.Text))
        << Row.Microseconds << " " << Row.Locale.name().toStdString();
}

TEST(LocaleTexts, General15) {
  const struct {
    double Value;
    const QLocale &Locale;
    const char *Text;
  } Table[] = {
      {75.0, Point, "75"},
      {100.0, Point, "100"},
      {50.0, Comma, "50"},
      {100.0 / 3.0, Point, "33.3333333333333"},
      {100.0 / 3.0, Comma, "33,3333333333333"},
      {0.5, Point, "0.5"},
      {1234567.0, Comma, "1234567"},  // no group separator
  };
  for (const auto &Row : Table)
    EXPECT_EQ(FormatGeneral15(Row.Value, Row.Locale), QString::fromLatin1(Row.Text)) << Row.Text;
}

TEST(LocaleTexts, DateAndTimeInTheLocaleFormat) {
  const QDate Day(2026, 12, 9);
  const QString GermanDay = Comma.toString(Day, QLocale::ShortFormat);
  EXPECT_EQ(FormatDateTimeForDisplay(QDateTime(Day, QTime(14, 5, 31)), Comma),
            GermanDay + QStringLiteral(" 14:05:31"));
  // Exactly midnight: the date alone.
  EXPECT_EQ(FormatDateTimeForDisplay(QDateTime(Day, QTime(0, 0)), Comma), GermanDay);
  // The long time without the time-zone name some long formats carry.
  EXPECT_EQ(FormatDateTimeForDisplay(QDateTime(Day, QTime(14, 5, 31)), Point),
            Point.toString(Day, QLocale::ShortFormat) + QStringLiteral(" 2:05:31 PM"));
}

}  // namespace
