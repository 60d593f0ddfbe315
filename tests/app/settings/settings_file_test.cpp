// Reading the settings file: every kind of entry that may lie at its path,
// the encodings it may be saved in, and the bounds that keep a hostile file
// from costing memory or start-up time.
#include "settings/ini_file.h"
#include "qt_printers.h"
#include "settings/settings_file.h"
#include "support/settings_place.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>

namespace {

struct TReadCase {
  const char *Name;
  TPlace Place;
  TSettingsFileState State;
  const char *Reason;  // what panel 0 says after "not used: ", or none
};

const TReadCase ReadCases[] = {
    {"regular_file", {pkFile, "[Devices]\nA=1\n"}, sfReadable, nullptr},
    {"empty_file", {pkFile, ""}, sfReadable, nullptr},
    {"nothing", {pkNothing}, sfMissing, nullptr},
    {"directory", {pkDirectory}, sfDirectory, "it is a directory"},
    {"fifo", {pkFifo}, sfFifo, "it is a FIFO, not a file"},
    {"socket", {pkSocket}, sfSocket, "it is a socket, not a file"},
    {"link_loop", {pkLinkLoop}, sfLinkLoop, "its symbolic links form a loop"},
    {"dangling_link",
     {pkDanglingLink},
     sfDanglingLink,
     "it is a symbolic link to a file that does not exist"},
    {"too_large", {pkTooLarge}, sfTooLarge, "it is larger than 64 MiB"},
};

class ReadSettingsFileTest : public testing::TestWithParam<TReadCase> {};

TEST_P(ReadSettingsFileTest, NamesWhatLiesThere) {
  const TReadCase &Case = GetParam();
  const testsupport::TempFolder Temp;
  const QString Path = Temp.file(QStringLiteral("dervik.ini"));
  MakePlace(Path, Case.Place);
  const TSettingsFileRead Read = ReadSettingsFile(Path);
  EXPECT_EQ(Read.State, Case.State);
  EXPECT_EQ(Read.Bytes, Case.State == sfReadable ? Case.Place.Bytes : QByteArray());
  EXPECT_EQ(SettingsFileProblemText(Path, Read),
            Case.Reason == nullptr ? QString()
                                   : QStringLiteral("Settings file %1 not used: %2")
                                         .arg(Path, QString::fromLatin1(Case.Reason)));
}

INSTANTIATE_TEST_SUITE_P(Places, ReadSettingsFileTest, testing::ValuesIn(ReadCases),
                         [](const testing::TestParamInfo<TReadCase> &Info) {
                           return std::string(Info.param.Name);
                         });

// Root reads any file, so the read is tried by an unprivileged child.
TEST(ReadSettingsFile, NoReadPermission) {
  const testsupport::TempFolder Temp;
  const QString Path = Temp.file(QStringLiteral("dervik.ini"));
  MakePlace(Path, {pkNoPermission, "[Devices]\nA=1\n"});
  ASSERT_EQ(chmod(Temp.file(QString()).toLocal8Bit().constData(), 0755), 0);
  const QString Expected =
      QStringLiteral("Settings file %1 not used: no permission to read it").arg(Path);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
        const TSettingsFileRead Read = ReadSettingsFile(Path);
        _exit(Read.State == sfNoPermission && Read.Bytes.isEmpty() &&
                      SettingsFileProblemText(Path, Read) == Expected
                  ? 0
                  : 1);
      },
      testing::ExitedWithCode(0), "");
}

// The same settings in every encoding a settings file may be saved in.
struct TEncodingCase {
  const char *Name;
  QByteArray (*Encode)(const QString &);
};

const TEncodingCase EncodingCases[] = {
    {"utf8", [](const QString &T) { return T.toUtf8(); }},
    {"utf8_bom", [](const QString &T) { return QByteArray("\xEF\xBB\xBF") + T.toUtf8(); }},
    {"utf16_le_bom", [](const QString &T) { return Utf16WithByteOrderMark(T, false); }},
    {"utf16_be_bom", [](const QString &T) { return Utf16WithByteOrderMark(T, true); }},
};

class EncodingTest : public testing::TestWithParam<TEncodingCase> {};

TEST_P(EncodingTest, ReadsLikeUtf8) {
  // Non-ASCII in names and values, a character outside the BMP (a surrogate
  // pair in UTF-16) and Windows line ends.
  const QString Text = QString::fromUtf8(
      "[Ping]\r\nTimes=7\r\n[Devices]\r\nK\xC3\xBC"
      "che=127.0.0.1\r\nRouter \xF0\x9F\x98\x80=r\xC3\xA9seau\r\nPlain=\r\n");
  const testsupport::TempFolder Temp;
  const TIniFile Ini(Temp.write(QStringLiteral("dervik.ini"), GetParam().Encode(Text)));
  EXPECT_EQ(Ini.ReadString(u"Ping", u"Times", QString()), QStringLiteral("7"));
  const QStringList Keys = Ini.ReadSectionKeys(u"Devices");
  EXPECT_EQ(Keys,
            (QStringList{QString::fromUtf8("K\xC3\xBC"
                                           "che"),
                         QString::fromUtf8("Router \xF0\x9F\x98\x80"), QStringLiteral("Plain")}));
  EXPECT_EQ(Ini.ReadString(u"Devices", QString::fromUtf8("Router \xF0\x9F\x98\x80"), QString()),
            QString::fromUtf8("r\xC3\xA9seau"));
}

