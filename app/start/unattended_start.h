// What the program entry settles before the application object exists: the
// program's own options (--help, --version), and the platform the window
// lives on when a scheduled job starts the program without a display.
#pragma once

#include "start/auto_mode.h"
#include "start/file_version.h"
#include "start/output_options.h"

#include <QByteArray>
#include <QString>

struct TProgramOptions {
  bool Help = false;           // --help, -h
  bool Version = false;        // --version
  bool Verbose = false;        // --verbose: an automatic run writes every line, not only its problems
  bool TestMail = false;       // --test-mail: one test message, no check run, no window
  bool CheckSettings = false;  // --check-settings: the settings and their problems, nothing sent
  // The first argument that looks like a switch ("/..." or "-...") but is
  // none of the program's nor one of Qt's options; empty when there is none.
  QString UnknownSwitch;
  TAutoSwitches Switches;
  TOutputOptions Output;        // --json, --prometheus, --history and its options
  bool PlatformGiven = false;   // Qt's own -platform option: the user's choice stands
  QByteArray PlatformArgument;  // its value
  QByteArray DisplayArgument;   // Qt's -display option, which the X platform takes over DISPLAY
};

// Reads the arguments after the program name as the user typed them, Qt's
// options still among them.
TProgramOptions ReadProgramOptions(int Argc, const char* const* Argv);

// The environment variables the platform decision reads.
struct TDisplayEnvironment {
  QByteArray Display;         // DISPLAY (or the -display option)
  QByteArray WaylandDisplay;  // WAYLAND_DISPLAY
  QByteArray RuntimeDir;      // XDG_RUNTIME_DIR
  QByteArray QpaPlatform;     // QT_QPA_PLATFORM
  QByteArray SessionType;     // XDG_SESSION_TYPE
  static TDisplayEnvironment FromProcess(const TProgramOptions& Options);
};

// Whether an X server answers at the address a DISPLAY value names
// ("[protocol/][host]:number[.screen]"): its local socket, abstract or in
// /tmp/.X11-unix, or TCP port 6000 + number on the host.
bool X11DisplayReachable(const QByteArray& Display);
// Whether a Wayland compositor listens on the socket WAYLAND_DISPLAY names:
// an absolute path, or a name in RuntimeDir.
bool WaylandDisplayReachable(const QByteArray& WaylandDisplay, const QByteArray& RuntimeDir);

struct TPlatformChoice {
  // Interactive start without any display: the program says so and ends.
  bool NeedsDisplay = false;
  // The value for QT_QPA_PLATFORM; empty: leave Qt's own choice.
  QByteArray Platform;
};

// An automatic run may not depend on a display: it gets Qt's offscreen
// platform when none is reachable, and as the last fallback behind a display
// that answers but cannot be opened (no X authority, for instance). An
// explicit -platform option is left alone, a QT_QPA_PLATFORM value only
// gains the fallback.
TPlatformChoice ChoosePlatform(const TProgramOptions& Options, const TDisplayEnvironment& Environment,
                               bool X11Reachable, bool WaylandReachable);

// Platforms on which no window can be seen.
bool IsHeadlessPlatform(const QString& PlatformName);

// Whether an automatic run goes where no window can be seen: the platform
// Qt tries first (the -platform option, else the choice made, else
// QT_QPA_PLATFORM) is one of those. Such a run needs no window at all, and
// is decided before any application object exists. False without a switch:
// a start by hand always opens the window.
bool RunsWithoutDisplay(const TProgramOptions& Options, const TDisplayEnvironment& Environment,
                        const TPlatformChoice& Choice);

// Drops the platform's chatter (missing runtime directory, size hints the
// offscreen platform ignores, a display it could not open before falling
// back) so that standard error holds only the program's own lines, in an
// unattended run and a start by hand alike.
void InstallUnattendedMessageFilter();

// Texts of --help and --version (standard output). CreateCommand, when not
// empty, is the shell line that creates the user's settings file, shown
// when there is none yet.
QString HelpText(const QString& SettingsFileName, const QString& CreateCommand = QString());
QString VersionText(const TFileVersion& Version);
// The line of an interactive start without a display (standard error).
QString NeedsDisplayText();
// The line for an argument taken for a mistyped switch (standard error).
QString UnknownSwitchText(const QString& Switch);
