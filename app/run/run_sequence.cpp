#include "run/run_sequence.h"

#include "history/history_store.h"
#include "history/run_export.h"
#include "pelping.h"
#include "pelsmtp.h"
#include "pelsyslog.h"
#include "reports/mail/mail_channel.h"
#include "reports/syslog/syslog_channel.h"
#include "run/check_run.h"
#include "run/nothing_checked.h"
#include "run/run_state.h"
#include "settings/settings.h"
#include "settings/settings_file.h"
#include "start/application.h"
#include "start/program_files.h"

#include <QDateTime>
#include <QScopeGuard>

#include <algorithm>

namespace {

QString JoinMessages(const QString& First, const QString& Second) {
  if (First.isEmpty())
    return Second;
  if (Second.isEmpty())
    return First;
  return First + QStringLiteral("; ") + Second;
}

}  // namespace

// The components of a sequence without a window, with the values the window
// gives its own: the syslog component sends from any free port, so a syslog
// server on this machine is never in the way.
struct TRunSequence::TOwnComponents {
  TpelPing Ping;
  TpelSMTP Smtp;
  TpelSysLog SysLog;
  TOwnComponents() {
    SysLog.setLocalPort(0);
    SysLog.setRemoteHost(QStringLiteral("255.255.255.255"));
  }
};

// The settings' devices in their order, as a run without a window checks them.
class TRunSequence::TDeviceListView : public TCheckRunView {
public:
  explicit TDeviceListView(const TRunSequence& Sequence) : FSequence(Sequence) {}
  int RowCount() const override { return static_cast<int>(FSequence.Settings().Devices().size()); }
  TDevice* RowDevice(int Index) const override {
    return FSequence.Settings().Devices()[static_cast<size_t>(Index)].get();
  }

private:
  const TRunSequence& FSequence;
};

TRunSequence::TRunSequence(const TPlaces& Places)
    : FPlaces(Places),
      FOwn(std::make_unique<TOwnComponents>()),
      FPing(FOwn->Ping),
      FSilentView(std::make_unique<TRunView>()),
      FDeviceListView(std::make_unique<TDeviceListView>(*this)),
      FSettings(std::make_unique<TSettings>()) {
  FPing.setOnResponse(
      [this](QObject* Sender, int /*RequestId*/, const QString& ResponseSource, const QString& ResponseStatus,
             int ResponseTime) { PingResponse(Sender, ResponseSource, ResponseStatus, ResponseTime); });
  AddChannels(FOwn->Smtp, FOwn->SysLog);
}

TRunSequence::TRunSequence(const TPlaces& Places, TpelPing& Ping, TpelSMTP& Smtp, TpelSysLog& SysLog,
                           QObject* Owner)
    : FPlaces(Places),
      FPing(Ping),
      FOwner(Owner),
      FSilentView(std::make_unique<TRunView>()),
      FDeviceListView(std::make_unique<TDeviceListView>(*this)),
      FSettings(std::make_unique<TSettings>()) {
  AddChannels(Smtp, SysLog);
}

TRunSequence::~TRunSequence() {
  // Answers that still come count for no device of the settings going now.
  FCheckRun = nullptr;
}

// The channels in the order the automatic sequence sends them.
void TRunSequence::AddChannels(TpelSMTP& Smtp, TpelSysLog& SysLog) {
  FChannels.push_back(std::make_unique<TMailChannel>(Smtp));
  FChannels.push_back(std::make_unique<TSysLogChannel>(SysLog));
}

void TRunSequence::SetView(TRunView* View) { FView = View; }

TRunView& TRunSequence::View() { return FView != nullptr ? *FView : *FSilentView; }

void TRunSequence::SetResultFiles(const QString& JsonFile, const QString& PrometheusFile) {
  FJsonFile = JsonFile;
  FPrometheusFile = PrometheusFile;
}

TReportChannel* TRunSequence::Channel(const QString& Name) const {
  for (const auto& Channel : FChannels)
    if (Channel->Name() == Name)
      return Channel.get();
  return nullptr;
}

