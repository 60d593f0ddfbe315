#include "reports/report_rules.h"

#include "reports/report_texts.h"
#include "settings/settings.h"

#include <QHash>

#include <algorithm>
#include <array>
#include <utility>

namespace {

struct TSendWhenName {
  TSendWhen When;
  const char* Name;
};
constexpr std::array<TSendWhenName, 3> SendWhenNames{{
    {swAlways, "always"},
    {swFailures, "failures"},
    {swChanges, "changes"},
}};

TReportRule RuleOf(const QString& SendWhen, const QString& ShowChanges) {
  TReportRule Rule;
  Rule.When = ParseSendWhen(SendWhen).value_or(swAlways);
  Rule.ShowChanges = Rule.When == swChanges || ParseShowChanges(ShowChanges).value_or(false);
  return Rule;
}

// Devices are the same across runs by name, the key of [Devices]: the
// address shown is the one that answered, which for a host name may differ
// from run to run. A name given twice pairs in order.
QString DeviceKey(const QString& Name, QHash<QString, int>& Seen) {
  return Name + QChar(u'\0') + QString::number(Seen[Name]++);
}

const QString& Prefix() {
  static const QString Text = QStringLiteral("Dervik: ");
  return Text;
}

QString WasText(const TDeviceChange& Change) {
  return Change.KnownBefore ? Change.WasStatus : QStringLiteral("not checked before");
}

}  // namespace

std::optional<TSendWhen> ParseSendWhen(const QString& Text) {
  const QString Value = Text.trimmed();
  if (Value.isEmpty())
    return swAlways;
  for (const TSendWhenName& Name : SendWhenNames)
    if (Value.compare(QLatin1String(Name.Name), Qt::CaseInsensitive) == 0)
      return Name.When;
  return std::nullopt;
}

std::optional<bool> ParseShowChanges(const QString& Text) {
  const QString Value = Text.trimmed();
  if (Value.isEmpty() || Value.compare(QLatin1String("no"), Qt::CaseInsensitive) == 0)
    return false;
  if (Value.compare(QLatin1String("yes"), Qt::CaseInsensitive) == 0)
    return true;
  return std::nullopt;
}

TReportRule MailReportRule(const TSettings& Settings) {
  return RuleOf(Settings.SMTPSendWhen(), Settings.SMTPShowChanges());
}

TReportRule SysLogReportRule(const TSettings& Settings) {
  return RuleOf(Settings.SyslogSendWhen(), Settings.SyslogShowChanges());
}

bool TRunChanges::AnyChanged() const {
  return std::any_of(Devices.cbegin(), Devices.cend(), [](const TDeviceChange& D) { return D.Changed; });
}

bool TRunChanges::AnyNotOK() const {
  return std::any_of(Devices.cbegin(), Devices.cend(),
                     [](const TDeviceChange& D) { return D.Category != dscOK; });
}

TRunChanges CompareRuns(const TRunState& Previous, const TSettings& Settings) {
  TRunChanges Changes;
  Changes.PreviousRun = Previous.RunTime;
  Changes.RunTime = Settings.LastCheckDT();
  QHash<QString, const TDeviceState*> Before;
  QHash<QString, int> SeenBefore, SeenNow;
  for (const TDeviceState& Device : Previous.Devices)
    Before.insert(DeviceKey(Device.Name, SeenBefore), &Device);
  for (const auto& Device : Settings.Devices()) {
    TDeviceChange Change;
    Change.Name = Device->DeviceName();
    Change.Address = Device->DeviceHostAddress();
    Change.Category = Device->DeviceStatusCategory();
    Change.Status = Device->DeviceStatusToString();
    Change.Since = Changes.RunTime;
    if (const TDeviceState* Was = Before.value(DeviceKey(Change.Name, SeenNow))) {
      Change.KnownBefore = true;
      Change.WasCategory = Was->Category;
      Change.WasStatus = Was->Status;
      Change.Changed = Was->Category != Change.Category;
      if (!Change.Changed)
        Change.Since = Was->Since;
    } else {
      Change.Changed = Change.Category != dscOK;
    }
    Changes.Devices.push_back(std::move(Change));
  }
  return Changes;
}

