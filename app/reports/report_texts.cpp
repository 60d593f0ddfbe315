#include "reports/report_texts.h"

#include "common/locale_texts.h"
#include "settings/settings.h"

#include <QStringList>

#include <algorithm>

namespace {

constexpr char16_t Replacement = u'\uFFFD';
constexpr char16_t Ellipsis = u'\u2026';
constexpr qsizetype EllipsisOctets = 3;

// The groups of the mail body, in order, with their headings.
struct TMailGroup {
  TDeviceStatusCategory Category;
  const char* Heading;
};
constexpr TMailGroup MailGroups[] = {
    {dscNoConnection, "Devices with no connection at all:"},
    {dscUnknown, "Devices with unknown results:"},
    {dscOK, "Devices with OK connection:"},
};

// The groups the syslog report sends, in order, with their severity and
// heading; OK devices are not reported.
struct TSysLogGroup {
  TDeviceStatusCategory Category;
  int Severity;
  const char* Heading;
};
constexpr TSysLogGroup SysLogGroups[] = {
    {dscNoConnection, 3, "Devices with no connection at all:"},
    {dscUnknown, 4, "Devices with unknown results:"},
};
constexpr int SysLogSummarySeverity = 6;

bool IsControl(char32_t C) { return C < 0x20 || (C >= 0x7F && C <= 0x9F); }

// Octets of one code point in UTF-8.
qsizetype Utf8Octets(char32_t C) { return C < 0x80 ? 1 : C < 0x800 ? 2 : C < 0x10000 ? 3 : 4; }

qsizetype Utf8Octets(const QString& Text) { return Text.toUtf8().size(); }

const QString& SummaryPrefix() {
  static const QString Prefix = QStringLiteral("Dervik: ");
  return Prefix;
}

}  // namespace

QString ReportSafeText(const QString& Text) {
  QString Result = Text;
  for (qsizetype I = 0; I < Result.size(); ++I) {
    const QChar C = Result[I];
    // A lone surrogate has no UTF-8 form: the mail and syslog cores would refuse the whole text.
    const bool Pair = C.isHighSurrogate() && I + 1 < Result.size() && Result[I + 1].isLowSurrogate();
    if (Pair)
      ++I;
    else if (C.isSurrogate() || IsControl(C.unicode()))
      Result[I] = QChar(Replacement);
  }
  return Result;
}

QString FitToOctets(const QString& Text, qsizetype MaxOctets) {
  if (Utf8Octets(Text) <= MaxOctets)
    return Text;
  if (MaxOctets < EllipsisOctets)
    return QString();
  const qsizetype Room = MaxOctets - EllipsisOctets;
  qsizetype Used = 0;
  qsizetype End = 0;
  // Whole code points only: a surrogate pair is kept or dropped together.
  while (End < Text.size()) {
    const bool Pair = Text[End].isHighSurrogate() && End + 1 < Text.size() && Text[End + 1].isLowSurrogate();
    const char32_t C = Pair ? QChar::surrogateToUcs4(Text[End], Text[End + 1]) : Text[End].unicode();
    const qsizetype Octets = Text[End].isSurrogate() && !Pair ? 3 : Utf8Octets(C);  // a lone one as U+FFFD
    if (Used + Octets > Room)
      break;
    Used += Octets;
    End += Pair ? 2 : 1;
  }
  return Text.left(End) + QChar(Ellipsis);
}

QString DeviceReportLine(const QString& Name, const QString& Address, const QString& Status,
                         qsizetype MaxOctets) {
  const QString SafeName = ReportSafeText(Name), SafeAddress = ReportSafeText(Address),
                SafeStatus = ReportSafeText(Status);
  const auto Line = [](const QString& N, const QString& A, const QString& S) {
    return QStringLiteral("- %1 (%2): %3").arg(N, A, S);
  };
  const QString Whole = Line(SafeName, SafeAddress, SafeStatus);
  if (Utf8Octets(Whole) <= MaxOctets)
    return Whole;
  const qsizetype Room = std::max<qsizetype>(0, MaxOctets - Utf8Octets(Line({}, {}, SafeStatus)));
  const qsizetype AddressOctets = Utf8Octets(SafeAddress);
  const qsizetype NameOctets = Utf8Octets(SafeName);
  // A short name leaves its share to the address, and the other way round.
  qsizetype AddressRoom = std::min(AddressOctets, Room / 2);
  const qsizetype NameRoom = std::min(NameOctets, Room - AddressRoom);
  AddressRoom = Room - NameRoom;
  return FitToOctets(Line(FitToOctets(SafeName, NameRoom), FitToOctets(SafeAddress, AddressRoom), SafeStatus),
                     MaxOctets);
}

QString MailReportSubject(const TSettings& Settings) {
  // The header line is "Subject: " and this text.
  constexpr qsizetype FieldNameOctets = 9;
  return FitToOctets(ReportSafeText(SummaryPrefix() + Settings.LastCheckResult()),
                     MailLineOctets - FieldNameOctets);
}

QString MailReportBody(const TSettings& Settings) {
  QStringList Lines;
  Lines.append(QStringLiteral("Connection check results as of %1:")
                   .arg(FormatDateTimeForDisplay(Settings.LastCheckDT())));
  Lines.append(QString());
  for (const TMailGroup& Group : MailGroups) {
    bool HeadingAdded = false;
    for (const auto& Device : Settings.Devices()) {
      if (Device->DeviceStatusCategory() != Group.Category)
        continue;
      if (!HeadingAdded) {
        Lines.append(QString::fromLatin1(Group.Heading));
        HeadingAdded = true;
      }
      Lines.append(DeviceReportLine(Device->DeviceName(), Device->DeviceHostAddress(),
                                    Device->DeviceStatusToString(), MailLineOctets));
    }
    if (HeadingAdded)
      Lines.append(QString());
  }
  QString Body;
  for (const QString& Line : Lines)
    Body += Line + QStringLiteral("\r\n");
  return Body;
}

std::vector<TSysLogReportLine> SysLogReportLines(const TSettings& Settings) {
  std::vector<TSysLogReportLine> Lines;
  Lines.push_back(
      {SysLogSummarySeverity,
       FitToOctets(ReportSafeText(SummaryPrefix() + Settings.LastCheckResult()), SysLogTextOctets)});
  for (const TSysLogGroup& Group : SysLogGroups) {
    bool HeadingSent = false;
    for (const auto& Device : Settings.Devices()) {
      if (Device->DeviceStatusCategory() != Group.Category)
        continue;
      if (!HeadingSent) {
        Lines.push_back({Group.Severity, QString::fromLatin1(Group.Heading)});
        HeadingSent = true;
      }
      Lines.push_back({Group.Severity, DeviceReportLine(Device->DeviceName(), Device->DeviceHostAddress(),
                                                        Device->DeviceStatusToString(), SysLogTextOctets)});
    }
  }
  return Lines;
}
