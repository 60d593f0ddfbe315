#include "device.h"
#include "locale_texts.h"
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

// The round trips of one run: the mean rounded to whole milliseconds (halves
// away from zero), the least and the most; a negative time counts as 0.
TEST(Device, RoundTripsOfARun) {
  const struct {
    std::vector<std::int32_t> Times;
    const char *Text;
    const char *Range;
    double Average;
  } Cases[] = {
      {{}, "", "", -1.0},
      {{0}, "0", "min 0 ms, max 0 ms", 0.0},
      {{7}, "7", "min 7 ms, max 7 ms", 7.0},
      {{1, 2}, "2", "min 1 ms, max 2 ms", 1.5},
      {{1, 1, 2}, "1", "min 1 ms, max 2 ms", 4.0 / 3.0},
      {{260, 40, 120}, "140", "min 40 ms, max 260 ms", 140.0},
      {{-5, 10}, "5", "min 0 ms, max 10 ms", 5.0},
      {{2147483647, 2147483647},
       "2147483647",
       "min 2147483647 ms, max 2147483647 ms",
       2147483647.0},
  };
  for (const auto &Case : Cases) {
    TDevice Device(QStringLiteral("A"), QStringLiteral("10.0.0.1"));
    for (std::int32_t Time : Case.Times) Device.AddRoundTrip(Time);
    const std::string Trace = Case.Range;
    EXPECT_EQ(Device.RoundTripCount(), static_cast<std::int32_t>(Case.Times.size())) << Trace;
    EXPECT_EQ(Device.RoundTripText(), QString::fromLatin1(Case.Text)) << Trace;
    EXPECT_EQ(Device.RoundTripRangeText(), QString::fromLatin1(Case.Range)) << Trace;
    EXPECT_DOUBLE_EQ(Device.RoundTripAverage(), Case.Average) << Trace;
    Device.ClearRoundTrips();
    EXPECT_EQ(Device.RoundTripCount(), 0);
    EXPECT_EQ(Device.RoundTripText(), QString());
    EXPECT_LT(Device.RoundTripAverage(), 0.0);
  }
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
