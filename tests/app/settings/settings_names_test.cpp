// Names in a settings file that nothing reads (a mistyped key or section),
// the nearest known name offered for them, and the settings with which a
// run checks nothing.
#include "settings/ini_file.h"
#include "settings/nearest_name.h"
#include "run/nothing_checked.h"
#include "qt_printers.h"
#include "settings/settings.h"
#include "settings/settings_file.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

namespace {

TEST(NearestName, EditDistanceTable) {
  const struct {
    const char *A, *B;
    qsizetype Distance;
  } Rows[] = {
      {"", "", 0},
      {"", "abc", 3},
      {"abc", "", 3},
      {"Timeout", "Timeout", 0},
      {"timeout", "TIMEOUT", 0},   // letter case is no edit
      {"Timout", "Timeout", 1},    // one left out
      {"Timeoutt", "Timeout", 1},  // one added
      {"Tineout", "Timeout", 1},   // one replaced
      {"Tiemout", "Timeout", 2},   // two swapped: two edits
      {"kitten", "sitting", 3},
      {"HostAdress", "HostAddress", 1},
      {"Device", "Devices", 1},
      {"flaw", "lawn", 2},
  };
  for (const auto &R : Rows) {
    EXPECT_EQ(EditDistance(QString::fromLatin1(R.A), QString::fromLatin1(R.B)), R.Distance)
        << R.A << " / " << R.B;
    EXPECT_EQ(EditDistance(QString::fromLatin1(R.B), QString::fromLatin1(R.A)), R.Distance)
        << "symmetric: " << R.B << " / " << R.A;
  }
}

TEST(NearestName, SuggestsOnlyANearName) {
  const QStringList PingKeys{"Timeout", "Times", "TTL", "Parallel"};
  const struct {
    const char *Name, *Nearest;
  } Rows[] = {
      {"Timout", "Timeout"},
      {"timeouts", "Timeout"},
      {"Time", "Times"},
      {"TTX", "TTL"},
      {"Paralel", "Parallel"},
      {"Count", ""},
      {"Retries", ""},
      {"T", ""},
      {"", ""},
      {"ParallelDevicesMax", ""},
  };
  for (const auto &R : Rows)
    EXPECT_EQ(NearestName(QString::fromLatin1(R.Name), PingKeys), QString::fromLatin1(R.Nearest))
        << R.Name;
}

TEST(IniFile, SectionNamesInFileOrderAsFirstWritten) {
  const TIniFile Ini = TIniFile::FromText(
      u"x=1\n[Ping]\na=1\n[ devices ]\n[SMTP\n[ping]\nb=2\n[Extra]\n[DEVICES]\n");
  EXPECT_EQ(Ini.SectionNames(), (QStringList{"Ping", "devices", "Extra"}));
  EXPECT_TRUE(TIniFile().SectionNames().isEmpty());
}

class SettingsNames : public testing::Test {
 protected:
  TSettings &Load(const QString &Text) {
    File = Temp.writeText(QStringLiteral("dervik.ini"), Text);
    Settings.LoadFromFile(File);
    return Settings;
  }
  testsupport::TempFolder Temp;
  QString File;
  TSettings Settings;
};

TEST_F(SettingsNames, OneWarningPerNameNothingReads) {
  const struct {
    const char *Name, *Text;
    QStringList Warnings;  // %1 stands for the file
  } Rows[] = {
      {"every name known, in any case",
       "[ping]\ntimeout=1\nTIMES=2\nTTL=3\nParallel=4\n[Smtp]\nHostAddress=x\nPort=1\nRecipients=\n"
       "Sender=\nQueueDir=\n[SYSLOG]\nFacility=1\nHostAddress=\nPort=1\n[Devices]\nTimout=1\n",
       {}},
      {"a mistyped key",
       "[Ping]\nTimout=1\n",
       {"warning: unknown key Timout in [Ping] of %1; did you mean Timeout?"}},
      {"keys of each section, in file order, the section as the program spells it",
       "[smtp]\nHostAdress=mail\nColour=red\n[Syslog]\nPrt=514\n",
       {"warning: unknown key HostAdress in [SMTP] of %1; did you mean HostAddress?",
        "warning: unknown key Colour in [SMTP] of %1",
        "warning: unknown key Prt in [Syslog] of %1; did you mean Port?"}},
      {"a key of another section is unknown where it stands",
       "[Syslog]\nRecipients=a@b\n",
       {"warning: unknown key Recipients in [Syslog] of %1"}},
      {"a mistyped section, its keys not warned of one by one",
       "[Device]\nRouter=10.0.0.1\n[Pings]\nTimeout=1\n[Extra]\nx=1\n",
       {"warning: unknown section [Device] in %1; did you mean [Devices]?",
        "warning: unknown section [Pings] in %1; did you mean [Ping]?",
        "warning: unknown section [Extra] in %1"}},
      {"device names are free", "[Devices]\nTimeout=1\nPort=\nRouter=10.0.0.1\n", {}},
  };
  for (const auto &R : Rows) {
    SCOPED_TRACE(R.Name);
    Load(QString::fromLatin1(R.Text));
    QStringList Expected;
    for (const QString &W : R.Warnings) Expected.append(W.arg(File));
    EXPECT_EQ(Settings.UnknownNameWarnings(), Expected);
  }
  // A missing file has nothing to warn of, and a load forgets the last one's.
  Settings.LoadFromFile(Temp.file(QStringLiteral("gone.ini")));
  EXPECT_TRUE(Settings.UnknownNameWarnings().isEmpty());
  EXPECT_FALSE(Settings.DevicesSectionFound());
}

TEST_F(SettingsNames, WhyARunChecksNothing) {
  const struct {
    const char *Name, *Text, *Cause;  // %1 the file
  } Rows[] = {
      {"devices, pings and a time-out", "[Ping]\nTimes=1\nTimeout=1\n[Devices]\nA=127.0.0.1\n", ""},
      {"the defaults", "[Devices]\nA=\n", ""},
      {"no [Devices] section", "[Ping]\nTimes=1\n[Device]\nA=127.0.0.1\n",
       "Nothing checked: %1 has no [Devices] section"},
      {"an empty [Devices] section", "[Devices]\n; Router=10.0.0.1\n",
       "Nothing checked: the [Devices] section of %1 is empty"},
      {"Times 0", "[Ping]\nTimes=0\n[Devices]\nA=127.0.0.1\n",
       "Nothing checked: Times=0 in [Ping] of %1 sends no ping; set it to 1 or more"},
      {"Times below 0, before Timeout", "[Ping]\nTimes=-2\nTimeout=0\n[Devices]\nA=127.0.0.1\n",
       "Nothing checked: Times=-2 in [Ping] of %1 sends no ping; set it to 1 or more"},
      {"Timeout 0", "[Ping]\nTimeout=0\n[Devices]\nA=127.0.0.1\n",
       "Nothing checked: Timeout=0 in [Ping] of %1 waits for no answer; set it to 1 or more"},
      {"Timeout below 0 with Parallel", "[Ping]\nTimeout=-1\nParallel=8\n[Devices]\nA=127.0.0.1\n",
       "Nothing checked: Timeout=-1 in [Ping] of %1 waits for no answer; set it to 1 or more"},
      {"no device comes first", "[Ping]\nTimes=0\nTimeout=0\n[Devices]\n",
       "Nothing checked: the [Devices] section of %1 is empty"},
  };
  for (const auto &R : Rows) {
    SCOPED_TRACE(R.Name);
    Load(QString::fromLatin1(R.Text));
    const QString Cause = QString::fromLatin1(R.Cause);
    EXPECT_EQ(NothingCheckedText(Settings, File), Cause.isEmpty() ? Cause : Cause.arg(File));
  }
}

// The line that puts the example in place: "~" for the home folder, and
// quotes only where the shell would split or expand the path.
TEST(SettingsCreateCommand, ShellLineTable) {
  const struct {
    const char *Config, *Example, *Home, *Line;
  } Rows[] = {
      {"/home/ann/.config/dervik/dervik.ini", "examples/dervik.ini", "/home/ann",
       "mkdir -p ~/.config/dervik && cp examples/dervik.ini ~/.config/dervik/dervik.ini"},
      {"/home/ann/.config/dervik/dervik.ini", "/home/ann/.local/share/doc/dervik/dervik.ini",
       "/home/ann",
       "mkdir -p ~/.config/dervik && cp ~/.local/share/doc/dervik/dervik.ini "
       "~/.config/dervik/dervik.ini"},
      {"/srv/cfg/dervik/dervik.ini", "/usr/share/doc/dervik/dervik.ini", "/home/ann",
       "mkdir -p /srv/cfg/dervik && cp /usr/share/doc/dervik/dervik.ini "
       "/srv/cfg/dervik/dervik.ini"},
      {"/home/ann/.config/dervik/dervik.ini", "examples/dervik.ini", "",
       "mkdir -p /home/ann/.config/dervik && cp examples/dervik.ini "
       "/home/ann/.config/dervik/dervik.ini"},
      {"/home/annette/x/dervik.ini", "e.ini", "/home/ann",  // not under /home/ann/
       "mkdir -p /home/annette/x && cp e.ini /home/annette/x/dervik.ini"},
      {"/home/ann/My Config/dervik/dervik.ini", "e.ini", "/home/ann",
       "mkdir -p '/home/ann/My Config/dervik' && cp e.ini '/home/ann/My Config/dervik/dervik.ini'"},
      {"/x/it's/dervik.ini", "e.ini", "/h",
       "mkdir -p '/x/it'\\''s' && cp e.ini '/x/it'\\''s/dervik.ini'"},
      {"/x/$HOME/dervik.ini", "e.ini", "/h",
       "mkdir -p '/x/$HOME' && cp e.ini '/x/$HOME/dervik.ini'"},
  };
  for (const auto &R : Rows)
    EXPECT_EQ(SettingsCreateCommand(QString::fromUtf8(R.Config), QString::fromUtf8(R.Example),
                                    QString::fromUtf8(R.Home)),
              QString::fromUtf8(R.Line))
        << R.Config;
  EXPECT_EQ(SettingsNotFoundText({"/a/dervik.ini", "/b/dervik/dervik.ini"}),
            "No settings file: looked for /a/dervik.ini and /b/dervik/dervik.ini");
  EXPECT_EQ(SettingsNotFoundText({"/a/dervik.ini", "/b/dervik/dervik.ini"}, "mkdir -p X && cp Y Z"),
            "No settings file: looked for /a/dervik.ini and /b/dervik/dervik.ini; create one with: "
            "mkdir -p X && cp Y Z");
}

}  // namespace
