#include "common/locale_texts.h"

#include <cmath>

namespace {

// Removes the time-zone field ("t", outside quotes) and the blanks that
// separated it from the rest of the format.
QString WithoutTimeZone(const QString& Format) {
  QString Result;
  bool Quoted = false;
  for (const QChar C : Format) {
    if (C == u'\'')
      Quoted = !Quoted;
    if (!Quoted && C == u't')
      continue;
    Result.append(C);
  }
  return Result.simplified();
}

}  // namespace

QString FormatGeneral15(double Value, const QLocale& Locale) {
  QLocale Plain = Locale;
  Plain.setNumberOptions(QLocale::OmitGroupSeparator);
  return Plain.toString(Value, 'g', 15);
}

QString FormatRoundTrip(double Microseconds, const QLocale& Locale) {
  // Rounded to the digits shown first, so that 9.996 ms becomes "10.0 ms"
  // and not "10.00 ms".
  struct TStep {
    double MicrosecondsPerUnit;
    int Decimals;
  };
  constexpr TStep Steps[] = {{10.0, 2}, {100.0, 1}};
  for (const TStep& Step : Steps) {
    const double Units = std::round(Microseconds / Step.MicrosecondsPerUnit);
    if (Units < 1000.0)
      return Locale.toString(Units * Step.MicrosecondsPerUnit / 1000.0, 'f', Step.Decimals) +
             QStringLiteral(" ms");
  }
  return Locale.toString(std::round(Microseconds / 1000.0), 'f', 0) + QStringLiteral(" ms");
}

QString FormatDateTimeForDisplay(const QDateTime& Value, const QLocale& Locale) {
  QString Text = Locale.toString(Value.date(), QLocale::ShortFormat);
  if (Value.time() != QTime(0, 0)) {
    Text += u' ';
    Text += Locale.toString(Value.time(), WithoutTimeZone(Locale.timeFormat(QLocale::LongFormat)));
  }
  return Text;
}

QString FormatTimeForDisplay(const QTime& Value, const QLocale& Locale) {
  return Locale.toString(Value, WithoutTimeZone(Locale.timeFormat(QLocale::LongFormat)));
}