void TRunSequence::LoadSettings() {
  const TSettingsLookup Lookup = FindSettingsFile(FPlaces.ExecutableFile, FPlaces.ConfigHome);
  FSettingsFileName = Lookup.FileName;
  FSettings = std::make_unique<TSettings>(FSettingsFileName);
  FSettingsUnused = true;
  if (!Lookup.Found) {
    FSettingsProblem = SettingsNotFoundText(
        Lookup.Searched,
        SettingsCreateCommand(Lookup.Searched.back(), ExampleSettingsFileFor(FPlaces.ExecutableFile),
                              qEnvironmentVariable("HOME")));
  } else if (!FSettings->FileProblem().isEmpty()) {
    FSettingsProblem = FSettings->FileProblem();
  } else {
    FSettingsUnused = false;
    FSettingsProblem = FSettings->SkippedDevices() == 0
                           ? QString()
                           : QStringLiteral("Only the first %1 devices of %2 are listed (%3 more left out)")
                                 .arg(FSettings->Devices().size())
                                 .arg(FSettingsFileName)
                                 .arg(FSettings->SkippedDevices());
  }
}

TRunSequence::TCheckEnd TRunSequence::Check() {
  // Events handled during the run may end the owner, and this sequence with
  // it: after the run nothing is touched unless the owner is still there.
  TCheckRun Run(FPing, FOwner);
  FCheckRun = &Run;
  FResult = TRunResult();
  const auto Forget = qScopeGuard([&] {
    if (Run.OwnerAlive())
      FCheckRun = nullptr;
  });
  // Without a port no device is asked: pinging anyway would show every
  // device as silent and stamp a run that never happened. Looked at before
  // the settings are reloaded, so the list keeps what it showed; the last
  // stamp goes, so the reports do not send those results as this run's.
  const QString NotStarted = Run.PortProblem(*FSettings);
  if (!NotStarted.isEmpty()) {
    FSettings->SetLastCheckDT(QDateTime());
    FSettings->SetLastCheckResult(QString());
    FResult.Check.NotStarted = NotStarted;
    View().ShowText(NotStarted);
    FResult.Check = CheckOutcome();
    return ceNotStarted;
  }
  // The settings file is read again, and the ping component set up from it.
  LoadSettings();
  View().SettingsLoaded();
  TCheckRun::ConfigurePing(FPing, *FSettings);
  TCheckRunView* Rows = View().CheckView();
  const bool Finished = Run.Run(*FSettings, Rows != nullptr ? *Rows : *FDeviceListView);
  if (!Run.OwnerAlive())
    return ceOwnerGone;
  FResult.PeakInFlight = Run.PeakInFlight();
  if (Finished) {
    Stamp(Run.Counts());
    RecordRun();
  }
  FResult.Check = CheckOutcome();
  return Finished ? ceFinished : ceStopped;
}

TCheckOutcome TRunSequence::CheckOutcome() const {
  // Only a file that could not be used counts against the run: devices left
  // out beyond the limit were still checked, and a file deleted during the
  // run was read at its start.
  return TCheckOutcome::Of(*FSettings, FSettingsFileName, FResult.Check.NotStarted,
                           FSettingsUnused ? FSettingsProblem : QString(), FResult.Check.NothingChecked);
}

// The run's summary and time go into the settings, and the run is compared
// with the last one.
void TRunSequence::Stamp(const TCheckCounts& Counts) {
  FSettings->SetLastCheckResult(Counts.Summary());
  FSettings->SetLastCheckDT(QDateTime::currentDateTime());
  // A file that could not be used is told as such; this is for a file read
  // whose settings left nothing to check.
  FResult.Check.NothingChecked =
      FSettingsUnused ? QString() : NothingCheckedText(*FSettings, FSettingsFileName);
  KeepRunState();
  View().CheckStamped(FResult.RunStateMessage);
}

