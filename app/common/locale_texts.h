// Numbers, dates and times as the user's locale writes them.
#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>

// General format with 15 significant digits: trailing zeros dropped, no
// decimal separator for a whole number, the locale's decimal separator
// otherwise (75, 33.3333333333333, or 33,3333333333333 with a comma locale).
QString FormatGeneral15(double Value, const QLocale& Locale = QLocale());

// A round trip given in microseconds, in milliseconds with the unit and
// three significant digits, at most two decimals: "0.04 ms", "1.25 ms",
// "12.3 ms", "260 ms", "1,204 ms" (the locale's separators; halves rounded
// away from zero).
QString FormatRoundTrip(double Microseconds, const QLocale& Locale = QLocale());

// The locale's short date, a blank and its long time; the time is left out
// when it is exactly midnight. The long time is taken without a time-zone
// name, which some locales' long time formats append.
QString FormatDateTimeForDisplay(const QDateTime& Value, const QLocale& Locale = QLocale());

// The locale's long time without a time-zone name, as in
// FormatDateTimeForDisplay.
QString FormatTimeForDisplay(const QTime& Value, const QLocale& Locale = QLocale());
