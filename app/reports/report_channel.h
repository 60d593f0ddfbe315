// One way a run's results leave the program (the mail report, the syslog
// report). The run sequence, the window's commands and the unattended lines
// all go through this interface, so a further channel is one more class, its
// settings section and a menu item, and nobody asks "mail or syslog?".
#pragma once

#include "reports/report_rules.h"
#include "start/auto_mode.h"

#include <QString>
#include <QStringList>

#include <functional>

class TSettings;

// What a channel's settings section says about it, without its component:
// enough to decide whether it goes and to name it in the unattended lines.
struct TChannelTraits {
  QString Name;     // the key in the run state: "mail", "syslog"
  QString Section;  // its settings section: "SMTP", "Syslog"
  QString Host;
  int Port = 0;
  TReportRule Rule;  // SendWhen and ShowChanges of the section
  // What the unattended line adds after "sent" (a certificate nobody checked).
  QString SentNote;

  // A host is set: "0.0.0.0" or nothing leaves the report off.
  bool SetUp() const { return ReportHostSet(Host); }
  QString Destination() const;  // "host:port"
  QString Title() const;        // "Mail report", as panel 0 names it
  QString LowerTitle() const;   // "mail report", as the unattended lines do

  static bool ReportHostSet(const QString& Host);
};

// What a report is made of: the finished run (its settings hold the
// devices), what changed since the last one, or the cause of a run that
// could not check, which sends the short report instead of the results.
struct TReportInput {
  const TSettings& Settings;
  const TRunChanges* Changes = nullptr;  // none when the run was not compared
  QString NotRunCause;
};

// How one report ended.
struct TChannelOutcome {
  TChannelTraits Channel;
  TReportResult Result = rrNotSent;
  // The line that tells it (panel 0): where it went, or what failed; empty
  // when nothing was sent.
  QString Text;
  // Text with what to fix, when there is more to say than Text.
  QString ToolTip;
  // What to change after a failure or a report kept in a queue.
  QString Hint;
  // Why a rule (SendWhen, a cause already reported) left the report out.
  QString NotSentWhy;
  // Reports of earlier runs found lost for good, each naming its file and why.
  QStringList LostQueued;
};

class TReportChannel {
public:
  // Tells what the channel is doing while it sends ("Sending to ..."), so a
  // window can show it before the network answers.
  using TShowProgress = std::function<void(const QString& Text)>;

  virtual ~TReportChannel() = default;

  // The key of the channel in the run state: "mail", "syslog".
  virtual QString Name() const = 0;
  virtual TChannelTraits Traits(const TSettings& Settings) const = 0;
  // Composes Input's report and sends it. The component's exceptions are
  // caught into the outcome; only what is no report error gets through.
  virtual TChannelOutcome Send(const TReportInput& Input, const TShowProgress& ShowProgress) = 0;
};
