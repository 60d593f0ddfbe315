#include "start/unattended_start.h"

#include <QStringList>
#include <QtGlobal>

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <ctime>

namespace {

// A display that does not answer within this time counts as unreachable;
// a scheduled job must not hang on a dead remote X server.
constexpr int ConnectTimeoutMilliseconds = 2000;
constexpr int X11TcpPortBase = 6000;

// Waits for a non-blocking connect to finish; true when it succeeded.
bool FinishConnect(int Socket) {
  pollfd Poll{Socket, POLLOUT, 0};
  int Ready;
  do
    Ready = ::poll(&Poll, 1, ConnectTimeoutMilliseconds);
  while (Ready < 0 && errno == EINTR);
  if (Ready <= 0)
    return false;
  int Error = 0;
  socklen_t Length = sizeof Error;
  return ::getsockopt(Socket, SOL_SOCKET, SO_ERROR, &Error, &Length) == 0 && Error == 0;
}

bool Connects(int Family, const sockaddr* Address, socklen_t Length) {
  const int Socket = ::socket(Family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (Socket < 0)
    return false;
  bool Connected = ::connect(Socket, Address, Length) == 0;
  if (!Connected && (errno == EINPROGRESS || errno == EAGAIN))
    Connected = FinishConnect(Socket);
  ::close(Socket);
  return Connected;
}

// A local stream socket by path, or in the abstract namespace when Abstract.
bool UnixSocketConnects(const QByteArray& Path, bool Abstract) {
  sockaddr_un Address{};
  Address.sun_family = AF_UNIX;
  const std::size_t Offset = Abstract ? 1 : 0;
  // The path and, for a filesystem path, its terminating zero must fit.
  if (Path.isEmpty() || static_cast<std::size_t>(Path.size()) + 1 > sizeof Address.sun_path)
    return false;
  std::memcpy(Address.sun_path + Offset, Path.constData(), static_cast<std::size_t>(Path.size()));
  const auto Length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + Offset +
                                             static_cast<std::size_t>(Path.size()) + (Abstract ? 0 : 1));
  return Connects(AF_UNIX, reinterpret_cast<const sockaddr*>(&Address), Length);
}

// The display host's addresses, looked up for at most the connect's time: a
// name server that answers late or never must not hold a scheduled job. A
// lookup still running then is cancelled; if the resolver will not let it
// go, its request is left to it, as it still writes into it.
addrinfo* LookUpWithin(const QByteArray& Host, int Port) {
  struct TRequest {
    QByteArray Name, Service;
    addrinfo Hints{};
    gaicb Request{};
  };
  auto* R = new TRequest{Host, QByteArray::number(Port)};
  R->Hints.ai_family = AF_UNSPEC;
  R->Hints.ai_socktype = SOCK_STREAM;
  R->Request.ar_name = R->Name.constData();
  R->Request.ar_service = R->Service.constData();
  R->Request.ar_request = &R->Hints;
  gaicb* Requests[] = {&R->Request};
  if (::getaddrinfo_a(GAI_NOWAIT, Requests, 1, nullptr) != 0) {
    delete R;
    return nullptr;
  }
  timespec Deadline{};
  ::clock_gettime(CLOCK_MONOTONIC, &Deadline);
  Deadline.tv_sec += ConnectTimeoutMilliseconds / 1000;
  Deadline.tv_nsec += (ConnectTimeoutMilliseconds % 1000) * 1000000L;
  if (Deadline.tv_nsec >= 1000000000L) {
    Deadline.tv_sec += 1;
    Deadline.tv_nsec -= 1000000000L;
  }
  const gaicb* Waited[] = {&R->Request};
  while (::gai_error(&R->Request) == EAI_INPROGRESS) {
    timespec Now{};
    ::clock_gettime(CLOCK_MONOTONIC, &Now);
    timespec Left{Deadline.tv_sec - Now.tv_sec, Deadline.tv_nsec - Now.tv_nsec};
    if (Left.tv_nsec < 0) {
      Left.tv_sec -= 1;
      Left.tv_nsec += 1000000000L;
    }
    if (Left.tv_sec < 0)
      break;
    ::gai_suspend(Waited, 1, &Left);  // ends early on an answer or a signal
  }
  const int Result = ::gai_error(&R->Request);
  if (Result == EAI_INPROGRESS) {
    if (::gai_cancel(&R->Request) == EAI_CANCELED)
      delete R;
    return nullptr;
  }
  addrinfo* List = Result == 0 ? R->Request.ar_result : nullptr;
  delete R;
  return List;
}

bool TcpConnects(const QByteArray& Host, int Port) {
  addrinfo* List = LookUpWithin(Host, Port);
  if (List == nullptr)
    return false;
  bool Connected = false;
  for (const addrinfo* Entry = List; Entry != nullptr && !Connected; Entry = Entry->ai_next)
    Connected = Connects(Entry->ai_family, Entry->ai_addr, Entry->ai_addrlen);
  ::freeaddrinfo(List);
  return Connected;
}

bool IsOption(const char* Argument, const char* Name) {
  // Qt takes its options with one dash or two.
  if (Argument[0] == '-' && Argument[1] == '-')
    ++Argument;
  return std::strcmp(Argument, Name) == 0;
}

// Qt's own options, which Qt takes from the arguments itself (with one
// dash or two), and whether the next argument is their value.
struct TQtOption {
  const char* Name;
  bool TakesValue;
};
constexpr TQtOption QtOptions[] = {
    {"-platform", true},
    {"-platformpluginpath", true},
    {"-platformtheme", true},
    {"-plugin", true},
    {"-qwindowgeometry", true},
    {"-geometry", true},
    {"-qwindowtitle", true},
    {"-title", true},
    {"-qwindowicon", true},
    {"-icon", true},
    {"-session", true},
    {"-display", true},
    {"-name", true},
    {"-visual", true},
    {"-style", true},
    {"-stylesheet", true},
    {"-reverse", false},
    {"-widgetcount", false},
    {"-nograb", false},
    {"-dograb", false},
    {"-sync", false},
    {"-testability", false},
};
// Options Qt also takes as "-name=value".
constexpr const char* QtOptionsWithEquals[] = {"-style=", "-stylesheet=", "-qmljsdebugger="};

// The arguments Qt's option at Argument takes with it (itself included),
// or 0 when Argument is none of Qt's options.
int QtOptionLength(const char* Argument) {
  for (const TQtOption& Option : QtOptions)
    if (IsOption(Argument, Option.Name))
      return Option.TakesValue ? 2 : 1;
  const char* Single = Argument[0] == '-' && Argument[1] == '-' ? Argument + 1 : Argument;
  for (const char* Prefix : QtOptionsWithEquals)
    if (std::strncmp(Single, Prefix, std::strlen(Prefix)) == 0)
      return 1;
  return 0;
}

QByteArray EntryPlatformName(const QByteArray& Entry) {
  return Entry.left(Entry.indexOf(':') < 0 ? Entry.size() : Entry.indexOf(':')).trimmed();
}

bool NamesHeadlessFallback(const QByteArray& Platforms) {
  for (const QByteArray& Entry : Platforms.split(';')) {
    if (IsHeadlessPlatform(QString::fromLatin1(EntryPlatformName(Entry))))
      return true;
  }
  return false;
}

QtMessageHandler PreviousMessageHandler = nullptr;

void UnattendedMessageFilter(QtMsgType Type, const QMessageLogContext& Context, const QString& Message) {
  const bool Chatter = Type != QtCriticalMsg && Type != QtFatalMsg &&
                       ((Context.category != nullptr && std::strncmp(Context.category, "qt.qpa", 6) == 0) ||
                        Message.startsWith(QLatin1String("This plugin does not support")) ||
                        Message.startsWith(QLatin1String("QStandardPaths: ")));
  if (Chatter)
    return;
  if (PreviousMessageHandler != nullptr)
    PreviousMessageHandler(Type, Context, Message);
}

}  // namespace

