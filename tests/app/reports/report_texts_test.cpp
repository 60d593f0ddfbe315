// The report texts with hostile device names: control characters made
// visible, and every line within what the wire takes, cut without splitting
// a character.
#include "reports/report_texts.h"
#include "settings/settings.h"

#include <gtest/gtest.h>

#include <QDateTime>

#include <memory>

namespace {

using namespace Qt::StringLiterals;

qsizetype Octets(const QString &Text) { return Text.toUtf8().size(); }

TEST(ReportSafeText, ControlCharactersAndLoneSurrogatesBecomeReplacements) {
  const struct {
    const char *Name;
    QString In, Out;
  } Rows[] = {
      {"plain", u"Drucker Büro 日本"_s, u"Drucker Büro 日本"_s},
      {"NUL", QString::fromUtf16(u"a\0b", 3), u"a\uFFFDb"_s},
      {"CR LF tab", u"a\r\nb\tc"_s, u"a\uFFFD\uFFFDb\uFFFDc"_s},
      {"DEL and C1", u"a\u007F\u0085b"_s, u"a\uFFFD\uFFFDb"_s},
      {"pair kept", u"\U0001D11E"_s, u"\U0001D11E"_s},
      {"lone high", QString(QChar(0xD834)) + u"x"_s, u"\uFFFDx"_s},
      {"lone low", u"x"_s + QChar(0xDD1E), u"x\uFFFD"_s},
  };
  for (const auto &R : Rows) {
    SCOPED_TRACE(R.Name);
    EXPECT_EQ(ReportSafeText(R.In), R.Out);
  }
}

TEST(FitToOctets, CutsWholeCharactersAndMarksTheCut) {
  const struct {
    const char *Name;
    QString In;
    qsizetype Max;
    QString Out;
  } Rows[] = {
      {"fits", u"abc"_s, 3, u"abc"_s},
      {"ASCII cut", u"abcdef"_s, 5, u"ab…"_s},
      {"two-octet characters", u"ééé"_s, 5, u"é…"_s},
      {"three-octet characters", u"日本語"_s, 8, u"日…"_s},
      {"pair not split", u"a\U0001D11E\U0001D11E"_s, 7, u"a…"_s},
      {"pair kept whole", u"a\U0001D11E\U0001D11E"_s, 8, u"a\U0001D11E…"_s},
      {"no room for the mark", u"abcdef"_s, 2, QString()},
      {"only the mark", u"abcdef"_s, 3, u"…"_s},
  };
  for (const auto &R : Rows) {
    SCOPED_TRACE(R.Name);
    const QString Out = FitToOctets(R.In, R.Max);
    EXPECT_EQ(Out, R.Out);
    EXPECT_LE(Octets(Out), R.Max);
  }
}

TEST(DeviceReportLine, LongNamesAndAddressesFitTheLine) {
  const QString Status = u"No connection at all"_s;
  const struct {
    const char *Name;
    QString Device, Address;
    bool Cut;
    bool AddressWhole;
  } Rows[] = {
      {"short", u"Printer"_s, u"10.0.0.3"_s, false, true},
      {"name of 980 octets", QString(980, u'n'), u"10.0.0.3"_s, true, true},
      {"name of 5000 multi-octet characters", QString(5000, u'ü'), u"fe80::1%eth0"_s, true, true},
      {"both long", QString(3000, u'n'), QString(3000, u'a'), true, false},
      {"long address", u"Printer"_s, QString(3000, u'a'), true, false},
  };
  for (const auto &R : Rows) {
    SCOPED_TRACE(R.Name);
    const QString Line = DeviceReportLine(R.Device, R.Address, Status, MailLineOctets);
    EXPECT_LE(Octets(Line), MailLineOctets);
    EXPECT_TRUE(Line.startsWith(u"- "_s + R.Device.left(3))) << Line.left(40).toStdString();
    EXPECT_TRUE(Line.endsWith(u"): "_s + Status)) << "the status is kept whole";
    EXPECT_EQ(Line.contains(u'…'), R.Cut);
    EXPECT_EQ(Line.contains(u"("_s + R.Address + u")"_s), R.AddressWhole);
    if (R.Cut) {
      EXPECT_GT(Octets(Line), MailLineOctets - 8) << "the room is used";
    }
  }
  EXPECT_EQ(DeviceReportLine(u"A"_s, u"10.0.0.1"_s, u"OK"_s, MailLineOctets),
            u"- A (10.0.0.1): OK"_s);
}

// A run's reports over devices whose names would break them: every device
// is reported, in order, and every line fits.
class ReportTexts : public testing::Test {
 protected:
  void SetUp() override {
    Settings.Clear();
    Add(u"Before"_s, u"10.0.0.1"_s, dsNoConnection);
    Add(QString::fromUtf16(u"Drucker\0Büro", 12), u"10.0.0.2"_s, dsNoConnection);
    Add(QString(2000, u'L'), u"10.0.0.3"_s, dsNoConnection);
    Add(u"After"_s, u"10.0.0.4"_s, dsOK);
    Settings.SetLastCheckDT(QDateTime(QDate(2026, 12, 9), QTime(14, 5, 31)));
    Settings.SetLastCheckResult(u"Some connections were OK (3 failed - 1 OK)"_s);
  }
  void Add(const QString &Name, const QString &Address, TDeviceStatus Status) {
    auto Device = std::make_unique<TDevice>(Name, Address);
    Device->SetPinged(4);
    Device->SetPingedOK(Status == dsOK ? 4 : 0);
    Device->SetDeviceStatus(Status);
    Device->SetDeviceStatusCategory(DeviceStatusCategoryOf(Status));
    Settings.Devices().push_back(std::move(Device));
  }
  TSettings Settings;
};

TEST_F(ReportTexts, MailBodyKeepsEveryDeviceWithinTheLineLimit) {
  const QString Body = MailReportBody(Settings);
  EXPECT_FALSE(Body.contains(QChar(0)));
  const QStringList Lines = Body.split(u"\r\n"_s);
  for (const QString &Line : Lines) EXPECT_LE(Octets(Line), MailLineOctets);
  ASSERT_EQ(Lines.size(), 11) << Body.toStdString();
  EXPECT_EQ(Lines[3], u"- Before (10.0.0.1): No connection at all"_s);
  EXPECT_EQ(Lines[4], u"- Drucker\uFFFDBüro (10.0.0.2): No connection at all"_s);
  EXPECT_TRUE(Lines[5].startsWith(u"- LLLL"_s));
  EXPECT_TRUE(Lines[5].endsWith(u"… (10.0.0.3): No connection at all"_s));
  EXPECT_EQ(Lines[8], u"- After (10.0.0.4): OK"_s);
  EXPECT_EQ(MailReportSubject(Settings), u"Dervik: Some connections were OK (3 failed - 1 OK)"_s);
}

TEST_F(ReportTexts, SysLogPacketsKeepEveryDeviceWithinThePacketLimit) {
  const std::vector<TSysLogReportLine> Lines = SysLogReportLines(Settings);
  ASSERT_EQ(Lines.size(), 5u);
  const int Severities[] = {6, 3, 3, 3, 3};
  for (size_t I = 0; I < Lines.size(); ++I) {
    EXPECT_EQ(Lines[I].Severity, Severities[I]);
    EXPECT_LE(Octets(Lines[I].Text), SysLogTextOctets);
    EXPECT_FALSE(Lines[I].Text.contains(QChar(0)));
  }
  EXPECT_EQ(Lines[2].Text, u"- Before (10.0.0.1): No connection at all"_s);
  EXPECT_EQ(Lines[3].Text, u"- Drucker\uFFFDBüro (10.0.0.2): No connection at all"_s);
  EXPECT_TRUE(Lines[4].Text.endsWith(u"… (10.0.0.3): No connection at all"_s));
}

}  // namespace
