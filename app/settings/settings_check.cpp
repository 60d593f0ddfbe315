#include "settings/settings_check.h"

#include "start/auto_mode.h"
#include "reports/mail/mail_channel.h"
#include "reports/mail/mail_settings.h"
#include "reports/report_rules.h"
#include "reports/syslog/syslog_channel.h"
#include "run/nothing_checked.h"
#include "settings/settings.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace {

// What a check finds: problems stop a run or a report, warnings do not.
struct TFindings {
  QStringList Problems, Warnings;
};

struct TRange {
  const char* Name;  // "Key in [Section]"
  std::int32_t (TSettings::*Get)() const;
  std::int32_t Low, High;
  bool Stops;           // a value outside stops the run or the report
  bool MailOnly;        // only when the mail report is set up
  bool SyslogOnly;      // only when the syslog report is set up
  const char* Outside;  // what the program does with a value outside
};

// Times and Timeout 0 or less are named by the nothing-checked text.
constexpr TRange Ranges[] = {
    {"TTL in [Ping]", &TSettings::PingTTL, 1, 255, true, false, false, "no ping can go out"},
    {"Parallel in [Ping]", &TSettings::PingParallel, 0, TSettings::PingParallelLimit, false, false, false,
     "0 or less checks one device after the other, above 10000 is 10000"},
    {"Port in [SMTP]", &TSettings::SMTPPort, 1, 65535, true, true, false, "no mail can go out"},
    {"Timeout in [SMTP]", &TSettings::SMTPTimeout, 1, TSettings::SMTPTimeoutLimit, false, true, false,
     "0 or less waits 60 s, above 3600 waits 3600 s"},
    {"Port in [Syslog]", &TSettings::SyslogPort, 1, 65535, true, false, true, "no syslog report can go out"},
    {"Facility in [Syslog]", &TSettings::SyslogFacility, 0, 23, true, false, true,
     "no syslog report can go out"},
};

// OnlyMail: the mail report's own values, which --test-mail checks too.
void CheckRanges(const TSettings& S, bool Mail, bool Syslog, bool OnlyMail, TFindings& Out) {
  for (const TRange& R : Ranges) {
    if ((R.MailOnly && !Mail) || (R.SyslogOnly && !Syslog) || (OnlyMail && !R.MailOnly))
      continue;
    const std::int32_t Value = (S.*R.Get)();
    if (Value >= R.Low && Value <= R.High)
      continue;
    (R.Stops ? Out.Problems : Out.Warnings)
        .append(QStringLiteral("%1 is %2, outside %3..%4: %5")
                    .arg(QLatin1String(R.Name))
                    .arg(Value)
                    .arg(R.Low)
                    .arg(R.High)
                    .arg(QLatin1String(R.Outside)));
  }
}

void CheckMail(const TSettings& S, TFindings& Out) {
  const TMailSettingsFindings Mail = CheckMailSettings(S);
  Out.Problems.append(Mail.Problems);
  Out.Warnings.append(Mail.Warnings);
}

QString SecurityWords(const TSettings& S) {
  const TMailSecurity Security = ResolvedMailSecurity(S);
  static const char* const Words[] = {"plaintext", "STARTTLS", "TLS", "plaintext"};
  QString Text = QLatin1String(Words[Security]);
  Text += S.SMTPUser().isEmpty() ? QStringLiteral(", no login")
                                 : QStringLiteral(", login as %1").arg(S.SMTPUser());
  if (!S.SMTPProxy().trimmed().isEmpty())
    Text += QStringLiteral(", proxy %1").arg(MaskedProxyText(S.SMTPProxy().trimmed()));
  if (!S.SMTPQueueDir().isEmpty())
    Text += QStringLiteral(", queue %1").arg(S.SMTPQueueDir());
  return Text;
}

// A value of SendWhen or ShowChanges that does not parse: the report then
// goes as by default, every run and without changes, rather than never.
void CheckReportRule(const QString& Section, const QString& SendWhen, const QString& ShowChanges,
                     TFindings& Out) {
  if (!ParseSendWhen(SendWhen))
    Out.Warnings.append(
        QStringLiteral("SendWhen in [%1] is \"%2\", not always, failures or changes: the report is sent "
                       "after every run")
            .arg(Section, SendWhen.trimmed()));
  if (!ParseShowChanges(ShowChanges))
    Out.Warnings.append(QStringLiteral("ShowChanges in [%1] is \"%2\", not yes or no: no changes are shown")
                            .arg(Section, ShowChanges.trimmed()));
}