TProgramOptions ReadProgramOptions(int Argc, const char* const* Argv) {
  TProgramOptions Options;
  QStringList Arguments;
  for (int Index = 1; Index < Argc; ++Index) {
    const char* Argument = Argv[Index];
    Arguments.append(QString::fromLocal8Bit(Argument));
    if (std::strcmp(Argument, "--help") == 0 || std::strcmp(Argument, "-h") == 0)
      Options.Help = true;
    else if (std::strcmp(Argument, "--version") == 0)
      Options.Version = true;
    else if (std::strcmp(Argument, "--verbose") == 0)
      Options.Verbose = true;
    else if (std::strcmp(Argument, "--test-mail") == 0)
      Options.TestMail = true;
    else if (std::strcmp(Argument, "--check-settings") == 0)
      Options.CheckSettings = true;
    else if (ReadOutputOption(Argc, Argv, Index, Options.Output))
      continue;  // its value, taken with it, is no switch whatever it looks like
    else if (IsOption(Argument, "-platform") && Index + 1 < Argc) {
      Options.PlatformGiven = true;
      Options.PlatformArgument = Argv[Index + 1];
    } else if (IsOption(Argument, "-display") && Index + 1 < Argc)
      Options.DisplayArgument = Argv[Index + 1];
    else if (const int Length = QtOptionLength(Argument); Length > 0) {
      // Its value is Qt's, whatever it looks like.
      if (Length == 2 && Index + 1 < Argc)
        Arguments.append(QString::fromLocal8Bit(Argv[++Index]));
    } else if ((Argument[0] == '/' || Argument[0] == '-') && !IsAutoSwitch(Arguments.back()) &&
               Options.UnknownSwitch.isEmpty())
      Options.UnknownSwitch = Arguments.back();
  }
  Options.Switches = ReadAutoSwitches(Arguments);
  return Options;
}