void TRunSequence::KeepRunState() {
  FResult.Changes.reset();
  FResult.RunStateMessage.clear();
  // A run that checked nothing says nothing about the devices.
  if (FSettingsUnused || !FResult.Check.NothingChecked.isEmpty() || !FSettings->HasLastCheck())
    return;
  const QString File = RunStateFileName(FSettingsFileName);
  const TRunStateRead Read = ReadRunState(File, FSettingsFileName);
  FResult.Changes = CompareRuns(Read.State, *FSettings);
  // Kept or not, the run reports: a lost state only costs the next run its
  // comparison.
  FResult.RunStateMessage =
      JoinMessages(Read.Message, WriteRunState(File, FSettingsFileName, StateAfter(*FResult.Changes)));
}

QString TRunSequence::HistoryDatabase() const {
  if (FPlaces.DataHome.isEmpty() || FSettingsFileName.isEmpty())
    return QString();
  return HistoryDatabaseFile(FSettingsFileName, FPlaces.DataHome);
}

// After a finished run: its results into the history and the files asked for.
void TRunSequence::RecordRun() {
  // A run that checked nothing has no results to keep or pass on.
  if (FSettingsUnused || !FResult.Check.NothingChecked.isEmpty())
    return;
  const THistoryRun Run = RunRecordOf(*FSettings, FSettingsFileName);
  FResult.ResultFiles = WriteResultFilesOf(Run, FJsonFile, FPrometheusFile);
  const QString Database = HistoryDatabase();
  if (Database.isEmpty() || FSettings->HistoryKeep() <= 0)
    return;
  // One store for the sequence's life: a window that stays keeps its
  // connection from run to run and checkpoints in batches; a process of one
  // run closes it, and with it the run's pages reach the file, when it ends.
  if (FHistoryStore == nullptr || FHistoryStore->FileName() != Database) {
    FHistoryStore = std::make_unique<THistoryStore>(Database);
    FHistoryStore->SetKeepOpen(true);
  }
  const THistoryWriteOutcome Outcome =
      FHistoryStore->Write(Run, FSettings->HistoryKeep(), QDateTime::currentDateTime());
  FResult.HistoryLine = Outcome.Problem.isEmpty() ? Outcome.Note : Outcome.Problem;
  if (!FResult.HistoryLine.isEmpty())
    View().ShowText(FResult.HistoryLine);
}

TChannelOutcome TRunSequence::NotSent(const TReportChannel& Channel) const {
  TChannelOutcome Outcome;
  Outcome.Channel = Channel.Traits(*FSettings);
  return Outcome;
}

TChannelOutcome TRunSequence::LastReport(const QString& Channel) const {
  const auto It =
      std::find_if(FLastReports.cbegin(), FLastReports.cend(),
                   [&](const TChannelOutcome& Outcome) { return Outcome.Channel.Name == Channel; });
  if (It != FLastReports.cend())
    return *It;
  const TReportChannel* Known = this->Channel(Channel);
  return Known != nullptr ? NotSent(*Known) : TChannelOutcome();
}

TChannelOutcome TRunSequence::SendAndShow(TReportChannel& Channel, const TReportInput& Input) {
  const TChannelOutcome Outcome = Channel.Send(Input, [this](const QString& Text) { View().ShowText(Text); });
  View().ShowText(Outcome.Text, Outcome.ToolTip);
  return Outcome;
}

TChannelOutcome TRunSequence::Report(TReportChannel& Channel) {
  TChannelOutcome Outcome = NotSent(Channel);
  // Only after a run, and never to an unset host.
  if (FSettings->HasLastCheck() && Outcome.Channel.SetUp())
    Outcome = SendAndShow(Channel, {*FSettings, FResult.Changes ? &*FResult.Changes : nullptr, QString()});
  Remember(Outcome);
  return Outcome;
}

void TRunSequence::Remember(const TChannelOutcome& Outcome) {
  const auto It = std::find_if(FLastReports.begin(), FLastReports.end(), [&](const TChannelOutcome& Last) {
    return Last.Channel.Name == Outcome.Channel.Name;
  });
  if (It != FLastReports.end())
    *It = Outcome;
  else
    FLastReports.push_back(Outcome);
}