// " (SendWhen=changes, changes shown)"; nothing for the defaults.
QString RuleWords(const TReportRule& Rule) {
  static const char* const When[] = {"always", "failures", "changes"};
  if (Rule.When == swAlways && !Rule.ShowChanges)
    return QString();
  return QStringLiteral(", SendWhen=%1%2")
      .arg(QLatin1String(When[Rule.When]), Rule.ShowChanges ? QStringLiteral(", changes shown") : QString());
}

// The lines of a report channel that is set up: where it goes and how,
// with its rule's words.
QStringList MailSetUpLines(const TSettings& S, const std::function<QString()>& AutoProxy) {
  QStringList Lines{QStringLiteral("Mail report: to %1 through %2:%3 (%4)")
                        .arg(S.SMTPRecipients().trimmed().isEmpty() ? QStringLiteral("nobody")
                                                                    : S.SMTPRecipients().trimmed(),
                             S.SMTPHostAddress())
                        .arg(S.SMTPPort())
                        .arg(SecurityWords(S) + RuleWords(MailReportRule(S)))};
  if (AutoProxy && ParseMailProxy(S.SMTPProxy()).Proxy.value_or(TMailProxy{}).AutoDetect)
    Lines.append(AutoDetectedProxyLine(AutoProxy()));
  return Lines;
}

QStringList SysLogSetUpLines(const TSettings& S, const std::function<QString()>& /*AutoProxy*/) {
  return {QStringLiteral("Syslog report: to %1:%2 (UDP), facility %3")
              .arg(S.SyslogHostAddress())
              .arg(S.SyslogPort())
              .arg(S.SyslogFacility()) +
          RuleWords(SysLogReportRule(S))};
}

// Each report channel as the check tells it, in the order a run sends them.
struct TChannelCheck {
  TChannelTraits (*Traits)(const TSettings&);
  QStringList (*SetUpLines)(const TSettings&, const std::function<QString()>&);
  const QString& (TSettings::*SendWhen)() const;
  const QString& (TSettings::*ShowChanges)() const;
};
const TChannelCheck ChannelChecks[] = {
    {&MailChannelTraits, &MailSetUpLines, &TSettings::SMTPSendWhen, &TSettings::SMTPShowChanges},
    {&SysLogChannelTraits, &SysLogSetUpLines, &TSettings::SyslogSendWhen, &TSettings::SyslogShowChanges},
};

// "unknown key in [SMTP]: Recipents: did you mean Recipients?"
QString UnknownNameText(const TSettings::TUnknownName& Name) {
  const bool Section = Name.Key.isEmpty();
  const QString Where =
      Section ? QStringLiteral("unknown section") : QStringLiteral("unknown key in [%1]").arg(Name.Section);
  const QString What = Section ? QStringLiteral("[%1]").arg(Name.Section) : Name.Key;
  const QString Meant = Section ? QStringLiteral("[%1]").arg(Name.Nearest) : Name.Nearest;
  return Name.Nearest.isEmpty() ? QStringLiteral("%1: %2: no setting reads it").arg(Where, What)
                                : QStringLiteral("%1: %2: did you mean %3?").arg(Where, What, Meant);
}

}  // namespace

TMailSettingsFindings CheckMailSettings(const TSettings& S) {
  TMailSettingsFindings Out;
  TFindings Ranges;
  CheckRanges(S, true, false, true, Ranges);
  Out.Problems.append(Ranges.Problems);
  Out.Warnings.append(Ranges.Warnings);
  if (S.SMTPRecipients().trimmed().isEmpty())
    Out.Problems.append(QStringLiteral("Recipients in [SMTP] is empty: the mail report has nobody to go to"));
  else if (const QString Problem = RecipientListProblem(S.SMTPRecipients()); !Problem.isEmpty())
    Out.Problems.append(QStringLiteral("Recipients in [SMTP] does not parse: ") + Problem);
  // The component refuses to send without a sender, so every report would fail.
  if (S.SMTPSender().trimmed().isEmpty())
    Out.Problems.append(
        QStringLiteral("Sender in [SMTP] is empty: no mail goes out without a sender address; "
                       "set Sender=dervik@your.domain"));
  const TMailConnectionSetup Setup = ReadMailConnection(S);
  Out.Problems.append(Setup.Problems);
  Out.Connection = Setup.Connection;
  const TMailConnection& C = Out.Connection;
  if (C.Security == msNone && !C.SecurityUnset && !C.User.isEmpty())
    Out.Warnings.append(
        QStringLiteral("Security=none in [SMTP]: the login of %1 and its password go out in clear; "
                       "set Security=starttls or tls")
            .arg(C.User));
  if (!CertificateNotCheckedNote(C).isEmpty())
    Out.Warnings.append(
        QStringLiteral("Verify=no in [SMTP]: the mail goes encrypted, but to whatever server "
                       "answers; pin it with Fingerprint instead"));
  return Out;
}

