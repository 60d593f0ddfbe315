#include "settings/ini_file.h"
#include "qt_printers.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cctype>

namespace {

struct TReadCase {
  const char *Name;
  const char *Text;
  const char *Section;
  const char *Key;
  const char *Expected;  // nullptr: the default comes back
};

const TReadCase ReadCases[] = {
    {"plain", "[A]\nk=v\n", "A", "k", "v"},
    {"section name in other case", "[ping]\ntimeout=9\n", "PING", "Timeout", "9"},
    {"blanks around names and value", "  [ A ]  \n  k  =  v w  \n", "A", "k", "v w"},
    {"tabs and CR of CRLF trimmed", "[A]\r\n\tk\t=\tv\t\r\n", "A", "k", "v"},
    {"first occurrence of a key wins", "[A]\nk=1\nK=2\n", "A", "k", "1"},
    {"repeated section keeps the first value", "[A]\nk=1\n[B]\n[a]\nk=2\n", "A", "k", "1"},
    {"repeated section adds new keys", "[A]\nk=1\n[a]\nj=2\n", "A", "j", "2"},
    {"value may contain =", "[A]\nk=a=b\n", "A", "k", "a=b"},
    {"empty value is a value", "[A]\nk=\n", "A", "k", ""},
    {"key in another section", "[A]\nk=1\n[B]\n", "B", "k", nullptr},
    {"key before any section", "k=1\n[A]\n", "A", "k", nullptr},
    {"missing section", "[A]\nk=1\n", "B", "k", nullptr},
    {"comment with semicolon", "[A]\n;k=1\n", "A", "k", nullptr},
    {"comment with hash", "[A]\n#k=1\n", "A", "k", nullptr},
    {"header without closing bracket opens no section", "[A]\n[B\nk=1\n", "A", "k", nullptr},
    {"text after the closing bracket ignored", "[A] ; note\nk=1\n", "A", "k", "1"},
    {"no line end at the end", "[A]\nk=1", "A", "k", "1"},
    {"lone CR ends a line", "[A]\rk=1\r", "A", "k", "1"},
    {"empty key ignored", "[A]\n=1\n", "A", "", nullptr},
};

void PrintTo(const TReadCase &Case, std::ostream *Out) { *Out << Case.Name; }

class IniReadTest : public testing::TestWithParam<TReadCase> {};

TEST_P(IniReadTest, ReadsValueOrDefault) {
  const TReadCase &Case = GetParam();
  const TIniFile Ini = TIniFile::FromUtf8(QByteArray(Case.Text));
  const QString Default = QStringLiteral("<default>");
  const QString Expected = Case.Expected ? QString::fromUtf8(Case.Expected) : Default;
  EXPECT_EQ(Ini.ReadString(QString::fromUtf8(Case.Section), QString::fromUtf8(Case.Key), Default),
            Expected);
}

INSTANTIATE_TEST_SUITE_P(Ini, IniReadTest, testing::ValuesIn(ReadCases),
                         [](const testing::TestParamInfo<TReadCase> &Info) {
                           std::string Name = Info.param.Name;
                           for (char &C : Name)
                             if (!std::isalnum(static_cast<unsigned char>(C))) C = '_';
                           return Name;
                         });

TEST(IniFile, SectionKeysInFileOrderEachOnce) {
  const TIniFile Ini =
      TIniFile::FromUtf8("[D]\nz=1\na=2\nNoEquals\nm=3\nA=4\n[E]\nx=5\n[d]\nb=6\n");
  EXPECT_EQ(Ini.ReadSectionKeys(u"D"), (QStringList{"z", "a", "m", "b"}));
  EXPECT_EQ(Ini.ReadSectionKeys(u"missing"), QStringList());
  EXPECT_TRUE(Ini.SectionExists(u"e"));
  EXPECT_FALSE(Ini.SectionExists(u"F"));
}

TEST(IniFile, ValuesAreCutTo2047Characters) {
  const QString Long(5000, u'x');
  const TIniFile Ini =
      TIniFile::FromText(QStringLiteral("[A]\nk=") + Long + QStringLiteral("\nshort=abc\n"));
  EXPECT_EQ(Ini.ReadString(u"A", u"k", QString()), Long.left(2047));
  EXPECT_EQ(Ini.ReadString(u"A", u"short", QString()), QStringLiteral("abc"));
}

TEST(IniFile, CutNeverSplitsASurrogatePair) {
  // 2046 ASCII characters, then a character outside the BMP across the limit.
  const QString Value =
      QString(2046, u'a') + QString::fromUtf8("\xF0\x9F\x98\x80") + QStringLiteral("tail");
  const TIniFile Ini = TIniFile::FromText(QStringLiteral("[A]\nk=") + Value);
  const QString Read = Ini.ReadString(u"A", u"k", QString());
  EXPECT_EQ(Read, QString(2046, u'a'));
  EXPECT_FALSE(Read.back().isHighSurrogate());
}

TEST(IniFile, ByteOrderMarkAndUtf8) {
  const TIniFile Ini = TIniFile::FromUtf8(
      "\xEF\xBB\xBF[Devices]\nK\xC3\xBC"
      "che=10.0.0.1\n");
  EXPECT_EQ(Ini.ReadSectionKeys(u"Devices"), QStringList{QString::fromUtf8("K\xC3\xBC"
                                                                           "che")});
}

TEST(IniFile, InvalidUtf8BecomesReplacementCharacters) {
  const TIniFile Ini = TIniFile::FromUtf8("[A]\nbad\xFF\xFE=\xC3(\nok=1\n");
  const QStringList Keys = Ini.ReadSectionKeys(u"A");
  ASSERT_EQ(Keys.size(), 2);
  EXPECT_TRUE(Keys[0].startsWith(QStringLiteral("bad")));
  EXPECT_EQ(Ini.ReadString(u"A", u"ok", QString()), QStringLiteral("1"));
}

TEST(IniFile, FilesThatCannotBeReadAreEmpty) {
  const testsupport::TempFolder Temp;
  const QString Fifo = Temp.file(QStringLiteral("fifo"));
  ASSERT_EQ(mkfifo(Fifo.toLocal8Bit().constData(), 0600), 0);
  // Nobody writes to the FIFO: reading it would block for ever.
  for (const QString &Name :
       {Temp.file(QStringLiteral("missing.ini")), Temp.file(QString()), Fifo, QString()}) {
    const TIniFile Ini(Name);
    EXPECT_FALSE(Ini.SectionExists(u"")) << Name.toStdString();
    EXPECT_EQ(Ini.ReadString(u"A", u"k", QStringLiteral("d")), QStringLiteral("d"))
        << Name.toStdString();
  }
}

}  // namespace
