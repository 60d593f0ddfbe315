// Program entry of Dervik.
#include "start/application.h"
#include "start/auto_mode.h"
#include "core_units.h"
#include "start/file_version.h"
#include "window/form_main.h"
#include "start/headless_run.h"
#include "history/history_store.h"
#include "reports/mail/mail_settings.h"
#include "start/output_options.h"
#include "pelsmtp.h"
#include "start/program_files.h"
#include "window/read_me_window.h"
#include "settings/settings_check.h"
#include "settings/settings_file.h"
#include "reports/mail/test_mail.h"
#include "start/unattended_start.h"

#include <QCoreApplication>
#include <QGuiApplication>

#include <cstdio>
#include <cstdlib>
#include <optional>

namespace {

// Every byte, also after a NUL that a name from a UTF-16 settings file may hold.
void WriteText(std::FILE* Stream, const QString& Text) {
  const QByteArray Bytes = Text.toLocal8Bit();
  std::fwrite(Bytes.constData(), 1, static_cast<size_t>(Bytes.size()), Stream);
  std::fflush(Stream);
}

// The setting-up commands (--check-settings, --test-mail): no window, no
// check run; nullopt when none was asked for.
// The proxy Proxy=auto finds, as the mail component finds it.
QString AutoDetectedProxy(int& argc, char** argv) {
  unsetenv("QT_NO_GLIB");
  const QCoreApplication Application(argc, argv);
  try {
    const TCoreUnits CoreUnits;
    TpelSMTP Smtp;
    Smtp.setFirewallAutoDetect(true);
    return AutoDetectedProxyText(Smtp);
  } catch (...) {
    return QString();
  }
}

std::optional<int> RunSettingUpCommand(const TProgramOptions& Options, int& argc, char** argv) {
  if (Options.CheckSettings) {
    const TSettingsCheck Check =
        CheckSettings(FindSettingsFile(ExecutableFilePath(), ConfigHomeFromEnvironment()),
                      [&] { return AutoDetectedProxy(argc, argv); });
    WriteText(stdout, Check.Text);
    return Check.Status;
  }
  if (!Options.TestMail)
    return std::nullopt;
  unsetenv("QT_NO_GLIB");
  QCoreApplication Application(argc, argv);
  try {
    const TCoreUnits CoreUnits;
    return SendTestMail(FindSettingsFile(ExecutableFilePath(), ConfigHomeFromEnvironment()),
                        [](const QString& Line) { WriteText(stderr, Line + u'\n'); });
  } catch (...) {
    WriteText(stderr, QStringLiteral("dervik: ") + ExceptionMessageText(std::current_exception()) + u'\n');
    return ExitStatusNotStarted;
  }
}

// --history: the stored runs of the settings file the window would load.
int PrintHistory(const TOutputOptions& Options) {
  const TSettingsLookup Lookup = FindSettingsFile(ExecutableFilePath(), ConfigHomeFromEnvironment());
  if (!Lookup.Found) {
    WriteText(stderr, QStringLiteral("dervik: no settings file, so no history (looked for %1)\n")
                          .arg(Lookup.Searched.join(QStringLiteral(", "))));
    return HistoryNotReadable;
  }
  QByteArray Out;
  QString Error;
  const int Status =
      RunHistoryCommand(Options, HistoryDatabaseFile(Lookup.FileName, DataHomeFromEnvironment()),
                        QDateTime::currentDateTime(), &Out, &Error);
  if (Status != HistoryPrinted) {
    WriteText(stderr, QStringLiteral("dervik: ") + Error + u'\n');
    return Status;
  }
  std::fwrite(Out.constData(), 1, static_cast<size_t>(Out.size()), stdout);
  std::fflush(stdout);
  return Status;
}

// An automatic run where no window can be seen: a core application only,
// so no platform plugin, no font and no widget is loaded, and the process
// ends as soon as the sequence has. What it tells and how it ends are the
// window's own on such a platform.
int RunHeadless(const TProgramOptions& Options, int& argc, char** argv) {
  THeadlessApplication Application(argc, argv);
  SetExceptionReportToStandardError(true);
  // The sequence returns here; no event loop is left to end.
  TAutoRunMonitor Monitor(
      true, [](const QString& Line) { WriteText(stderr, Line + u'\n'); }, [](int) {});
  Monitor.SetVerbose(Options.Verbose);
  Monitor.SetResultFiles(Options.Output.JsonFile, Options.Output.PrometheusFile);
  // Binds the cores before the components exist; unbinds them after.
  const TCoreUnits CoreUnits;
  return RunWithoutWindow({ExecutableFilePath(), ConfigHomeFromEnvironment(), DataHomeFromEnvironment()},
                          Options.Switches, Monitor);
}

}  // namespace

