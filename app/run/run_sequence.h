// One run of the program without a window: the settings read again, every
// device checked, the run compared with the last one and kept, its history
// and result files written, and each report channel's report decided by its
// rule and sent. The window calls these steps from its menu commands and
// shows what they tell through a TRunView; an unattended run or a test calls
// Run and reads the TRunResult.
#pragma once

#include "reports/report_channel.h"
#include "run/run_result.h"

#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

class QObject;
struct TCheckCounts;
class TCheckRun;
class TCheckRunView;
class TDevice;
class THistoryStore;
class TSettings;
class TpelPing;
class TpelSMTP;
class TpelSysLog;

// What a run shows as it goes. A run without a window shows nothing and
// checks the settings' devices in their order.
class TRunView {
public:
  virtual ~TRunView() = default;
  // The rows the check goes through; none: the settings' devices.
  virtual TCheckRunView* CheckView() { return nullptr; }
  // The settings were read again (the rows borrow their devices).
  virtual void SettingsLoaded() {}
  // A line about the run or a report, with more in its tooltip.
  virtual void ShowText(const QString& /*Text*/, const QString& /*ToolTip*/ = QString()) {}
  // The run's summary and time were stamped, and the run compared with the
  // last one; RunStateMessage says why that comparison is off, or is empty.
  virtual void CheckStamped(const QString& /*RunStateMessage*/) {}
};

class TRunSequence {
public:
  // Where the settings and the history are looked for.
  struct TPlaces {
    QString ExecutableFile;
    QString ConfigHome;  // empty: only beside the program
    QString DataHome;    // empty: no history is kept
  };

  // With components of its own, set up as the window sets up its own.
  explicit TRunSequence(const TPlaces& Places);
  // With the caller's components (the window's); Owner, when given, must
  // outlive the sequence: a check run ends when it goes.
  TRunSequence(const TPlaces& Places, TpelPing& Ping, TpelSMTP& Smtp, TpelSysLog& SysLog,
               QObject* Owner = nullptr);
  ~TRunSequence();
  TRunSequence(const TRunSequence&) = delete;
  TRunSequence& operator=(const TRunSequence&) = delete;

  // Borrowed; none shows nothing.
  void SetView(TRunView* View);
  // The files --json and --prometheus name; empty: not asked for.
  void SetResultFiles(const QString& JsonFile, const QString& PrometheusFile);

  // The report channels, in the order the sequence sends them.
  const std::vector<std::unique_ptr<TReportChannel>>& Channels() const { return FChannels; }
  TReportChannel* Channel(const QString& Name) const;

  // The whole run: the check, then the report of each channel named in
  // Channels by its rule, as /AUTO runs them. Exceptions end up in Stopped.
  TRunResult Run(const QStringList& Channels);

  // The steps.
  // Looks for the settings file (beside the program, then in the user's
  // configuration folder) and loads it; SettingsProblem says what went wrong.
  void LoadSettings();
  enum TCheckEnd { ceNotStarted, ceFinished, ceStopped, ceOwnerGone };
  // The check run; after ceOwnerGone nothing of the owner's, this sequence
  // included, may be touched. The component's exceptions reach the caller.
  TCheckEnd Check();
  // The report by hand: only after a run, and never to an unset host.
  TChannelOutcome Report(TReportChannel& Channel);
  // The report of the automatic sequence: the short report of a run that
  // could not check by the rules that wait for trouble, left out by a rule,
  // or SendResults (a menu click, or Report). ReportsWanted is false after
  // a run that checked nothing under a watch.
  TChannelOutcome AutoReport(TReportChannel& Channel, bool ReportsWanted,
                             const std::function<TChannelOutcome()>& SendResults);

  TSettings& Settings() { return *FSettings; }
  const TSettings& Settings() const { return *FSettings; }
  const QString& SettingsFileName() const { return FSettingsFileName; }
  // Why the list is empty or short: no settings file found, the file found
  // not usable, or devices left out; empty when the file was read whole.
  const QString& SettingsProblem() const { return FSettingsProblem; }
  // The problem means no file was read.
  bool SettingsUnused() const { return FSettingsUnused; }
  // The history database of the settings file, or empty when none is kept.
  QString HistoryDatabase() const;

  // The last run so far; its Check is filled in when the check ends.
  const TRunResult& Result() const { return FResult; }
  // How the check stands now, as an unattended run tells it.
  TCheckOutcome CheckOutcome() const;
  // How the last report of Channel ended (by hand or automatic).
  TChannelOutcome LastReport(const QString& Channel) const;

  // The device whose requests go now in a run of one after the other.
  TDevice* CurrentDevice() const;
  // The ping component's Response event in the run of one after the other.
  void PingResponse(QObject* Sender, const QString& ResponseSource, const QString& ResponseStatus,
                    int ResponseTime);

private:
  class TDeviceListView;
  struct TOwnComponents;
  void AddChannels(TpelSMTP& Smtp, TpelSysLog& SysLog);
  TRunView& View();
  void Stamp(const TCheckCounts& Counts);
  void KeepRunState();
  void RecordRun();
  // Why the last run could not check, when a report can tell it, or empty.
  QString NotRunCause() const;
  // Why a rule leaves the automatic report of Channel out, or empty.
  QString ReportLeftOut(const TReportChannel& Channel) const;
  // The short report of a run that could not check, once per cause, by the
  // rules that wait for trouble; not sent, with Why, when it does not go.
  TChannelOutcome SendNotRunReport(TReportChannel& Channel, QString& Why);
  TChannelOutcome SendAndShow(TReportChannel& Channel, const TReportInput& Input);
  TChannelOutcome NotSent(const TReportChannel& Channel) const;
  // Kept as the channel's last report.
  void Remember(const TChannelOutcome& Outcome);

  TPlaces FPlaces;
  std::unique_ptr<TOwnComponents> FOwn;
  TpelPing& FPing;
  QPointer<QObject> FOwner;
  std::vector<std::unique_ptr<TReportChannel>> FChannels;
  TRunView* FView = nullptr;
  std::unique_ptr<TRunView> FSilentView;
  std::unique_ptr<TDeviceListView> FDeviceListView;
  std::unique_ptr<TSettings> FSettings;
  QString FSettingsFileName;
  QString FSettingsProblem;
  bool FSettingsUnused = false;
  QString FJsonFile, FPrometheusFile;
  // The check run going on, or none.
  TCheckRun* FCheckRun = nullptr;
  TRunResult FResult;
  // The history the runs are written into, open from run to run.
  std::unique_ptr<THistoryStore> FHistoryStore;
  std::vector<TChannelOutcome> FLastReports;
};
