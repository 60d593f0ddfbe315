#include "locale_texts.h"

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
