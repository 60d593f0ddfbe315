#include "start/auto_mode.h"

#include "reports/mail/mail_settings.h"
#include "reports/report_texts.h"
#include "history/run_export.h"
#include "settings/settings.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLocale>

#include <algorithm>
#include <array>

namespace {

struct TSwitch {
  const char* Text;
  bool Run, SMTP, SysLog;
};

constexpr std::array<TSwitch, 4> Switches{{
    {"/AUTO", true, true, true},
    {"/AUTORUN", true, false, false},
    {"/AUTOSMTP", false, true, false},
    {"/AUTOSYSLOG", false, false, true},
}};

bool HostSet(const QString& Host) { return !Host.isEmpty() && Host != QLatin1String("0.0.0.0"); }

// The note of a mail report that went encrypted to a server whose
// certificate nobody checked.
QString SentNote(TReportKind Kind, const TSettings& Settings) {
  if (Kind != rkMail)
    return QString();
  TMailConnection Connection;
  Connection.Security = ResolvedMailSecurity(Settings);
  Connection.Verify = ParseMailVerify(Settings.SMTPVerify()).value_or(true);
  return CertificateNotCheckedNote(Connection);
}

}  // namespace

TAutoSwitches ReadAutoSwitches(const QStringList& Arguments) {
  TAutoSwitches Result;
  const QLocale Locale;
  for (const QString& Argument : Arguments) {
    const QString Upper = Locale.toUpper(Argument);
    for (const TSwitch& Switch : Switches) {
      if (Upper != QLatin1String(Switch.Text))
        continue;
      Result.Run = Result.Run || Switch.Run;
      Result.SMTP = Result.SMTP || Switch.SMTP;
      Result.SysLog = Result.SysLog || Switch.SysLog;
    }
  }
  return Result;
}

bool IsAutoSwitch(const QString& Argument) {
  const QString Upper = QLocale().toUpper(Argument);
  return std::any_of(Switches.cbegin(), Switches.cend(),
                     [&](const TSwitch& Switch) { return Upper == QLatin1String(Switch.Text); });
}

TAutoRunMonitor::TAutoRunMonitor(bool Headless, TLineSink Sink, TExit Exit)
    : FHeadless(Headless), FSink(std::move(Sink)), FExit(std::move(Exit)) {
  if (!FExit)
    FExit = [](int Status) { QCoreApplication::exit(Status); };
}

void TAutoRunMonitor::Write(const QString& Line, TLineKind Kind) const {
  if (FSink && (FVerbose || Kind == lkProblem))
    FSink(QStringLiteral("dervik: ") + Line);
}

void TAutoRunMonitor::CheckDone(const TSettings& Settings, const QString& SettingsFileName,
                                const QString& NotStarted, const QString& SettingsProblem,
                                const QString& NothingChecked) {
  if (!NotStarted.isEmpty()) {
    FFailed = true;
    Write(NotStarted, lkProblem);
    return;
  }
  if (!Settings.HasLastCheck()) {
    // The window was closed or the application asked to quit during the run.
    FFailed = true;
    Write(QStringLiteral("the check run did not end"), lkProblem);
    return;
  }
  FChecked = true;
  // The file is looked at again only when nothing was checked: one deleted
  // during the run was read at its start, and its devices were checked.
  if (!SettingsProblem.isEmpty() || (Settings.Devices().empty() && !QFileInfo(SettingsFileName).isFile())) {
    // A scheduled job with a lost settings file checked nothing: it must not
    // pass as "all answered".
    FFailed = true;
    Write(SettingsProblem.isEmpty()
              ? QStringLiteral("settings file %1 not found: no devices to check").arg(SettingsFileName)
              : SettingsProblem + QStringLiteral(": no devices to check"),
          lkProblem);
    return;
  }
  for (const QString& Warning : Settings.UnknownNameWarnings())
    Write(Warning, lkProblem);
  // Said whether or not anything was checked: a scheduled job must not pass
  // devices over in silence.
  if (Settings.SkippedDevices() > 0)
    Write(QStringLiteral("only the first %1 devices of %2 are checked (%3 more left out)")
              .arg(Settings.Devices().size())
              .arg(SettingsFileName)
              .arg(Settings.SkippedDevices()),
          lkProblem);
  if (!NothingChecked.isEmpty()) {
    // Nothing asked, or nobody waited for an answer: neither "all answered"
    // nor an alarm for every device would be true.
    FFailed = true;
    FNothingChecked = true;
    Write(NothingChecked, lkProblem);
    return;
  }
  QStringList Silent;
  for (const auto& Device : Settings.Devices())
    if (Device->DeviceStatusCategory() != dscOK)
      Silent.append(ReportSafeText(Device->DeviceName()));
  FDevicesFailed = FDevicesFailed || !Silent.isEmpty();
  const auto Count = static_cast<qsizetype>(Settings.Devices().size());
  Write((Count == 1 ? QStringLiteral("checked %1 device from %2: %3")
                    : QStringLiteral("checked %1 devices from %2: %3"))
            .arg(QString::number(Count), SettingsFileName,
                 Settings.LastCheckResult().isEmpty() ? QStringLiteral("no result")
                                                      : Settings.LastCheckResult()),
        lkInfo);
  if (!Silent.isEmpty())
    Write(QStringLiteral("no answer from: ") + Silent.join(QStringLiteral(", ")), lkProblem);
}

