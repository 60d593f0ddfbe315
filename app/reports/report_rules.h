// When a report goes out and what it adds about changes: the keys SendWhen
// and ShowChanges of [SMTP] and [Syslog], the comparison of a run with the
// one before it, and the texts that comparison adds to the reports. Pure
// functions, so the window, the unattended run and the tests agree.
#pragma once

#include "run/run_state.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <vector>

class TSettings;
struct TSysLogReportLine;

enum TSendWhen : std::uint8_t {
  swAlways,    // every run (the default)
  swFailures,  // at least one device not OK
  swChanges,   // at least one device changed category since the last run
};

// "always", "failures" or "changes" in any case, blanks around ignored;
// empty is "always". None for any other text.
std::optional<TSendWhen> ParseSendWhen(const QString& Text);
// "yes" or "no" in any case; empty is "no". None for any other text.
std::optional<bool> ParseShowChanges(const QString& Text);

// A report's rule as the settings give it; a value that does not parse
// counts as its default, so a slip never silences a report.
struct TReportRule {
  TSendWhen When = swAlways;
  bool ShowChanges = false;  // implied by swChanges
};
TReportRule MailReportRule(const TSettings& Settings);
TReportRule SysLogReportRule(const TSettings& Settings);

// One device of this run against the last one.
struct TDeviceChange {
  QString Name, Address;
  bool KnownBefore = false;  // listed by the last run under this name
  TDeviceStatusCategory WasCategory = dscUnknown;
  QString WasStatus;
  TDeviceStatusCategory Category = dscUnknown;
  QString Status;
  QDateTime Since;  // when it came into Category
  // Changed category since the last run; a device not seen before counts
  // when it is not OK.
  bool Changed = false;
};

struct TRunChanges {
  QDateTime PreviousRun;  // null on a first run
  QDateTime RunTime;
  std::vector<TDeviceChange> Devices;  // in the settings' order
  bool AnyChanged() const;
  bool AnyNotOK() const;
};

// This run's devices (Settings after a finished run) against Previous.
TRunChanges CompareRuns(const TRunState& Previous, const TSettings& Settings);
// What the next run compares with; the causes of runs that could not check
// are forgotten, since this one worked.
TRunState StateAfter(const TRunChanges& Changes);

// Why Rule leaves the report of a finished run out ("nothing changed", "all
// devices OK"), or empty when it goes.
QString ReportLeftOutReason(const TReportRule& Rule, const TRunChanges& Changes);

// The mail body's added section, every line ended by CR LF: the heading with
// the last run's time, a line per changed device and one per device not OK
// with the time since it has been so, and an empty line.
QString MailChangesSection(const TRunChanges& Changes);
// The syslog packets added after the report's own: one per changed device.
std::vector<TSysLogReportLine> SysLogChangeLines(const TRunChanges& Changes);

// The row's tooltip of a changed device: "was OK until 09.12.2026 06:35".
QString ChangedRowToolTip(const TDeviceChange& Change, const QDateTime& PreviousRun);

// The short report of a run that could not check.
QString NotRunSubject();
QString NotRunMailBody(const QString& Cause);
TSysLogReportLine NotRunSysLogLine(const QString& Cause);
// Whether a run that could not check, for Cause, sends a report under Rule
// when LastCause was reported last: only the rules that wait for trouble,
// and only once per cause.
bool NotRunReportWanted(const TReportRule& Rule, const QString& Cause, const QString& LastCause);