QString RecipientListProblem(const QString& Recipients) {
  static const QRegularExpression Address(QStringLiteral("^[^\\s<>@,;\"]+@[^\\s<>@,;\"]+$"));
  static const QRegularExpression Named(QStringLiteral("^[^<>]*<([^<>]*)>$"));
  for (const QString& Entry : Recipients.split(u',')) {
    const QString Item = Entry.trimmed();
    if (Item.isEmpty())
      return QStringLiteral("an empty entry between commas");
    const QRegularExpressionMatch Match = Named.match(Item);
    const QString Mailbox = Match.hasMatch() ? Match.captured(1).trimmed() : Item;
    if (!Address.match(Mailbox).hasMatch())
      return QStringLiteral("\"%1\" is no mail address").arg(Item);
  }
  return QString();
}

TSettingsCheck CheckSettings(const TSettingsLookup& Lookup, const std::function<QString()>& AutoProxy) {
  TSettingsCheck Out;
  QStringList Lines;
  TFindings Found;
  if (!Lookup.Found) {
    Lines.append(QStringLiteral("Settings file: none; looked for %1")
                     .arg(Lookup.Searched.join(QStringLiteral(" and "))));
    Found.Problems.append(QStringLiteral("no settings file: a run has no devices to check"));
  } else {
    Lines.append(QStringLiteral("Settings file: %1").arg(Lookup.FileName));
  }
  TSettings S;
  if (Lookup.Found)
    S.LoadFromFile(Lookup.FileName);
  if (Lookup.Found && !S.FileProblem().isEmpty()) {
    Found.Problems.append(S.FileProblem());
  } else if (Lookup.Found) {
    const bool Mail = MailChannelTraits(S).SetUp();
    const bool Syslog = SysLogChannelTraits(S).SetUp();
    Lines.append(QStringLiteral("Devices: %1").arg(S.Devices().size()));
    bool RulesCompare = false;
    for (const TChannelCheck& Channel : ChannelChecks) {
      const TChannelTraits Traits = Channel.Traits(S);
      if (!Traits.SetUp()) {
        Lines.append(QStringLiteral("%1: off (no HostAddress in [%2])").arg(Traits.Title(), Traits.Section));
        continue;
      }
      Lines.append(Channel.SetUpLines(S, AutoProxy));
      RulesCompare = RulesCompare || !RuleWords(Traits.Rule).isEmpty();
    }
    // Only the rules compare runs; without them the file is kept all the same.
    if (RulesCompare)
      Lines.append(QStringLiteral("State between runs: %1").arg(RunStateFileName(Lookup.FileName)));
    for (const TSettings::TUnknownName& Name : S.UnknownNames())
      Found.Warnings.append(UnknownNameText(Name));
    for (const QString& Key : S.NotIntegerKeys())
      Found.Warnings.append(QStringLiteral("%1 is no integer: the default is used").arg(Key));
    if (const QString Nothing = NothingCheckedText(S, Lookup.FileName); !Nothing.isEmpty())
      Found.Problems.append(Nothing);
    if (S.SkippedDevices() > 0)
      Found.Warnings.append(
          QStringLiteral("%1 devices beyond the limit are left out").arg(S.SkippedDevices()));
    // The mail report's own ranges come with CheckMail, as --test-mail gets them.
    CheckRanges(S, false, Syslog, false, Found);
    for (const TChannelCheck& Channel : ChannelChecks)
      if (const TChannelTraits Traits = Channel.Traits(S); Traits.SetUp())
        CheckReportRule(Traits.Section, (S.*Channel.SendWhen)(), (S.*Channel.ShowChanges)(), Found);
    if (Mail)
      CheckMail(S, Found);
  }
  for (const QString& Problem : Found.Problems)
    Lines.append(QStringLiteral("problem: ") + Problem);
  for (const QString& Warning : Found.Warnings)
    Lines.append(QStringLiteral("warning: ") + Warning);
  Lines.append(
      Found.Problems.isEmpty()
          ? QStringLiteral("No problem that would stop a run or a report.")
          : (Found.Problems.size() == 1
                 ? QStringLiteral("1 problem would stop a run or a report.")
                 : QStringLiteral("%1 problems would stop a run or a report.").arg(Found.Problems.size())));
  Out.Text = Lines.join(u'\n') + u'\n';
  Out.Status = Found.Problems.isEmpty() ? 0 : ExitStatusNotStarted;
  return Out;
}