TDisplayEnvironment TDisplayEnvironment::FromProcess(const TProgramOptions& Options) {
  TDisplayEnvironment Environment;
  Environment.Display = Options.DisplayArgument.isEmpty() ? qgetenv("DISPLAY") : Options.DisplayArgument;
  Environment.WaylandDisplay = qgetenv("WAYLAND_DISPLAY");
  Environment.RuntimeDir = qgetenv("XDG_RUNTIME_DIR");
  Environment.QpaPlatform = qgetenv("QT_QPA_PLATFORM");
  Environment.SessionType = qgetenv("XDG_SESSION_TYPE");
  return Environment;
}

bool X11DisplayReachable(const QByteArray& Display) {
  QByteArray Spec = Display.trimmed();
  QByteArray Protocol;
  const qsizetype Slash = Spec.indexOf('/');
  if (Slash > 0) {
    Protocol = Spec.left(Slash);
    Spec = Spec.mid(Slash + 1);
  }
  const qsizetype Colon = Spec.lastIndexOf(':');
  if (Colon < 0)
    return false;
  if (Spec.startsWith('/'))  // a socket path with the display number after it
    return UnixSocketConnects(Spec.left(Colon), false);
  QByteArray Host = Spec.left(Colon);
  if (Host.endsWith(':'))  // "host::0" is DECnet, which nothing here speaks
    return false;
  const QByteArray NumberText = Spec.mid(Colon + 1).split('.').value(0);
  bool Valid = false;
  const int Number = NumberText.toInt(&Valid);
  if (!Valid || Number < 0 || Number > 65535 - X11TcpPortBase)
    return false;
  if (Host.isEmpty() || Host == "unix" || Protocol == "unix") {
    const QByteArray Path = "/tmp/.X11-unix/X" + QByteArray::number(Number);
    return UnixSocketConnects(Path, true) || UnixSocketConnects(Path, false);
  }
  if (Host.startsWith('[') && Host.endsWith(']'))
    Host = Host.mid(1, Host.size() - 2);
  return TcpConnects(Host, X11TcpPortBase + Number);
}