INSTANTIATE_TEST_SUITE_P(Encodings, EncodingTest, testing::ValuesIn(EncodingCases),
                         [](const testing::TestParamInfo<TEncodingCase> &Info) {
                           return std::string(Info.param.Name);
                         });

TEST(IniBytes, OddUtf16TailBecomesAReplacementCharacter) {
  const QByteArray Bytes = Utf16WithByteOrderMark(QStringLiteral("[A]\nk=v"), false) + 'x';
  EXPECT_EQ(TIniFile::FromBytes(Bytes).ReadString(u"A", u"k", QString()),
            QStringLiteral("v\uFFFD"));
}

// Names are cut like values, and the number of entries and sections read is
// bounded, so that start-up time stays small for every accepted file.
TEST(IniBytes, NamesAreCutLikeValues) {
  const qsizetype Huge = 40 * 1024 * 1024;
  const QByteArray Bytes =
      "[Devices]\n" + QByteArray(Huge, 'n') + "=127.0.0.1\nB=" + QByteArray(Huge / 8, 'v') + "\n";
  const TIniFile Ini = TIniFile::FromBytes(Bytes);
  const QString Cut(TIniFile::MaxKeyLength, u'n');
  EXPECT_EQ(Ini.ReadSectionKeys(u"Devices"), (QStringList{Cut, QStringLiteral("B")}));
  EXPECT_EQ(Ini.ReadString(u"Devices", Cut, QString()), QStringLiteral("127.0.0.1"));
  EXPECT_EQ(Ini.ReadString(u"Devices", u"B", QString()), QString(TIniFile::MaxValueLength, u'v'));
}

TEST(IniBytes, EntriesAndSectionsAreBounded) {
  const struct {
    qsizetype Entries;
    qsizetype Kept;
  } Table[] = {
      {TIniFile::MaxSectionEntries - 1, TIniFile::MaxSectionEntries - 1},
      {TIniFile::MaxSectionEntries, TIniFile::MaxSectionEntries},
      {TIniFile::MaxSectionEntries + 7, TIniFile::MaxSectionEntries},
  };
  for (const auto &Row : Table) {
    QByteArray Bytes = "[Devices]\n";
    for (qsizetype I = 0; I < Row.Entries; ++I) Bytes += "d" + QByteArray::number(I) + "=\n";
    const TIniFile Ini = TIniFile::FromBytes(Bytes);
    const QStringList Keys = Ini.ReadSectionKeys(u"Devices");
    ASSERT_EQ(Keys.size(), Row.Kept) << Row.Entries;
    EXPECT_EQ(Keys.back(), QStringLiteral("d%1").arg(Row.Kept - 1));
    EXPECT_EQ(Ini.SkippedEntries(u"Devices"), Row.Entries - Row.Kept);
  }

  QByteArray Bytes;
  for (qsizetype I = 0; I < TIniFile::MaxSections + 3; ++I)
    Bytes += "[S" + QByteArray::number(I) + "]\nk=v\n";
  Bytes += "[S0]\nlater=1\n";  // a section already known stays open
  const TIniFile Ini = TIniFile::FromBytes(Bytes);
  EXPECT_TRUE(Ini.SectionExists(QStringLiteral("S%1").arg(TIniFile::MaxSections - 1)));
  EXPECT_FALSE(Ini.SectionExists(QStringLiteral("S%1").arg(TIniFile::MaxSections)));
  EXPECT_EQ(Ini.ReadString(u"S0", u"later", QString()), QStringLiteral("1"));
}

// Sets (or with no value removes) an environment variable for one scope.
class TScopedEnv {
 public:
  TScopedEnv(const char *Name, const char *Value) : FName(Name) {
    if (const char *Old = std::getenv(Name)) FOld = Old;
    if (Value != nullptr)
      setenv(Name, Value, 1);
    else
      unsetenv(Name);
  }
  ~TScopedEnv() {
    if (FOld)
      setenv(FName, FOld->c_str(), 1);
    else
      unsetenv(FName);
  }

 private:
  const char *FName;
  std::optional<std::string> FOld;
};

TEST(ConfigHome, FromTheEnvironment) {
  const struct {
    const char *ConfigHome;
    const char *Home;
    const char *Expected;
  } Table[] = {
      {"/srv/cfg", "/home/ann", "/srv/cfg"},
      {"/srv/cfg/", "/home/ann", "/srv/cfg"},
      {"relative/cfg", "/home/ann", "/home/ann/.config"},  // not absolute: ignored
      {"", "/home/ann", "/home/ann/.config"},
      {nullptr, "/home/ann/", "/home/ann/.config"},
      {nullptr, nullptr, ""},
      {nullptr, "not/absolute", ""},
  };
  for (const auto &Row : Table) {
    const TScopedEnv ConfigHome("XDG_CONFIG_HOME", Row.ConfigHome);
    const TScopedEnv Home("HOME", Row.Home);
    EXPECT_EQ(ConfigHomeFromEnvironment(), QString::fromLatin1(Row.Expected))
        << (Row.ConfigHome ? Row.ConfigHome : "(unset)") << " "
        << (Row.Home ? Row.Home : "(unset)");
  }
}

}  // namespace
