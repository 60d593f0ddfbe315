// The decisions the program entry takes before the application object
// exists: its own options, whether a display answers, and the platform an
// automatic run gets. Displays are played by sockets of the test (loopback
// and local sockets only).
#include "start/unattended_start.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <QFileInfo>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace {

// A listening stream socket; closed with the object.
class TListener {
 public:
  TListener(const TListener &) = delete;
  TListener &operator=(const TListener &) = delete;
  ~TListener() {
    if (FSocket >= 0) close(FSocket);
  }
  // On a path, or in the abstract namespace (leading NUL) when Abstract.
  static TListener Unix(const std::string &Path, bool Abstract) {
    TListener L(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un A{};
    A.sun_family = AF_UNIX;
    std::memcpy(A.sun_path + (Abstract ? 1 : 0), Path.data(), Path.size());
    const auto Len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + Path.size() + 1);
    if (bind(L.FSocket, reinterpret_cast<sockaddr *>(&A), Len) != 0 || listen(L.FSocket, 4) != 0)
      L.Reset();
    return L;
  }
  // On 127.0.0.1 at a port the system picks.
  static TListener Tcp() {
    TListener L(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t Len = sizeof A;
    if (bind(L.FSocket, reinterpret_cast<sockaddr *>(&A), Len) != 0 || listen(L.FSocket, 4) != 0 ||
        getsockname(L.FSocket, reinterpret_cast<sockaddr *>(&A), &Len) != 0) {
      L.Reset();
      return L;
    }
    L.FPort = ntohs(A.sin_port);
    return L;
  }
  TListener(TListener &&Other) noexcept : FSocket(Other.FSocket), FPort(Other.FPort) {
    Other.FSocket = -1;
  }
  bool Ok() const { return FSocket >= 0; }
  int Port() const { return FPort; }
  void Reset() {
    if (FSocket >= 0) close(FSocket);
    FSocket = -1;
  }

 private:
  explicit TListener(int Socket) : FSocket(Socket) {}
  int FSocket;
  int FPort = 0;
};

// A display number whose local X socket nobody listens on.
int UnusedDisplayNumber() {
  for (int N = 5000 + getpid() % 1000; N < 7000; ++N)
    if (!X11DisplayReachable(":" + QByteArray::number(N))) return N;
  return -1;
}

namespace {

// The options of the program started with Args after its name.
TProgramOptions ReadArguments(const std::vector<const char *> &Args) {
  std::vector<const char *> Argv{"dervik"};
  Argv.insert(Argv.end(), Args.begin(), Args.end());
  return ReadProgramOptions(static_cast<int>(Argv.size()), Argv.data());
}

std::string ArgumentsText(const std::vector<const char *> &Args) {
  std::string Text;
  for (const char *A : Args) Text += std::string(A) + " ";
  return Text;
}

}  // namespace

TEST(UnattendedStart, ProgramOptions) {
  const struct {
    std::vector<const char *> Args;
    bool Help, Version, Run, SMTP, SysLog, PlatformGiven;
    const char *Display;
  } Rows[] = {
      {{}, false, false, false, false, false, false, ""},
      {{"--help"}, true, false, false, false, false, false, ""},
      {{"-h"}, true, false, false, false, false, false, ""},
      {{"--HELP", "-help", "help"}, false, false, false, false, false, false, ""},
      {{"--version"}, false, true, false, false, false, false, ""},
      {{"/auto"}, false, false, true, true, true, false, ""},
      {{"/AUTORUN", "/AutoSysLog"}, false, false, true, false, true, false, ""},
      {{"-platform", "offscreen", "/AUTOSMTP"}, false, false, false, true, false, true, ""},
      {{"--platform", "minimal"}, false, false, false, false, false, true, ""},
      {{"/AUTO", "-platform"}, false, false, true, true, true, false, ""},  // no value: not Qt's
                                                                            // option
      {{"-display", ":5", "/AUTORUN"}, false, false, true, false, false, false, ":5"},
      {{"--display", "host:1.0"}, false, false, false, false, false, false, "host:1.0"},
  };
  for (const auto &R : Rows) {
    SCOPED_TRACE(ArgumentsText(R.Args));
    const TProgramOptions O = ReadArguments(R.Args);
    EXPECT_EQ(O.Help, R.Help);
    EXPECT_EQ(O.Version, R.Version);
    EXPECT_EQ(O.Switches.Run, R.Run);
    EXPECT_EQ(O.Switches.SMTP, R.SMTP);
    EXPECT_EQ(O.Switches.SysLog, R.SysLog);
    EXPECT_EQ(O.PlatformGiven, R.PlatformGiven);
    EXPECT_EQ(O.DisplayArgument, QByteArray(R.Display));
  }
}

// Arguments that look like a switch but are none of ours or Qt's: the
// first is named; Qt's options keep their values, whatever those look like.
TEST(UnattendedStart, UnknownSwitchesAndVerbose) {
  const struct {
    std::vector<const char *> Args;
    const char *Unknown;
    bool Verbose;
  } Rows[] = {
      {{}, "", false},
      {{"/AUTO", "--verbose"}, "", true},
      {{"--verbose"}, "", true},
      {{"/autosmtp", "/AutoSysLog", "/AUTORUN", "-h", "--help", "--version"}, "", false},
      {{"report.txt", "AUTO"}, "", false},  // no switch at all: ignored as ever
      {{"/AUTOO"}, "/AUTOO", false},
      {{"/AUTO", "--versoin", "/x"}, "--versoin", false},
      {{"--Verbose"}, "--Verbose", false},
      {{"-v"}, "-v", false},
      {{"/"}, "/", false},
      {{"-"}, "-", false},
      {{"/AUTO/"}, "/AUTO/", false},
      {{"/tmp/dervik.ini"}, "/tmp/dervik.ini", false},
      {{"-platform", "offscreen", "-style", "-fusion", "--display", ":1", "/AUTO"}, "", false},
      {{"-platformpluginpath", "/usr/lib/qt", "-qwindowtitle", "-x-", "-reverse"}, "", false},
      {{"-style=fusion", "--stylesheet=/a.qss", "-qmljsdebugger=port:1", "-nograb", "-sync"},
       "",
       false},
      {{"-stylex"}, "-stylex", false},
      {{"-reverse", "/AUTOSYSLG", "--verbose"}, "/AUTOSYSLG", true},
  };
  for (const auto &R : Rows) {
    SCOPED_TRACE(ArgumentsText(R.Args));
    const TProgramOptions O = ReadArguments(R.Args);
    EXPECT_EQ(O.UnknownSwitch, QString::fromLatin1(R.Unknown));
    EXPECT_EQ(O.Verbose, R.Verbose);
  }
  EXPECT_EQ(UnknownSwitchText(QStringLiteral("/AUTOO")),
            QStringLiteral("dervik: unknown switch /AUTOO; see dervik --help\n"));
}

TEST(UnattendedStart, X11DisplayReachableOnlyWhereAServerListens) {
  const int Free = UnusedDisplayNumber();
  ASSERT_GE(Free, 0);
  const QByteArray N = QByteArray::number(Free);
  for (const QByteArray &Display :
       {QByteArray(), QByteArray(":"), QByteArray("garbage"), QByteArray(":abc"), QByteArray(":-1"),
        QByteArray("host::0"), ":" + N, ":" + N + ".0", "unix:" + N, "unix/:" + N})
    EXPECT_FALSE(X11DisplayReachable(Display)) << Display.constData();

  // The X server's local socket in the abstract namespace, as on Linux.
  {
    const TListener Server = TListener::Unix("/tmp/.X11-unix/X" + N.toStdString(), true);
    ASSERT_TRUE(Server.Ok());
    for (const QByteArray &Display : {":" + N, ":" + N + ".0", "unix:" + N + ".1", "unix/:" + N})
      EXPECT_TRUE(X11DisplayReachable(Display)) << Display.constData();
  }
  EXPECT_FALSE(X11DisplayReachable(":" + N)) << "the server has gone";

  // A socket path followed by the display number.
  testsupport::TempFolder Temp;
  const QString Path = Temp.file(QStringLiteral("xsocket"));
  {
    const TListener Server = TListener::Unix(Path.toStdString(), false);
    ASSERT_TRUE(Server.Ok());
    EXPECT_TRUE(X11DisplayReachable(Path.toLocal8Bit() + ":0"));
  }

  // TCP: port 6000 plus the display number on the host.
  TListener Tcp = TListener::Tcp();
  ASSERT_TRUE(Tcp.Ok());
  ASSERT_GT(Tcp.Port(), 6000);
  const QByteArray Number = QByteArray::number(Tcp.Port() - 6000);
  EXPECT_TRUE(X11DisplayReachable("127.0.0.1:" + Number));
  EXPECT_TRUE(X11DisplayReachable("tcp/127.0.0.1:" + Number + ".0"));
  EXPECT_FALSE(X11DisplayReachable("127.0.0.1:" + QByteArray::number(Tcp.Port() - 6000 + 1)));
  Tcp.Reset();
  EXPECT_FALSE(X11DisplayReachable("127.0.0.1:" + Number)) << "refused once closed";
}

TEST(UnattendedStart, WaylandDisplayReachableOnlyWhereACompositorListens) {
  testsupport::TempFolder Temp;
  const QByteArray Dir = QFileInfo(Temp.file(QStringLiteral("x"))).absolutePath().toLocal8Bit();
  const QByteArray Absolute = Dir + "/wayland-test";
  EXPECT_FALSE(WaylandDisplayReachable("", Dir));
  EXPECT_FALSE(WaylandDisplayReachable("wayland-test", Dir));
  EXPECT_FALSE(WaylandDisplayReachable(Absolute, ""));
  const TListener Compositor = TListener::Unix(Absolute.toStdString(), false);
  ASSERT_TRUE(Compositor.Ok());
  EXPECT_TRUE(WaylandDisplayReachable("wayland-test", Dir));
  EXPECT_TRUE(WaylandDisplayReachable(Absolute, ""));
  EXPECT_TRUE(WaylandDisplayReachable(Absolute, "/nonexistent"));
  EXPECT_FALSE(WaylandDisplayReachable("wayland-test", ""));
  EXPECT_FALSE(WaylandDisplayReachable("wayland-other", Dir));
  EXPECT_FALSE(WaylandDisplayReachable(QByteArray(200, 'w'), Dir))
      << "longer than a socket address";
}

TEST(UnattendedStart, PlatformChoice) {
  const struct {
    const char *Name;
    bool Automatic, PlatformGiven;
    const char *QpaPlatform, *SessionType;
    bool X11, Wayland;
    bool NeedsDisplay;
    const char *Platform;
  } Rows[] = {
      {"interactive without display", false, false, "", "", false, false, true, ""},
      {"interactive on X", false, false, "", "", true, false, false, ""},
      {"interactive on Wayland", false, false, "", "wayland", false, true, false, ""},
      {"interactive, platform by variable", false, false, "offscreen", "", false, false, false, ""},
      {"interactive, platform by option", false, true, "", "", false, false, false, ""},
      {"automatic without display", true, false, "", "", false, false, false, "offscreen"},
      {"automatic on X", true, false, "", "x11", true, false, false, "xcb;offscreen"},
      {"automatic on Wayland only", true, false, "", "wayland", false, true, false,
       "wayland;offscreen"},
      {"automatic, both, Wayland session", true, false, "", "wayland", true, true, false,
       "wayland;xcb;offscreen"},
      {"automatic, both, X session", true, false, "", "x11", true, true, false,
       "xcb;wayland;offscreen"},
      {"automatic, variable gains the fallback", true, false, "xcb", "", false, false, false,
       "xcb;offscreen"},
      {"automatic, variable already headless", true, false, "offscreen", "", true, false, false,
       ""},
      {"automatic, variable with a fallback", true, false, "wayland;minimal:x=1", "", false, false,
       false, ""},
      {"automatic, platform by option", true, true, "", "", false, false, false, ""},
  };
  for (const auto &R : Rows) {
    SCOPED_TRACE(R.Name);
    TProgramOptions Options;
    Options.Switches.SysLog = R.Automatic;
    Options.PlatformGiven = R.PlatformGiven;
    TDisplayEnvironment Environment;
    Environment.QpaPlatform = R.QpaPlatform;
    Environment.SessionType = R.SessionType;
    const TPlatformChoice Choice = ChoosePlatform(Options, Environment, R.X11, R.Wayland);
    EXPECT_EQ(Choice.NeedsDisplay, R.NeedsDisplay);
    EXPECT_EQ(Choice.Platform, QByteArray(R.Platform));
  }
}

TEST(UnattendedStart, HelpListsSwitchesAndEveryExitStatus) {
  const QString Help = HelpText(QStringLiteral("/opt/dervik/dervik.ini"));
  EXPECT_TRUE(Help.contains(QStringLiteral("Settings file: /opt/dervik/dervik.ini\n")));
  for (const char *Switch :
       {"/AUTO ", "/AUTORUN ", "/AUTOSMTP ", "/AUTOSYSLOG ", "--help", "--version"})
    EXPECT_TRUE(Help.contains(QLatin1String(Switch))) << Switch;
  for (int Status : {ExitStatusAllAnswered, ExitStatusDevicesFailed, ExitStatusReportFailed,
                     ExitStatusDevicesFailed | ExitStatusReportFailed, ExitStatusNotStarted,
                     ExitStatusReportQueued})
    EXPECT_TRUE(Help.contains(QStringLiteral("\n  %1  ").arg(Status))) << Status;
  EXPECT_TRUE(Help.contains(QStringLiteral("\n %1  an unknown switch").arg(ExitStatusUsage)));
  EXPECT_TRUE(Help.contains(QStringLiteral("\n  --verbose ")));
  EXPECT_FALSE(Help.contains(QStringLiteral("create your own")))
      << "a settings file in place needs no hint";
  const QString Create =
      HelpText(QStringLiteral("/a/dervik.ini\n  else /h/.config/dervik/dervik.ini"),
               QStringLiteral("mkdir -p X && cp Y Z"));
  EXPECT_TRUE(Create.contains(
      QStringLiteral("Settings file: /a/dervik.ini\n  else /h/.config/dervik/dervik.ini\n"
                     "There is none yet; create your own with:\n"
                     "  mkdir -p X && cp Y Z\n\n")))
      << Create.toStdString();
  EXPECT_TRUE(Help.endsWith(u'\n'));
  EXPECT_EQ(VersionText(TFileVersion{7, 8, 9, 10}), QStringLiteral("Dervik 7.8.9\n"));
  const QString Line = NeedsDisplayText();
  EXPECT_EQ(Line.count(u'\n'), 1);
  EXPECT_TRUE(Line.endsWith(u'\n'));
  EXPECT_TRUE(Line.contains(QStringLiteral("/AUTO")));
}

// Only an automatic run whose first platform shows nothing goes without a
// window; a display that may still open keeps the window's path.
TEST(UnattendedStart, RunsWithoutDisplayOnlyWhereTheFirstPlatformShowsNothing) {
  const struct {
    const char *Name;
    const char *Arguments;  // space-separated, program name excluded
    const char *QpaPlatform;
    bool X11, Wayland;
    bool Headless;
  } Rows[] = {
      {"switch, no display", "/AUTO", "", false, false, true},
      {"switch, X reachable", "/AUTOSMTP", "", true, false, false},
      {"switch, Wayland reachable", "/AUTORUN", "", false, true, false},
      {"switch, variable offscreen", "/AUTORUN", "offscreen", true, false, true},
      {"switch, variable minimal with options", "/AUTOSYSLOG", "minimal:x=1", false, false, true},
      {"switch, variable headless after a display", "/AUTO", "xcb;offscreen", false, false, false},
      {"switch, variable xcb", "/AUTO", "xcb", false, false, false},
      {"switch, variable headless first", "/AUTO", "offscreen;xcb", true, false, true},
      {"switch, option offscreen", "/AUTO -platform offscreen", "", true, false, true},
      {"switch, option xcb over variable offscreen", "/AUTO -platform xcb", "offscreen", false,
       false, false},
      {"switch, option with two dashes", "/AUTO --platform minimal", "xcb", true, false, true},
      {"no switch, no display", "notes.txt", "", false, false, false},
      {"no switch, variable offscreen", "", "offscreen", false, false, false},
      {"no switch, option offscreen", "-platform offscreen", "", false, false, false},
  };
  for (const auto &R : Rows) {
    SCOPED_TRACE(R.Name);
    std::vector<std::string> Words{"dervik"};
    for (const QString &Word : QString::fromLatin1(R.Arguments).split(u' ', Qt::SkipEmptyParts))
      Words.push_back(Word.toStdString());
    std::vector<const char *> Argv;
    for (const std::string &Word : Words) Argv.push_back(Word.c_str());
    const TProgramOptions Options = ReadProgramOptions(static_cast<int>(Argv.size()), Argv.data());
    TDisplayEnvironment Environment;
    Environment.QpaPlatform = R.QpaPlatform;
    const TPlatformChoice Choice = ChoosePlatform(Options, Environment, R.X11, R.Wayland);
    EXPECT_EQ(RunsWithoutDisplay(Options, Environment, Choice), R.Headless)
        << "platform " << Choice.Platform.constData();
  }
}

TEST(UnattendedStart, HeadlessPlatforms) {
  EXPECT_TRUE(IsHeadlessPlatform(QStringLiteral("offscreen")));
  EXPECT_TRUE(IsHeadlessPlatform(QStringLiteral("minimal")));
  for (const char *Name : {"xcb", "wayland", "vnc", "eglfs", ""})
    EXPECT_FALSE(IsHeadlessPlatform(QLatin1String(Name))) << Name;
}

}  // namespace
