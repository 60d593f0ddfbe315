// What the window keeps between runs: each finished run compared with the
// last one of its settings file, the rows that changed marked, the rules
// that leave a report of the automatic sequence out, and the short report
// of a run that could not check.
#include "window/form_main.h"

#include "reports/report_texts.h"
#include "run/run_state.h"

#include <QFont>
#include <QHash>
#include <QTreeWidget>

namespace {

bool HostSet(const QString& Host) { return !Host.isEmpty() && Host != QLatin1String("0.0.0.0"); }

QString JoinMessages(const QString& First, const QString& Second) {
  if (First.isEmpty())
    return Second;
  if (Second.isEmpty())
    return First;
  return First + QStringLiteral("; ") + Second;
}

}  // namespace

void TFormMain::KeepRunState() {
  FRunChanges.reset();
  FRunStateMessage.clear();
  // A run that checked nothing says nothing about the devices.
  if (FSettingsUnused || !FNothingChecked.isEmpty() || !FSettings->HasLastCheck())
    return;
  const QString File = RunStateFileName(FSettingsFileName);
  const TRunStateRead Read = ReadRunState(File, FSettingsFileName);
  FRunChanges = CompareRuns(Read.State, *FSettings);
  // Kept or not, the run reports: a lost state only costs the next run its
  // comparison.
  FRunStateMessage =
      JoinMessages(Read.Message, WriteRunState(File, FSettingsFileName, StateAfter(*FRunChanges)));
}

void TFormMain::MarkChangedRows() {
  // A first run has nothing to have changed from: its rows stay as they are
  // (the reports' rules still count a device not OK as news).
  if (!FRunChanges || FRunChanges->PreviousRun.isNull())
    return;
  QHash<QString, const TDeviceChange*> Changed;
  for (const TDeviceChange& Change : FRunChanges->Devices)
    if (Change.Changed)
      Changed.insert(Change.Name, &Change);
  for (int I = 0; I < ListViewResults->topLevelItemCount(); ++I) {
    QTreeWidgetItem* Row = ListViewResults->topLevelItem(I);
    const TDevice* Device = RowDevice(Row);
    if (Device == nullptr)
      continue;
    const TDeviceChange* Change = Changed.value(Device->DeviceName());
    if (Change == nullptr)
      continue;
    const QString Range = Device->RoundTripRangeText();
    const QString Tip = ChangedRowToolTip(*Change, FRunChanges->PreviousRun);
    for (int Column = 0; Column < Row->columnCount(); ++Column) {
      QFont Font = Row->font(Column);
      Font.setBold(true);
      Row->setFont(Column, Font);
      Row->setToolTip(Column, Range.isEmpty() ? Tip : Tip + u'\n' + Range);
    }
  }
}

QString TFormMain::ReportLeftOut(TReportKind Kind) const {
  const TSettings& S = *FSettings;
  const bool Mail = Kind == rkMail;
  if (!FRunChanges || !HostSet(Mail ? S.SMTPHostAddress() : S.SyslogHostAddress()))
    return QString();
  return ReportLeftOutReason(Mail ? MailReportRule(S) : SysLogReportRule(S), *FRunChanges);
}

QString TFormMain::NotRunCause() const {
  // A file that could not be used names no server to tell it to.
  if (FSettingsUnused)
    return QString();
  return !FCheckNotStarted.isEmpty() ? FCheckNotStarted : FNothingChecked;
}

TReportResult TFormMain::SendNotRunReport(TReportKind Kind, QString& Why) {
  const QString Cause = NotRunCause();
  const TSettings& S = *FSettings;
  const bool Mail = Kind == rkMail;
  Why.clear();
  if (Cause.isEmpty() || !HostSet(Mail ? S.SMTPHostAddress() : S.SyslogHostAddress()))
    return rrNotSent;
  const TReportRule Rule = Mail ? MailReportRule(S) : SysLogReportRule(S);
  const QString File = RunStateFileName(FSettingsFileName);
  TRunStateRead Read = ReadRunState(File, FSettingsFileName);
  QString& LastCause = Mail ? Read.State.MailNotRunCause : Read.State.SysLogNotRunCause;
  if (!NotRunReportWanted(Rule, Cause, LastCause)) {
    if (Rule.When != swAlways)
      Why = QStringLiteral("the check could not run, as already reported");
    return rrNotSent;
  }
  FNotRunCause = Cause;
  bool Sent = false;
  try {
    Sent = Mail ? SendResultsToSMTP() : SendResultsToSysLog();
  } catch (...) {
    FNotRunCause.clear();
    throw;
  }
  FNotRunCause.clear();
  const TReportResult Result = Sent ? (Mail && FSMTPQueued ? rrQueued : rrSent) : rrFailed;
  if (Result != rrFailed) {
    LastCause = Cause;
    FRunStateMessage = JoinMessages(Read.Message, WriteRunState(File, FSettingsFileName, Read.State));
  }
  return Result;
}