QString TRunSequence::NotRunCause() const {
  // A file that could not be used names no server to tell it to.
  if (FSettingsUnused)
    return QString();
  return !FResult.Check.NotStarted.isEmpty() ? FResult.Check.NotStarted : FResult.Check.NothingChecked;
}

QString TRunSequence::ReportLeftOut(const TReportChannel& Channel) const {
  const TChannelTraits Traits = Channel.Traits(*FSettings);
  if (!FResult.Changes || !Traits.SetUp())
    return QString();
  return ReportLeftOutReason(Traits.Rule, *FResult.Changes);
}

TChannelOutcome TRunSequence::SendNotRunReport(TReportChannel& Channel, QString& Why) {
  const QString Cause = NotRunCause();
  TChannelOutcome Outcome = NotSent(Channel);
  Why.clear();
  if (Cause.isEmpty() || !Outcome.Channel.SetUp())
    return Outcome;
  const QString File = RunStateFileName(FSettingsFileName);
  TRunStateRead Read = ReadRunState(File, FSettingsFileName);
  if (!NotRunReportWanted(Outcome.Channel.Rule, Cause, Read.State.NotRunCauses.value(Channel.Name()))) {
    if (Outcome.Channel.Rule.When != swAlways)
      Why = QStringLiteral("the check could not run, as already reported");
    return Outcome;
  }
  Outcome = SendAndShow(Channel, {*FSettings, nullptr, Cause});
  if (Outcome.Result != rrFailed) {
    Read.State.NotRunCauses.insert(Channel.Name(), Cause);
    FResult.RunStateMessage = JoinMessages(Read.Message, WriteRunState(File, FSettingsFileName, Read.State));
  }
  return Outcome;
}

TChannelOutcome TRunSequence::AutoReport(TReportChannel& Channel, bool ReportsWanted,
                                         const std::function<TChannelOutcome()>& SendResults) {
  // A run that could not check is told once per cause by the rules that
  // wait for trouble; "always" keeps the reports as they were.
  const bool NotRun = !NotRunCause().isEmpty();
  QString Why = ReportLeftOut(Channel);
  TChannelOutcome Outcome;
  if (NotRun && Channel.Traits(*FSettings).Rule.When != swAlways)
    Outcome = SendNotRunReport(Channel, Why);
  else if (ReportsWanted && Why.isEmpty())
    Outcome = SendResults();
  else
    Outcome = NotSent(Channel);
  Outcome.NotSentWhy = Why;
  if (!Why.isEmpty())
    View().ShowText(QStringLiteral("%1 not sent: %2.").arg(Outcome.Channel.Title(), Why));
  Remember(Outcome);
  FResult.Reports.push_back(Outcome);
  return Outcome;
}

TRunResult TRunSequence::Run(const QStringList& Channels) {
  try {
    // Read before the check as the window reads them when it opens: the
    // ping port is tried the way the file says.
    LoadSettings();
    Check();
    // The unattended run's own rule: a run that checked nothing sends no
    // report, which would pass an empty or silent list on as the network's state.
    TAutoRunMonitor Rules(true, {}, [](int) {});
    Rules.CheckDone(FResult.Check);
    for (const auto& Channel : FChannels)
      if (Channels.contains(Channel->Name()))
        AutoReport(*Channel, Rules.ReportsWanted(), [&] { return Report(*Channel); });
  } catch (...) {
    FResult.Stopped = ExceptionMessageText(std::current_exception());
  }
  return FResult;
}

TDevice* TRunSequence::CurrentDevice() const {
  return FCheckRun != nullptr ? FCheckRun->CurrentDevice() : nullptr;
}

void TRunSequence::PingResponse(QObject* Sender, const QString& ResponseSource, const QString& ResponseStatus,
                                int ResponseTime) {
  if (FCheckRun != nullptr)
    FCheckRun->Response(Sender, ResponseSource, ResponseStatus, ResponseTime);
}
