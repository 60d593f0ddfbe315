// Where the window finds its settings file and what panel 0 says when it
// finds none or one it cannot use: beside the program first, then the
// user's configuration folder.
#include "window/form_main.h"
#include "settings/ini_file.h"
#include "start/program_files.h"
#include "qt_printers.h"
#include "support/settings_place.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTreeWidget>

#include <unistd.h>

#include <memory>
#include <utility>
#include <vector>

namespace {

using TPairs = std::vector<std::pair<QString, QString>>;

enum TUsed { uBeside, uConfig, uNeither };

struct TLookupCase {
  const char *Name;
  TPlace Beside;
  TPlace Config;
  TUsed Used;
  const char *Reason = nullptr;  // the used file is not usable, for this reason
  TPairs Devices = TPairs();
  bool WithConfigHome = true;  // false: the user's folder is unknown
};

QByteArray Settings(const char *Devices) {
  return QByteArray("[Ping]\nTimes=2\n[Devices]\n") + Devices;
}

const QString Unicode = QString::fromUtf8(
    "[Devices]\r\nK\xC3\xBC"
    "che=127.0.0.1\r\nRouter=\r\n");
const TPairs UnicodeDevices{{QString::fromUtf8("K\xC3\xBC"
                                               "che"),
                             "127.0.0.1"},
                            {"Router", ""}};

std::vector<TLookupCase> LookupCases() {
  const QByteArray HugeName(40 * 1024 * 1024, 'n');
  return {
      {"beside_only",
       {pkFile, Settings("A=127.0.0.1\n")},
       {},
       uBeside,
       nullptr,
       {{"A", "127.0.0.1"}}},
      {"config_only",
       {},
       {pkFile, Settings("B=127.0.0.2\n")},
       uConfig,
       nullptr,
       {{"B", "127.0.0.2"}}},
      {"beside_wins",
       {pkFile, Settings("A=127.0.0.1\n")},
       {pkFile, Settings("B=127.0.0.2\n")},
       uBeside,
       nullptr,
       {{"A", "127.0.0.1"}}},
      {"neither", {}, {}, uNeither},
      {"neither_without_config_home", {}, {}, uNeither, nullptr, {}, false},
      {"config_home_unknown_file_there_unused",
       {},
       {pkFile, Settings("B=1\n")},
       uNeither,
       nullptr,
       {},
       false},
      // Something that is there but unusable is named, not passed over.
      {"beside_directory",
       {pkDirectory},
       {pkFile, Settings("B=1\n")},
       uBeside,
       "it is a directory"},
      {"beside_fifo", {pkFifo}, {pkFile, Settings("B=1\n")}, uBeside, "it is a FIFO, not a file"},
      {"beside_socket", {pkSocket}, {}, uBeside, "it is a socket, not a file"},
      {"beside_link_loop", {pkLinkLoop}, {}, uBeside, "its symbolic links form a loop"},
      {"beside_dangling_link",
       {pkDanglingLink},
       {},
       uBeside,
       "it is a symbolic link to a file that does not exist"},
      {"beside_too_large", {pkTooLarge}, {}, uBeside, "it is larger than 64 MiB"},
      {"config_fifo", {}, {pkFifo}, uConfig, "it is a FIFO, not a file"},
      {"config_directory", {}, {pkDirectory}, uConfig, "it is a directory"},
      {"utf16_le",
       {pkFile, Utf16WithByteOrderMark(Unicode, false)},
       {},
       uBeside,
       nullptr,
       UnicodeDevices},
      {"utf16_be",
       {},
       {pkFile, Utf16WithByteOrderMark(Unicode, true)},
       uConfig,
       nullptr,
       UnicodeDevices},
      {"utf8_bom",
       {pkFile, "\xEF\xBB\xBF" + Unicode.toUtf8()},
       {},
       uBeside,
       nullptr,
       UnicodeDevices},
      {"name_of_40_mib",
       {pkFile, "[Devices]\n" + HugeName + "=127.0.0.1\nB=127.0.0.2\n"},
       {},
       uBeside,
       nullptr,
       {{QString(TIniFile::MaxKeyLength, u'n'), "127.0.0.1"}, {"B", "127.0.0.2"}}},
  };
}

void PrintTo(const TLookupCase &Case, std::ostream *Out) { *Out << Case.Name; }

class SettingsLookupTest : public testing::TestWithParam<TLookupCase> {
 protected:
  testsupport::TempFolder Temp;
  const QString Exe = Temp.file(QStringLiteral("bin/dervik"));
  const QString ConfigHome = Temp.file(QStringLiteral("config"));
  const QString Beside = Temp.file(QStringLiteral("bin/dervik.ini"));
  const QString Config = Temp.file(QStringLiteral("config/dervik/dervik.ini"));
};

TEST_P(SettingsLookupTest, UsesTheFirstPlaceWithAFile) {
  const TLookupCase &Case = GetParam();
  ASSERT_TRUE(QDir().mkpath(Temp.file(QStringLiteral("bin"))));
  ASSERT_TRUE(QDir().mkpath(Temp.file(QStringLiteral("config/dervik"))));
  ASSERT_TRUE(QFile::link(ExecutableFilePath(), Exe));
  MakePlace(Beside, Case.Beside);
  MakePlace(Config, Case.Config);

  TFormMain Form(TFormMain::TStartup{Exe, {}, Case.WithConfigHome ? ConfigHome : QString()});
  const QString Used = Case.Used == uConfig ? Config : Beside;
  EXPECT_EQ(Form.SettingsFileName(), Used);

  QString Panel0;
  // With none in place, the hint names the user's own file (the last place
  // looked) as the one to create, from the example of the source tree.
  const auto CreateHint = [](const QString &File) {
    const QString Folder = File.left(File.lastIndexOf(u'/'));
    return QStringLiteral("; create one with: mkdir -p %1 && cp examples/dervik.ini %2")
        .arg(Folder, File);
  };
  if (Case.Used == uNeither)
    Panel0 =
        Case.WithConfigHome
            ? QStringLiteral("No settings file: looked for %1 and %2").arg(Beside, Config) +
                  CreateHint(Config)
            : QStringLiteral("No settings file: looked for %1").arg(Beside) + CreateHint(Beside);
  else if (Case.Reason != nullptr)
    Panel0 =
        QStringLiteral("Settings file %1 not used: %2").arg(Used, QString::fromLatin1(Case.Reason));
  EXPECT_EQ(Form.StatusPanelText(0), Panel0);
  EXPECT_EQ(Form.SettingsProblem(), Panel0);

  TPairs Rows;
  for (int Row = 0; Row < Form.ListViewResults->topLevelItemCount(); ++Row)
    Rows.emplace_back(Form.ListViewResults->topLevelItem(Row)->text(0),
                      Form.ListViewResults->topLevelItem(Row)->text(1));
  EXPECT_EQ(Rows, Case.Devices);
  // Only a file that was read sets the settings; any other keeps the defaults.
  const TPlace &UsedPlace = Case.Used == uConfig ? Case.Config : Case.Beside;
  const bool Read =
      Case.Used != uNeither && Case.Reason == nullptr && UsedPlace.Bytes.startsWith("[Ping]");
  EXPECT_EQ(Form.Settings().PingTimes(), Read ? 2 : 4);
}

INSTANTIATE_TEST_SUITE_P(Places, SettingsLookupTest, testing::ValuesIn(LookupCases()),
                         [](const testing::TestParamInfo<TLookupCase> &Info) {
                           return std::string(Info.param.Name);
                         });

// The hint stays after a run, which found nothing to check; a file put in
// place afterwards is found at the next run without a restart.
TEST_F(SettingsLookupTest, EveryRunLooksAgain) {
  ASSERT_TRUE(QDir().mkpath(Temp.file(QStringLiteral("bin"))));
  ASSERT_TRUE(QFile::link(ExecutableFilePath(), Exe));
  TFormMain Form(TFormMain::TStartup{Exe, {}, ConfigHome});
  const QString Hint =
      QStringLiteral(
          "No settings file: looked for %1 and %2; create one with: mkdir -p %3 && "
          "cp examples/dervik.ini %2")
          .arg(Beside, Config, Temp.file(QStringLiteral("config/dervik")));
  EXPECT_EQ(Form.StatusPanelText(0), Hint);
  Form.Settings().SetLastCheckDT(QDateTime::currentDateTime());
  Form.RefreshListView();
  EXPECT_EQ(Form.StatusPanelText(0), Hint);

  ASSERT_TRUE(QDir().mkpath(Temp.file(QStringLiteral("config/dervik"))));
  MakePlace(Config, {pkFile, Settings("C=127.0.0.3\n")});
  Form.LoadSettings();
  Form.RefreshListView();
  EXPECT_EQ(Form.SettingsFileName(), Config);
  EXPECT_EQ(Form.StatusPanelText(0), QString());
  EXPECT_EQ(Form.ListViewResults->topLevelItemCount(), 1);
}

// A list cut at the bound says so until the next run.
TEST_F(SettingsLookupTest, DevicesBeyondTheBoundAreToldOf) {
  ASSERT_TRUE(QDir().mkpath(Temp.file(QStringLiteral("bin"))));
  ASSERT_TRUE(QFile::link(ExecutableFilePath(), Exe));
  QByteArray Devices;
  const qsizetype Extra = 3;
  for (qsizetype I = 0; I < TIniFile::MaxSectionEntries + Extra; ++I)
    Devices += "d" + QByteArray::number(I) + "=\n";
  MakePlace(Beside, {pkFile, Settings(Devices.constData())});
  TFormMain Form(TFormMain::TStartup{Exe, {}, ConfigHome});
  EXPECT_EQ(Form.ListViewResults->topLevelItemCount(), TIniFile::MaxSectionEntries);
  EXPECT_EQ(Form.StatusPanelText(0),
            QStringLiteral("Only the first %1 devices of %2 are listed (%3 more left out)")
                .arg(TIniFile::MaxSectionEntries)
                .arg(Beside)
                .arg(Extra));
  Form.Settings().SetLastCheckResult(QStringLiteral("All connections OK"));
  Form.Settings().SetLastCheckDT(QDateTime::currentDateTime());
  Form.RefreshListView();
  EXPECT_TRUE(Form.StatusPanelText(0).startsWith(QStringLiteral("All connections OK (")));
}

}  // namespace