TRunState StateAfter(const TRunChanges& Changes) {
  TRunState State;
  State.RunTime = Changes.RunTime;
  for (const TDeviceChange& D : Changes.Devices)
    State.Devices.push_back({D.Name, D.Address, D.Category, D.Status, D.Since});
  return State;
}

QString ReportLeftOutReason(const TReportRule& Rule, const TRunChanges& Changes) {
  switch (Rule.When) {
    case swAlways:
      break;
    case swFailures:
      if (!Changes.AnyNotOK())
        return QStringLiteral("all devices OK");
      break;
    case swChanges:
      if (!Changes.AnyChanged())
        return QStringLiteral("nothing changed");
      break;
  }
  return QString();
}

QString MailChangesSection(const TRunChanges& Changes) {
  QStringList Lines;
  Lines.append(QStringLiteral("Changes since the last run (%1):")
                   .arg(Changes.PreviousRun.isValid() ? RunTimeText(Changes.PreviousRun)
                                                      : QStringLiteral("no earlier run")));
  bool AnyChanged = false;
  for (const TDeviceChange& D : Changes.Devices) {
    if (!D.Changed)
      continue;
    AnyChanged = true;
    Lines.append(DeviceReportLine(D.Name, D.Address, QStringLiteral("%1 -> %2").arg(WasText(D), D.Status),
                                  MailLineOctets));
  }
  if (!AnyChanged)
    Lines.append(QStringLiteral("No device changed."));
  bool HeadingAdded = false;
  for (const TDeviceChange& D : Changes.Devices) {
    if (D.Category == dscOK)
      continue;
    if (!HeadingAdded) {
      Lines.append(QStringLiteral("Devices not OK, and since when:"));
      HeadingAdded = true;
    }
    Lines.append(DeviceReportLine(D.Name, D.Address,
                                  QStringLiteral("%1 since %2").arg(D.Status, RunTimeText(D.Since)),
                                  MailLineOctets));
  }
  Lines.append(QString());
  QString Section;
  for (const QString& Line : Lines)
    Section += Line + QStringLiteral("\r\n");
  return Section;
}

std::vector<TSysLogReportLine> SysLogChangeLines(const TRunChanges& Changes) {
  constexpr int ChangeSeverity = 5;
  std::vector<TSysLogReportLine> Lines;
  for (const TDeviceChange& D : Changes.Devices)
    if (D.Changed)
      Lines.push_back(
          {ChangeSeverity,
           FitToOctets(ReportSafeText(Prefix() + QStringLiteral("%1 (%2) changed from %3 to %4")
                                                     .arg(D.Name, D.Address, WasText(D), D.Status)),
                       SysLogTextOctets)});
  return Lines;
}

QString ChangedRowToolTip(const TDeviceChange& Change, const QDateTime& PreviousRun) {
  if (!Change.KnownBefore || !PreviousRun.isValid())
    return QStringLiteral("not checked before");
  return QStringLiteral("was %1 until %2").arg(Change.WasStatus, RunTimeText(PreviousRun));
}

QString NotRunSubject() { return Prefix() + QStringLiteral("the check could not run"); }

QString NotRunMailBody(const QString& Cause) {
  QString Body = NotRunSubject() + QStringLiteral("\r\n\r\n");
  for (const QString& Line : Cause.split(u'\n'))
    Body += FitToOctets(ReportSafeText(Line), MailLineOctets) + QStringLiteral("\r\n");
  return Body;
}

TSysLogReportLine NotRunSysLogLine(const QString& Cause) {
  constexpr int NotRunSeverity = 3;
  return {NotRunSeverity,
          FitToOctets(ReportSafeText(NotRunSubject() + QStringLiteral(": ") + Cause), SysLogTextOctets)};
}

bool NotRunReportWanted(const TReportRule& Rule, const QString& Cause, const QString& LastCause) {
  return Rule.When != swAlways && !Cause.isEmpty() && Cause != LastCause;
}