bool WaylandDisplayReachable(const QByteArray& WaylandDisplay, const QByteArray& RuntimeDir) {
  if (WaylandDisplay.isEmpty())
    return false;
  if (WaylandDisplay.startsWith('/'))
    return UnixSocketConnects(WaylandDisplay, false);
  if (RuntimeDir.isEmpty())
    return false;
  return UnixSocketConnects(RuntimeDir + '/' + WaylandDisplay, false);
}

TPlatformChoice ChoosePlatform(const TProgramOptions& Options, const TDisplayEnvironment& Environment,
                               bool X11Reachable, bool WaylandReachable) {
  TPlatformChoice Choice;
  if (Options.PlatformGiven)
    return Choice;
  if (!Options.Switches.Any()) {
    Choice.NeedsDisplay = Environment.QpaPlatform.isEmpty() && !X11Reachable && !WaylandReachable;
    return Choice;
  }
  if (!Environment.QpaPlatform.isEmpty()) {
    if (!NamesHeadlessFallback(Environment.QpaPlatform))
      Choice.Platform = Environment.QpaPlatform + ";offscreen";
    return Choice;
  }
  QByteArrayList Platforms;
  const bool WaylandFirst = Environment.SessionType == "wayland";
  if (WaylandReachable && WaylandFirst)
    Platforms.append("wayland");
  if (X11Reachable)
    Platforms.append("xcb");
  if (WaylandReachable && !WaylandFirst)
    Platforms.append("wayland");
  Platforms.append("offscreen");
  Choice.Platform = Platforms.join(';');
  return Choice;
}

bool IsHeadlessPlatform(const QString& PlatformName) {
  return PlatformName == QLatin1String("offscreen") || PlatformName == QLatin1String("minimal");
}

bool RunsWithoutDisplay(const TProgramOptions& Options, const TDisplayEnvironment& Environment,
                        const TPlatformChoice& Choice) {
  if (!Options.Switches.Any() || Choice.NeedsDisplay)
    return false;
  const QByteArray& Platforms = Options.PlatformGiven        ? Options.PlatformArgument
                                : !Choice.Platform.isEmpty() ? Choice.Platform
                                                             : Environment.QpaPlatform;
  // Only the first: a display named before the fallback may still open.
  return IsHeadlessPlatform(QString::fromLatin1(EntryPlatformName(Platforms.split(';').value(0))));
}

void InstallUnattendedMessageFilter() {
  PreviousMessageHandler = qInstallMessageHandler(UnattendedMessageFilter);
}

