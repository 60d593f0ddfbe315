#include "settings/settings.h"
#include "qt_printers.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QRandomGenerator>

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <utility>
#include <vector>

namespace {

using TDevicePairs = std::vector<std::pair<QString, QString>>;

// What a load must give; the members start at the defaults.  Every member has
// its initializer, so a case names only the members it changes.
struct TExpected {
  std::int32_t PingTimeout = 3;
  std::int32_t PingTimes = 4;
  std::int32_t PingTTL = 128;
  std::int32_t PingParallel = 0;
  std::int32_t PingParallelDevices = 1;  // what a run keeps in flight
  QString SMTPHostAddress = QStringLiteral("0.0.0.0");
  std::int32_t SMTPPort = 25;
  QString SMTPRecipients = QString();
  QString SMTPSender = QString();
  QString SMTPQueueDir = QString();
  std::int32_t SMTPTimeout = 60;
  std::int32_t SMTPTimeoutSeconds = 60;  // what the report waits
  std::int32_t SyslogFacility = 22;
  QString SyslogHostAddress = QStringLiteral("0.0.0.0");
  std::int32_t SyslogPort = 514;
  std::int32_t HistoryKeep = 90;
  TDevicePairs Devices = TDevicePairs();
};

TDevicePairs DevicesOf(const TSettings &Settings) {
  TDevicePairs Pairs;
  for (const auto &Device : Settings.Devices())
    Pairs.emplace_back(Device->DeviceName(), Device->DeviceHostAddress());
  return Pairs;
}

void ExpectSettings(const TSettings &S, const TExpected &E) {
  EXPECT_EQ(S.PingTimeout(), E.PingTimeout);
  EXPECT_EQ(S.PingTimes(), E.PingTimes);
  EXPECT_EQ(S.PingTTL(), E.PingTTL);
  EXPECT_EQ(S.PingParallel(), E.PingParallel);
  EXPECT_EQ(S.PingParallelDevices(), E.PingParallelDevices);
  EXPECT_EQ(S.SMTPHostAddress(), E.SMTPHostAddress);
  EXPECT_EQ(S.SMTPPort(), E.SMTPPort);
  EXPECT_EQ(S.SMTPRecipients(), E.SMTPRecipients);
  EXPECT_EQ(S.SMTPSender(), E.SMTPSender);
  EXPECT_EQ(S.SMTPQueueDir(), E.SMTPQueueDir);
  EXPECT_EQ(S.SMTPTimeout(), E.SMTPTimeout);
  EXPECT_EQ(S.SMTPTimeoutSeconds(), E.SMTPTimeoutSeconds);
  EXPECT_EQ(S.SyslogFacility(), E.SyslogFacility);
  EXPECT_EQ(S.SyslogHostAddress(), E.SyslogHostAddress);
  EXPECT_EQ(S.SyslogPort(), E.SyslogPort);
  EXPECT_EQ(S.HistoryKeep(), E.HistoryKeep);
  EXPECT_EQ(DevicesOf(S), E.Devices);
  EXPECT_FALSE(S.HasLastCheck());
  EXPECT_EQ(S.LastCheckResult(), QString());
  for (const auto &Device : S.Devices()) {
    EXPECT_EQ(Device->DeviceStatus(), dsNone);
    EXPECT_EQ(Device->DeviceStatusCategory(), dscUnknown);
  }
}

QString Repeat(char C, int Count) { return QString(Count, QLatin1Char(C)); }

const QString ExampleFile = QStringLiteral(
    "[Ping]\nTimeout=3\nTimes=4\nTTL=128\n"
    "[SMTP]\nHostAddress=0.0.0.0\nPort=25\nRecipients=\nSender=\n"
    "[Syslog]\nFacility=22\nHostAddress=0.0.0.0\nPort=514\n"
    "[Devices]\nRouter=192.168.1.1\nPrinter=\n");

struct TLoadCase {
  const char *Name;
  QString Text;
  TExpected Expected;
};

std::vector<TLoadCase> LoadCases() {
  const QString Long = Repeat('r', 5000);
  TDevicePairs Reversed;
  QString ManyDevices = QStringLiteral("[Devices]\n");
  for (char C = 'Z'; C >= 'A'; --C) {
    ManyDevices += QStringLiteral("%1=10.0.0.%2\n").arg(QLatin1Char(C)).arg(int(C));
    Reversed.emplace_back(QString(QLatin1Char(C)), QStringLiteral("10.0.0.%1").arg(int(C)));
  }
  return {
      {"example_file", ExampleFile, {.Devices = {{"Router", "192.168.1.1"}, {"Printer", ""}}}},
      {"every_key_set",
       QStringLiteral(
           "[Ping]\nTimeout=5\nTimes=2\nTTL=64\n"
           "[SMTP]\nHostAddress=127.0.0.1\nPort=2525\nRecipients=a@example.org, b@example.org\n"
           "Sender=dervik@example.org\nQueueDir=/var/spool/dervik\n"
           "[Syslog]\nFacility=16\nHostAddress=localhost\nPort=5140\n"),
       {.PingTimeout = 5,
        .PingTimes = 2,
        .PingTTL = 64,
        .SMTPHostAddress = "127.0.0.1",
        .SMTPPort = 2525,
        .SMTPRecipients = "a@example.org, b@example.org",
        .SMTPSender = "dervik@example.org",
        .SMTPQueueDir = "/var/spool/dervik",
        .SyslogFacility = 16,
        .SyslogHostAddress = "localhost",
        .SyslogPort = 5140}},
      {"no_devices_section",
       QStringLiteral("[Ping]\nTimes=7\n[SMTP]\nPort=26\n"),
       {.PingTimes = 7, .SMTPPort = 26}},
      {"empty_file", QString(), {}},
      {"timeout_hex_0x", QStringLiteral("[Ping]\nTimeout=0x10\n"), {.PingTimeout = 16}},
      {"timeout_hex_dollar", QStringLiteral("[Ping]\nTimeout=$1F\n"), {.PingTimeout = 31}},
      {"timeout_negative", QStringLiteral("[Ping]\nTimeout=-5\n"), {.PingTimeout = -5}},
      {"timeout_not_a_number", QStringLiteral("[Ping]\nTimeout=abc\n"), {.PingTimeout = 3}},
      {"timeout_empty", QStringLiteral("[Ping]\nTimeout=\n"), {.PingTimeout = 3}},
      // Parallel: 0, 1 and below run one device after the other; above the
      // limit the limit.
      {"parallel_zero",
       QStringLiteral("[Ping]\nParallel=0\n"),
       {.PingParallel = 0, .PingParallelDevices = 1}},
      {"parallel_one",
       QStringLiteral("[Ping]\nParallel=1\n"),
       {.PingParallel = 1, .PingParallelDevices = 1}},
      {"parallel_two",
       QStringLiteral("[Ping]\nParallel=2\n"),
       {.PingParallel = 2, .PingParallelDevices = 2}},
      {"parallel_64",
       QStringLiteral("[Ping]\nParallel=64\n"),
       {.PingParallel = 64, .PingParallelDevices = 64}},
      {"parallel_256",
       QStringLiteral("[Ping]\nParallel=256\n"),
       {.PingParallel = 256, .PingParallelDevices = 256}},
      {"parallel_257",
       QStringLiteral("[Ping]\nParallel=257\n"),
       {.PingParallel = 257, .PingParallelDevices = 257}},
      {"parallel_at_limit",
       QStringLiteral("[Ping]\nParallel=10000\n"),
       {.PingParallel = 10000, .PingParallelDevices = 10000}},
      {"parallel_above_limit",
       QStringLiteral("[Ping]\nParallel=10001\n"),
       {.PingParallel = 10001, .PingParallelDevices = 10000}},
      {"parallel_huge",
       QStringLiteral("[Ping]\nParallel=2147483647\n"),
       {.PingParallel = 2147483647, .PingParallelDevices = 10000}},
      {"parallel_negative",
       QStringLiteral("[Ping]\nParallel=-8\n"),
       {.PingParallel = -8, .PingParallelDevices = 1}},
      {"parallel_not_a_number", QStringLiteral("[Ping]\nParallel=many\n"), {}},
      {"numbers_taken_as_read",
       QStringLiteral("[Ping]\nTimes=0\n[SMTP]\nPort=-1\n[Syslog]\nPort=99999\n"),
       {.PingTimes = 0, .SMTPPort = -1, .SyslogPort = 99999}},
      {"text_set_empty", QStringLiteral("[SMTP]\nHostAddress=\n"), {.SMTPHostAddress = ""}},
      {"queue_dir_alone",
       QStringLiteral("[SMTP]\nQueueDir= /tmp/dervik queue/ \n"),
       {.SMTPQueueDir = "/tmp/dervik queue/"}},
      // Keep 0 turns the history off; a value that is no number keeps the default.
      {"history_keep", QStringLiteral("[History]\nKeep=7\n"), {.HistoryKeep = 7}},
      {"history_keep_zero", QStringLiteral("[History]\nKeep=0\n"), {.HistoryKeep = 0}},
      {"history_keep_not_a_number", QStringLiteral("[History]\nKeep=forever\n"), {}},
      {"smtp_timeout",
       QStringLiteral("[SMTP]\nTimeout=5\n"),
       {.SMTPTimeout = 5, .SMTPTimeoutSeconds = 5}},
      // 0 would make the mail component wait for ever.
      {"smtp_timeout_zero",
       QStringLiteral("[SMTP]\nTimeout=0\n"),
       {.SMTPTimeout = 0, .SMTPTimeoutSeconds = 60}},
      {"smtp_timeout_negative",
       QStringLiteral("[SMTP]\nTimeout=-3\n"),
       {.SMTPTimeout = -3, .SMTPTimeoutSeconds = 60}},
      {"smtp_timeout_huge",
       QStringLiteral("[SMTP]\nTimeout=0x7fffffff\n"),
       {.SMTPTimeout = 2147483647, .SMTPTimeoutSeconds = 3600}},
      {"device_with_empty_address",
       QStringLiteral("[Devices]\nPrinter=\nRouter=10.0.0.1\n"),
       {.Devices = {{"Printer", ""}, {"Router", "10.0.0.1"}}}},
      {"names_differing_in_case",
       QStringLiteral("[PING]\ntimeout=9\n[smtp]\nHOSTADDRESS=127.0.0.1\n[devices]\nRouter=10.0.0."
                      "1\nROUTER=10.0.0.2\n"),
       {.PingTimeout = 9, .SMTPHostAddress = "127.0.0.1", .Devices = {{"Router", "10.0.0.1"}}}},
      {"duplicate_key_first_wins",
       QStringLiteral("[Ping]\nTimes=5\nTimes=6\n[Devices]\nA=10.0.0.1\nB=10.0.0.2\nA=10.0.0.3\n"),
       {.PingTimes = 5, .Devices = {{"A", "10.0.0.1"}, {"B", "10.0.0.2"}}}},
      {"line_without_equals_ignored",
       QStringLiteral("[Ping]\nTimes\nTTL=3\n[Devices]\nA=1\nJustAName\nB=2\n"),
       {.PingTTL = 3, .Devices = {{"A", "1"}, {"B", "2"}}}},
      {"long_value_cut_to_2047",
       QStringLiteral("[SMTP]\nRecipients=") + Long + QStringLiteral("\n[Devices]\nD=") + Long +
           u'\n',
       {.SMTPRecipients = Long.left(2047), .Devices = {{"D", Long.left(2047)}}}},
      {"device_order_kept", ManyDevices, {.Devices = Reversed}},
      {"blanks_comments_bom_crlf",
       QStringLiteral("\uFEFF; settings\r\n[ Ping ]\r\n Timeout = 7 \r\n# no\r\n[Devices]\r\n  "
                      "Router  =  10.0.0.1  \r\n"),
       {.PingTimeout = 7, .Devices = {{"Router", "10.0.0.1"}}}},
      {"value_may_contain_equals",
       QStringLiteral("[Devices]\nodd=a=b\n"),
       {.Devices = {{"odd", "a=b"}}}},
  };
}

void PrintTo(const TLoadCase &Case, std::ostream *Out) { *Out << Case.Name; }

class LoadFromFileTest : public testing::TestWithParam<TLoadCase> {};

TEST_P(LoadFromFileTest, ReadsKeysAndDevices) {
  const testsupport::TempFolder Temp;
  const QString FileName = Temp.writeText(QStringLiteral("dervik.ini"), GetParam().Text);
  TSettings Settings;
  EXPECT_TRUE(Settings.LoadFromFile(FileName));
  ExpectSettings(Settings, GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(Files, LoadFromFileTest, testing::ValuesIn(LoadCases()),
                         [](const testing::TestParamInfo<TLoadCase> &Info) {
                           return std::string(Info.param.Name);
                         });

TEST(Settings, MissingFileGivesDefaults) {
  const testsupport::TempFolder Temp;
  TSettings Settings;
  EXPECT_TRUE(Settings.LoadFromFile(Temp.file(QStringLiteral("missing.ini"))));
  ExpectSettings(Settings, {});
}

TEST(Settings, WithoutFileNameEverythingIsZero) {
  const TSettings Settings;
  EXPECT_EQ(Settings.PingTimeout(), 0);
  EXPECT_EQ(Settings.PingTimes(), 0);
  EXPECT_EQ(Settings.PingTTL(), 0);
  EXPECT_EQ(Settings.PingParallel(), 0);
  EXPECT_EQ(Settings.SMTPHostAddress(), QString());
  EXPECT_EQ(Settings.SMTPPort(), 0);
  EXPECT_EQ(Settings.SyslogFacility(), 0);
  EXPECT_EQ(Settings.SyslogHostAddress(), QString());
  EXPECT_EQ(Settings.SyslogPort(), 0);
  EXPECT_EQ(Settings.HistoryKeep(), 0);
  EXPECT_TRUE(Settings.Devices().empty());
}

TEST(Settings, ConstructorLoadsTheFile) {
  const testsupport::TempFolder Temp;
  const TSettings Settings(Temp.writeText(QStringLiteral("dervik.ini"), ExampleFile));
  EXPECT_EQ(Settings.Devices().size(), 2u);
}

TEST(Settings, ReloadStartsAfresh) {
  const testsupport::TempFolder Temp;
  const QString First = Temp.writeText(QStringLiteral("a.ini"),
                                       QStringLiteral("[Ping]\nTimes=9\n[Devices]\nA=1\nB=2\n"));
  const QString Second =
      Temp.writeText(QStringLiteral("b.ini"), QStringLiteral("[Devices]\nC=3\n"));
  TSettings Settings(First);
  Settings.SetLastCheckDT(QDateTime::currentDateTime());
  Settings.SetLastCheckResult(QStringLiteral("All connections OK"));
  Settings.Devices().front()->SetPinged(4);
  ASSERT_TRUE(Settings.LoadFromFile(Second));
  ExpectSettings(Settings, {.Devices = {{"C", "3"}}});
}

// Bad input of every kind loads without crashing or hanging.
class BadInputTest : public testing::Test {
 protected:
  testsupport::TempFolder Temp;
  TSettings Settings;
};

TEST_F(BadInputTest, BinaryGarbage) {
  QByteArray Garbage(256 * 1024, '\0');
  QRandomGenerator Random(20261210);
  for (char &Byte : Garbage) Byte = static_cast<char>(Random.bounded(256));
  Garbage.insert(1000, "\n[Devices]\nafter=garbage\n");
  EXPECT_TRUE(Settings.LoadFromFile(Temp.write(QStringLiteral("garbage.ini"), Garbage)));
  for (const auto &Device : Settings.Devices()) EXPECT_LE(Device->DeviceHostAddress().size(), 2047);
}

TEST_F(BadInputTest, TenMegabyteLines) {
  const QByteArray Huge(10 * 1024 * 1024, 'x');
  const QByteArray File =
      "[SMTP]\nRecipients=" + Huge + "\n" + Huge + "\n[Devices]\nD=" + Huge + "\nE=1\n";
  EXPECT_TRUE(Settings.LoadFromFile(Temp.write(QStringLiteral("huge.ini"), File)));
  EXPECT_EQ(Settings.SMTPRecipients().size(), 2047);
  EXPECT_EQ(DevicesOf(Settings), (TDevicePairs{{"D", QString(2047, u'x')}, {"E", "1"}}));
}

TEST_F(BadInputTest, InvalidUtf8) {
  const QByteArray File =
      "[Ping]\nTimes=\xFF\xFE\n[Devices]\nbad\xC3\x28name=10.0.0.\xE2\x82\n\xED\xA0\x80=x\nok=1\n";
  EXPECT_TRUE(Settings.LoadFromFile(Temp.write(QStringLiteral("utf8.ini"), File)));
  EXPECT_EQ(Settings.PingTimes(), 4);
  ASSERT_EQ(Settings.Devices().size(), 3u);
  EXPECT_TRUE(Settings.Devices()[0]->DeviceName().startsWith(QStringLiteral("bad")));
  EXPECT_EQ(Settings.Devices()[2]->DeviceName(), QStringLiteral("ok"));
}

TEST_F(BadInputTest, DirectoryAsSettingsFile) {
  EXPECT_TRUE(Settings.LoadFromFile(Temp.file(QString())));
  ExpectSettings(Settings, {});
}

// Root may read any file, so the load is tried by an unprivileged child.
TEST_F(BadInputTest, UnreadableFile) {
  const QString FileName = Temp.writeText(QStringLiteral("secret.ini"), ExampleFile);
  ASSERT_EQ(chmod(FileName.toLocal8Bit().constData(), 0), 0);
  ASSERT_EQ(chmod(Temp.file(QString()).toLocal8Bit().constData(), 0755), 0);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
        QFile Probe(FileName);
        if (Probe.open(QIODevice::ReadOnly))
          _exit(4);  // still readable: the test would prove nothing
        TSettings Child;
        const bool Loaded = Child.LoadFromFile(FileName);
        _exit(Loaded && Child.Devices().empty() && Child.PingTimes() == 4 ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