int main(int argc, char** argv) {
  // The program's own options answer without a window or a display.
  const TProgramOptions Options = ReadProgramOptions(argc, argv);
  if (Options.Help || Options.Version) {
    const QString Executable = ExecutableFilePath();
    const TSettingsLookup Lookup = FindSettingsFile(Executable, ConfigHomeFromEnvironment());
    WriteText(stdout, Options.Help
                          ? (Lookup.Found ? HelpText(Lookup.FileName)
                                          : HelpText(Lookup.Searched.join(QStringLiteral("\n  else ")),
                                                     SettingsCreateCommand(Lookup.Searched.back(),
                                                                           ExampleSettingsFileFor(Executable),
                                                                           qEnvironmentVariable("HOME"))))
                          : VersionText(GetFileVersion(Executable)));
    return EXIT_SUCCESS;
  }
  // A mistyped switch would start the window (or, without a display, say
  // that it needs one) instead of the run the scheduler asked for.
  if (!Options.UnknownSwitch.isEmpty()) {
    WriteText(stderr, UnknownSwitchText(Options.UnknownSwitch));
    return ExitStatusUsage;
  }
  if (const QString Problem = OutputOptionsProblem(Options.Output, Options.Switches.Any());
      !Problem.isEmpty()) {
    WriteText(stderr, QStringLiteral("dervik: %1; see dervik --help\n").arg(Problem));
    return ExitStatusUsage;
  }
  // Answers without a window or a display, as --help does.
  if (Options.Output.History)
    return PrintHistory(Options.Output);
  if (const std::optional<int> Status = RunSettingUpCommand(Options, argc, argv))
    return *Status;

  // Decided before the application object exists: Qt ends the process when
  // its platform cannot open a display.
  const TDisplayEnvironment Environment = TDisplayEnvironment::FromProcess(Options);
  const TPlatformChoice Platform =
      ChoosePlatform(Options, Environment, X11DisplayReachable(Environment.Display),
                     WaylandDisplayReachable(Environment.WaylandDisplay, Environment.RuntimeDir));
  if (Platform.NeedsDisplay) {
    WriteText(stderr, NeedsDisplayText());
    return ExitStatusNotStarted;
  }
  if (!Platform.Platform.isEmpty())
    qputenv("QT_QPA_PLATFORM", Platform.Platform);
  // Also for a start by hand: the toolkit's notes about the runtime
  // directory or the platform mean nothing to the user.
  InstallUnattendedMessageFilter();

  // The network cores run on Qt's GLib event dispatcher, which this
  // variable would switch off.
  unsetenv("QT_NO_GLIB");
  if (RunsWithoutDisplay(Options, Environment, Platform))
    return RunHeadless(Options, argc, argv);
  TApplication Application(argc, argv);
  const bool Headless = IsHeadlessPlatform(QGuiApplication::platformName());
  SetExceptionReportToStandardError(Headless);
  std::optional<TAutoRunMonitor> Monitor;
  if (Options.Switches.Any()) {
    Monitor.emplace(Headless, [](const QString& Line) { WriteText(stderr, Line + u'\n'); });
    Monitor->SetVerbose(Options.Verbose);
    Monitor->SetResultFiles(Options.Output.JsonFile, Options.Output.PrometheusFile);
  }

  // Help > Read me: the desktop's opener, or our own window when it has no
  // viewer for the file.
  TDesktopFileOpener Opener;
  Opener.Install();

  // Binds the cores before the window exists; unbinds them after it is gone.
  const TCoreUnits CoreUnits;
  try {
    TFormMain FormMain;
    FormMain.SetAutoRunMonitor(Monitor ? &*Monitor : nullptr);
    FormMain.show();
    const int LoopStatus = Application.exec();
    return Monitor ? Monitor->ExitStatus() : LoopStatus;
  } catch (...) {
    // The window could not be created (a core failed to load): say why and end.
    ShowExceptionReport(ExceptionMessageText(std::current_exception()));
    return ExitStatusNotStarted;
  }
}