void TAutoRunMonitor::ReportDone(TReportKind Kind, TReportResult Result, const TSettings& Settings,
                                 const QString& Panel0, const QString& NotSentReason, const QString& Hint) {
  const bool Mail = Kind == rkMail;
  const QString Name = Mail ? QStringLiteral("mail report") : QStringLiteral("syslog report");
  const QString& Host = Mail ? Settings.SMTPHostAddress() : Settings.SyslogHostAddress();
  const int Port = Mail ? Settings.SMTPPort() : Settings.SyslogPort();
  const QString Destination = QStringLiteral("%1:%2").arg(Host).arg(Port);
  switch (Result) {
    case rrSent:
      Write(QStringLiteral("%1 sent to %2").arg(Name, Destination) + SentNote(Kind, Settings), lkInfo);
      break;
    case rrFailed:
      FReportFailed = true;
      Write(QStringLiteral("%1 to %2 failed: %3").arg(Name, Destination, Panel0), lkProblem);
      break;
    case rrQueued:
      FReportQueued = true;
      Write(QStringLiteral("%1 to %2 queued: %3").arg(Name, Destination, Panel0), lkProblem);
      break;
    case rrNotSent:
      // Not asked for in the settings, or held back after a run that checked
      // nothing (whose own line says why): no failure of the report.
      if (!HostSet(Host))
        Write(QStringLiteral("%1 not sent: no server set (HostAddress in [%2])")
                  .arg(Name, Mail ? QStringLiteral("SMTP") : QStringLiteral("Syslog")),
              lkInfo);
      else if (!NotSentReason.isEmpty())
        Write(QStringLiteral("%1 not sent: %2").arg(Name, NotSentReason), lkInfo);
      else if (FNothingChecked)
        Write(QStringLiteral("%1 not sent: nothing was checked").arg(Name), lkInfo);
      else
        Write(QStringLiteral("%1 not sent: no finished check run").arg(Name), lkInfo);
      return;
  }
  if (!Hint.isEmpty() && Result != rrSent)
    Write(QStringLiteral("to fix: ") + Hint, lkProblem);
}

void TAutoRunMonitor::RunStateProblem(const QString& Message) {
  if (!Message.isEmpty())
    Write(Message, lkProblem);
}

void TAutoRunMonitor::QueuedMailLost(const QStringList& Reports) {
  for (const QString& Report : Reports) {
    FReportFailed = true;
    Write(QStringLiteral("queued mail report not delivered: ") + Report, lkProblem);
  }
}

bool TAutoRunMonitor::SequenceFailed(const QString& Message) {
  FFailed = true;
  Write(QStringLiteral("the automatic run stopped: ") + Message, lkProblem);
  if (!FHeadless)
    return false;
  FExit(ExitStatus());
  return true;
}

void TAutoRunMonitor::SetResultFiles(const QString& JsonFile, const QString& PrometheusFile) {
  FJsonFile = JsonFile;
  FPrometheusFile = PrometheusFile;
}

void TAutoRunMonitor::WriteResultFiles(const THistoryRun& Run) {
  const std::pair<const QString*, QByteArray (*)(const THistoryRun&)> Files[] = {
      {&FJsonFile, &RunJson}, {&FPrometheusFile, &RunPrometheus}};
  for (const auto& [FileName, Format] : Files) {
    if (FileName->isEmpty())
      continue;
    const QString Problem = WriteFileWhole(*FileName, Format(Run));
    if (Problem.isEmpty()) {
      Write(QStringLiteral("results written to %1").arg(*FileName), lkInfo);
      continue;
    }
    FReportFailed = true;
    Write(QStringLiteral("results not written to %1: %2").arg(*FileName, Problem), lkProblem);
  }
}

void TAutoRunMonitor::HistoryNote(const QString& Line) { Write(Line, lkProblem); }

int TAutoRunMonitor::ExitStatus() const {
  if (FFailed || !FChecked)
    return ExitStatusNotStarted;
  return (FDevicesFailed ? ExitStatusDevicesFailed : 0) | (FReportFailed ? ExitStatusReportFailed : 0) |
         (FReportQueued ? ExitStatusReportQueued : 0);
}