QString HelpText(const QString& SettingsFileName, const QString& CreateCommand) {
  const QString Create =
      CreateCommand.isEmpty()
          ? QString()
          : QStringLiteral("There is none yet; create your own with:\n  %1\n").arg(CreateCommand);
  return QStringLiteral(
             "Usage: dervik [/AUTO | /AUTORUN | /AUTOSMTP | /AUTOSYSLOG]... [--verbose] [Qt options]\n"
             "              [--json FILE] [--prometheus FILE]\n"
             "       dervik --history [--device NAME] [--since 7d] [--format csv|json]\n"
             "       dervik --test-mail | --check-settings\n"
             "       dervik --help | --version\n"
             "\n"
             "Pings every device listed in the settings file and shows the results in a\n"
             "window; sends them as mail and to a syslog server on request.\n"
             "Settings file: %1\n"
             "%2"
             "\n"
             "Switches (any letter case; they add up):\n"
             "  /AUTO         run a check, send the mail and the syslog report, close\n"
             "  /AUTORUN      run a check after start and leave the window open\n"
             "  /AUTOSMTP     run a check, send the mail report, close\n"
             "  /AUTOSYSLOG   run a check, send the syslog report, close\n"
             "  --verbose     an automatic run writes every step, not only its problems\n"
             "  --test-mail   send one test message with the [SMTP] settings, no check\n"
             "                run; the dialogue (secrets masked), the TLS protocol and\n"
             "                the server's certificate go to standard error; status 0\n"
             "                sent, 2 not sent, 4 could not start\n"
             "  --check-settings  show where the settings come from, the devices, which\n"
             "                report goes where and every problem; sends nothing; status\n"
             "                0 when nothing would stop a run or a report, 4 otherwise\n"
             "  --json FILE   with a switch: this run's results as one JSON document\n"
             "  --prometheus FILE\n"
             "                with a switch: this run's results in the text file format\n"
             "                of a metrics collector (dervik_device_up, ...)\n"
             "  --history     print the results of earlier runs kept in the history\n"
             "                ([History] Keep days): as CSV, or --format json; of one\n"
             "                device with --device NAME; of the last 30m, 12h, 7d, 2w\n"
             "                with --since\n"
             "  -h, --help    show this text\n"
             "  --version     show the version\n"
             "\n"
             "A report is sent only when its server is set in the settings file. With a\n"
             "switch and no display (a scheduled job), the check runs without a window\n"
             "and ends by itself, also after /AUTORUN alone. It writes to standard error\n"
             "only what needs a look (devices that did not answer, a report that failed\n"
             "or was queued, a warning about the settings, why nothing was checked), so a\n"
             "scheduler that mails what a job prints stays quiet when all is well;\n"
             "--verbose adds every step. A run that checked nothing (no device, Times or\n"
             "Timeout in [Ping] 0 or less) sends no report and ends with status 4.\n"
             "\n"
             "Exit status of an automatic run:\n"
             "  0  every device answered and every report that is set up was sent\n"
             "  1  some devices did not answer\n"
             "  2  a report could not be sent, or a queued one will never be (refused for\n"
             "     good, or a damaged queue file), or a --json or --prometheus file could\n"
             "     not be written\n"
             "  3  both: some devices did not answer and a report could not be sent\n"
             "  4  the run could not start (no display without a switch, a network core\n"
             "     that failed to load, no settings file, an error that stopped the run)\n"
             "     or checked nothing (no device, Times or Timeout 0 or less)\n"
             "  8  the mail report was kept in the queue folder (QueueDir in [SMTP]) for\n"
             "     the next run; adds up with 1 and 2\n"
             " 64  an unknown switch (a mistyped /AUTO...) or an option without its value\n"
             "     or with one it does not take: nothing was started\n"
             "--history ends with 0 when it printed (perhaps only the header), 4 when the\n"
             "history could not be read.\n"
             "\n"
             "The mail report's connection, in [SMTP] of the settings file:\n"
             "  Security=none|starttls|tls (Port 25, 587, 465 when not set),\n"
             "  User, Password or PasswordFile (mode 600: a password others can read\n"
             "  stops the report), AuthScheme=auto|plain|login|cram-md5|ntlm|kerberos,\n"
             "  CAFile, ServerName, Fingerprint (SHA-256), Verify=yes|no,\n"
             "  Proxy=socks4://host:port | socks5://[user:password@]host:port |\n"
             "        http://[user:password@]host:port | auto\n"
             "\n"
             "When a report goes, in [SMTP] and in [Syslog]:\n"
             "  SendWhen=always|failures|changes  every run, when a device is not OK,\n"
             "        or when a device changed since the last run (kept in\n"
             "        $XDG_STATE_HOME/dervik); a report left out is no failure\n"
             "  ShowChanges=no|yes  add what changed since the last run (implied by\n"
             "        SendWhen=changes)\n"
             "  With failures or changes, a run that could not check sends \"Dervik:\n"
             "  the check could not run\" and why, once per cause.\n"
             "\n"
             "Qt's own options (-platform, -display, -style, ...) work as usual.\n")
      .arg(SettingsFileName, Create);
}

QString VersionText(const TFileVersion& Version) {
  return QStringLiteral("Dervik %1.%2.%3\n").arg(Version.Major).arg(Version.Minor).arg(Version.Release);
}

QString NeedsDisplayText() {
  return QStringLiteral(
      "dervik: no display for the window (DISPLAY and WAYLAND_DISPLAY unset or not reachable); "
      "to run unattended, start it with /AUTO, /AUTOSMTP or /AUTOSYSLOG (see dervik --help)\n");
}

QString UnknownSwitchText(const QString& Switch) {
  return QStringLiteral("dervik: unknown switch %1; see dervik --help\n").arg(Switch);
}
