// The [SMTP] keys of the connection (TLS, login, proxy): how each value is
// read, the port that follows Security, the rule that a password is not
// readable by others, and the dialogue lines with their secrets taken out.
#include "reports/mail/mail_hints.h"
#include "reports/mail/mail_settings.h"
#include "reports/mail/mail_trail.h"
#include "qt_printers.h"
#include "settings/settings.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <QFile>

#include <sys/stat.h>

#include <optional>
#include <vector>

namespace {

TEST(MailSettingsValues, EachKeyTakesItsWordsInAnyCaseAndNothingElse) {
  const struct {
    const char *Text;
    std::optional<TMailSecurity> Security;
    std::int32_t Port;
  } Securities[] = {
      {"", msAuto, 25},
      {"none", msNone, 25},
      {"NONE", msNone, 25},
      {"starttls", msStartTls, 587},
      {" StartTLS ", msStartTls, 587},
      {"tls", msTls, 465},
      {"ssl", std::nullopt, 25},
      {"start tls", std::nullopt, 25},
      {"tls1.3", std::nullopt, 25},
  };
  for (const auto &R : Securities) {
    SCOPED_TRACE(R.Text);
    EXPECT_EQ(ParseMailSecurity(QString::fromUtf8(R.Text)), R.Security);
    EXPECT_EQ(DefaultMailPort(QString::fromUtf8(R.Text)), R.Port);
  }
  const struct {
    const char *Text;
    std::optional<TpelsmtpAuthSchemes> Scheme;
  } Schemes[] = {
      {"", asAutomatic},         {"auto", asAutomatic},      {"plain", asPlain},
      {"LOGIN", asLogin},        {"cram-md5", asCramMD5},    {"ntlm", asNTLM},
      {"Kerberos", asKerberos},  {"cram_md5", std::nullopt}, {"md5", std::nullopt},
      {"xoauth2", std::nullopt},
  };
  for (const auto &R : Schemes) {
    SCOPED_TRACE(R.Text);
    EXPECT_EQ(ParseMailAuthScheme(QString::fromUtf8(R.Text)), R.Scheme);
  }
  const struct {
    const char *Text;
    std::optional<bool> Verify;
  } Verifies[] = {
      {"", true}, {"yes", true}, {"No", false}, {"0", std::nullopt}, {"false", std::nullopt}};
  for (const auto &R : Verifies) {
    SCOPED_TRACE(R.Text);
    EXPECT_EQ(ParseMailVerify(QString::fromUtf8(R.Text)), R.Verify);
  }
  const QString Hex =
      QStringLiteral("0123456789abcdef0123456789ABCDEF0123456789abcdef0123456789abcdef");
  QString Colons;
  for (qsizetype I = 0; I < Hex.size(); I += 2)
    Colons += (I == 0 ? QString() : QStringLiteral(":")) + Hex.mid(I, 2);
  const struct {
    QString Text;
    bool Valid;
  } Fingerprints[] = {
      {Hex, true},
      {Colons, true},
      {Hex.left(63), false},
      {Hex + u'0', false},
      {Hex.left(63) + u'g', false},
      {QString(), false},
      // What the component refuses must not pass: digits of other scripts,
      // colons that split a byte, lead, double or end the text.
      {Hex.left(63) + QChar(0x0663), false},
      {Hex.left(62) + QStringLiteral("\uff11\uff12"), false},
      {u':' + Hex, false},
      {Hex + u':', false},
      {Hex.left(1) + u':' + Hex.mid(1), false},
      {Hex.left(2) + QStringLiteral("::") + Hex.mid(2), false},
  };
  for (const auto &R : Fingerprints) {
    SCOPED_TRACE(R.Text.toStdString());
    EXPECT_EQ(IsSha256Fingerprint(R.Text), R.Valid);
  }
}

TEST(MailSettingsValues, ProxyUrlsParseIntoTypeHostPortAndLogin) {
  const struct {
    const char *Text;
    bool Parses;
    bool AutoDetect;
    TpelsmtpFirewallTypes Type;
    const char *Host;
    int Port;
    const char *User;
    const char *Password;
    const char *Problem;  // a part of the reason when it does not parse
  } Rows[] = {
      {"", true, false, fwNone, "", 0, "", "", ""},
      {"auto", true, true, fwNone, "", 0, "", "", ""},
      {"socks4://127.0.0.1:1080", true, false, fwSOCKS4, "127.0.0.1", 1080, "", "", ""},
      {"SOCKS5://proxy.test:1080/", true, false, fwSOCKS5, "proxy.test", 1080, "", "", ""},
      {"socks5://ann:s%40cret:x@[::1]:1081", true, false, fwSOCKS5, "::1", 1081, "ann", "s@cret:x",
       ""},
      {"http://ann@127.0.0.1:3128", true, false, fwTunnel, "127.0.0.1", 3128, "ann", "", ""},
      {"socks4://ann:pw@127.0.0.1:1080", false, false, fwNone, "", 0, "", "",
       "socks4 proxy takes no user"},
      {"ftp://127.0.0.1:21", false, false, fwNone, "", 0, "", "", "no known kind"},
      {"127.0.0.1:1080", false, false, fwNone, "", 0, "", "", "no known kind"},
      {"socks5://127.0.0.1", false, false, fwNone, "", 0, "", "", "no port"},
      {"socks5://127.0.0.1:0", false, false, fwNone, "", 0, "", "", "from 1 to 65535"},
      {"socks5://127.0.0.1:65536", false, false, fwNone, "", 0, "", "", "from 1 to 65535"},
      {"socks5://127.0.0.1:+80", false, false, fwNone, "", 0, "", "", "from 1 to 65535"},
      {"socks5://:1080", false, false, fwNone, "", 0, "", "", "no host"},
      {"socks5://[::1:1080", false, false, fwNone, "", 0, "", "", "not closed"},
      {"socks5://:pw@127.0.0.1:1080", false, false, fwNone, "", 0, "", "", "user before"},
      {"http://a b:80", false, false, fwNone, "", 0, "", "", "host holds"},
  };
  for (const auto &R : Rows) {
    SCOPED_TRACE(R.Text);
    const TMailProxyParse P = ParseMailProxy(QString::fromUtf8(R.Text));
    ASSERT_EQ(P.Proxy.has_value(), R.Parses) << P.Problem.toStdString();
    if (!R.Parses) {
      EXPECT_TRUE(P.Problem.contains(QString::fromUtf8(R.Problem))) << P.Problem.toStdString();
      continue;
    }
    EXPECT_EQ(P.Proxy->AutoDetect, R.AutoDetect);
    EXPECT_EQ(P.Proxy->Type, R.Type);
    EXPECT_EQ(P.Proxy->Host, QString::fromUtf8(R.Host));
    EXPECT_EQ(P.Proxy->Port, R.Port);
    EXPECT_EQ(P.Proxy->User, QString::fromUtf8(R.User));
    EXPECT_EQ(P.Proxy->Password, QString::fromUtf8(R.Password));
  }
}

// Whatever the user wrote, even a URL that does not parse, shows no password.
TEST(MailSettingsValues, AProxyTextNeverShowsItsPassword) {
  const struct {
    const char *Text;
    const char *Shown;
  } Rows[] = {
      {"socks5://ann:secret@h:1", "socks5://ann:****@h:1"},
      {"socks5://ann@h:1", "socks5://ann@h:1"},
      {"socks5:/ann:secret@h:1", "socks5:/ann:****@h:1"},
      {"socks5:ann:secret@h:1", "socks5:ann:****@h:1"},
      {"ann:secret@h:1", "ann:****@h:1"},
      {"http://ann:se:cr@et@h:1", "http://ann:****@h:1"},
      {"socks5://h:1", "socks5://h:1"},
      {"", ""},
  };
  for (const auto &R : Rows) {
    SCOPED_TRACE(R.Text);
    EXPECT_EQ(MaskedProxyText(QString::fromUtf8(R.Text)), QString::fromUtf8(R.Shown));
  }
}

TEST(MailSettingsValues, ServerNamesWithControlCharactersAreRefused) {
  EXPECT_TRUE(IsAcceptableServerName(QStringLiteral("mail.example.test")));
  EXPECT_TRUE(IsAcceptableServerName(QString()));
  EXPECT_TRUE(IsAcceptableServerName(QStringLiteral("m\u00e4il.test")));
  for (const char16_t C : {u'\0', u'\t', u'\n', u'\r', char16_t(0x1b), char16_t(0x7f)})
    EXPECT_FALSE(
        IsAcceptableServerName(QStringLiteral("mail") + QChar(C) + QStringLiteral(".test")))
        << int(C);
}

class MailConnectionFiles : public testing::Test {
 protected:
  // The settings file with mode Mode, loaded.
  void Load(const QString &Text, mode_t Mode = 0600) {
    const QString File = Files.writeText(QStringLiteral("dervik.ini"), Text);
    ASSERT_EQ(::chmod(QFile::encodeName(File).constData(), Mode), 0);
    Settings.LoadFromFile(File);
  }
  QString Secret(const QString &Name, const QByteArray &Bytes, mode_t Mode) {
    const QString File = Files.write(Name, Bytes);
    EXPECT_EQ(::chmod(QFile::encodeName(File).constData(), Mode), 0);
    return File;
  }
  testsupport::TempFolder Files;
  TSettings Settings;
};

TEST_F(MailConnectionFiles, PortFollowsSecurityOnlyWhenTheFileGivesNone) {
  const struct {
    const char *Lines;
    std::int32_t Port;
    bool Given;
  } Rows[] = {
      {"", 25, false},
      {"Security=starttls\n", 587, false},
      {"Security=tls\n", 465, false},
      {"Security=tls\nPort=2465\n", 2465, true},
      {"Security=starttls\nPort=25\n", 25, true},
      {"Security=tls\nPort=x\n", 465, false},
  };
  for (const auto &R : Rows) {
    SCOPED_TRACE(R.Lines);
    Load(QStringLiteral("[SMTP]\nHostAddress=127.0.0.1\n") + QString::fromUtf8(R.Lines));
    EXPECT_EQ(Settings.SMTPPort(), R.Port);
    EXPECT_EQ(Settings.SMTPPortGiven(), R.Given);
    EXPECT_TRUE(Settings.UnknownNameWarnings().isEmpty())
        << Settings.UnknownNameWarnings().join(u'\n').toStdString();
  }
  Load(QStringLiteral("[SMTP]\nPort=x\n"));
  EXPECT_EQ(Settings.NotIntegerKeys(), QStringList{QStringLiteral("Port in [SMTP]")});
}

// Left empty, Security never lets a login go out in clear; only a written
// Security=none does. Port and Security that cannot fit stop the report
// before any connection.
TEST_F(MailConnectionFiles, AnEmptySecurityKeepsTheLoginEncrypted) {
  const struct {
    const char *Lines;
    TMailSecurity Security;
    bool Unset;
    const char *Problem;  // a part of the only problem, or none
  } Rows[] = {
      {"", msNone, true, nullptr},
      {"Port=465\n", msTls, true, nullptr},
      {"User=ann\nPassword=pw\n", msStartTls, true, nullptr},
      {"Port=465\nUser=ann\nPassword=pw\n", msTls, true, nullptr},
      {"Port=587\nUser=ann\nPassword=pw\n", msStartTls, true, nullptr},
      {"Security=none\nUser=ann\nPassword=pw\n", msNone, false, nullptr},
      {"Security=starttls\n", msStartTls, false, nullptr},
      {"Security=starttls\nPort=465\n", msStartTls, false,
       "Security=starttls does not fit Port=465"},
      {"Security=tls\nPort=587\n", msTls, false, "Security=tls does not fit Port=587"},
  };
  for (const auto &R : Rows) {
    SCOPED_TRACE(R.Lines);
    Load(QStringLiteral("[SMTP]\nHostAddress=127.0.0.1\n") + QString::fromUtf8(R.Lines));
    const TMailConnectionSetup Setup = ReadMailConnection(Settings);
    EXPECT_EQ(Setup.Connection.Security, R.Security);
    EXPECT_EQ(Setup.Connection.SecurityUnset, R.Unset);
    if (R.Problem == nullptr) {
      EXPECT_TRUE(Setup.Problems.isEmpty()) << Setup.Problems.join(u'\n').toStdString();
    } else {
      ASSERT_EQ(Setup.Problems.size(), 1);
      EXPECT_TRUE(Setup.Problems[0].contains(QLatin1String(R.Problem)))
          << Setup.Problems[0].toStdString();
    }
  }
}

// A file the settings name is read without blocking and within a bound: a
// FIFO nobody writes to or a device that never ends is named, not read.
TEST_F(MailConnectionFiles, NamedFilesThatAreNoFilesAreRefusedAtOnce) {
  const QString Fifo = Files.file(QStringLiteral("pw.fifo"));
  ASSERT_EQ(::mkfifo(QFile::encodeName(Fifo).constData(), 0600), 0);
  const QString Large = Secret(QStringLiteral("large.pem"), QByteArray(9 << 20, 'A'), 0600);
  const struct {
    const char *Name;
    QString Lines;
    const char *Problem;
  } Rows[] = {
      {"password file a FIFO", QStringLiteral("User=ann\nPasswordFile=%1\n").arg(Fifo),
       "cannot be read: it is a FIFO, not a file"},
      {"password file a device", QStringLiteral("User=ann\nPasswordFile=/dev/zero\n"),
       "cannot be read: it is a device, not a file"},
      {"password file a folder",
       QStringLiteral("User=ann\nPasswordFile=%1\n").arg(Files.file(QString())),
       "cannot be read: it is a directory"},
      {"CA file a FIFO", QStringLiteral("CAFile=%1\n").arg(Fifo),
       "CAFile %1 in [SMTP] cannot be read: it is a FIFO"},
      {"CA file a device", QStringLiteral("CAFile=/dev/zero\n"), "it is a device, not a file"},
      {"CA file too large", QStringLiteral("CAFile=%1\n").arg(Large), "it is larger than 8 MiB"},
      {"CA file missing", QStringLiteral("CAFile=none.pem\n"), "there is no such file"},
      {"server name with a line break", QStringLiteral("ServerName=mail\x01test\n"),
       "ServerName in [SMTP] holds a control"},
  };
  for (const auto &R : Rows) {
    SCOPED_TRACE(R.Name);
    Load(QStringLiteral("[SMTP]\nHostAddress=127.0.0.1\n") + R.Lines);
    const TMailConnectionSetup Setup = ReadMailConnection(Settings);
    ASSERT_EQ(Setup.Problems.size(), 1) << Setup.Problems.join(u'\n').toStdString();
    QString Expected = QString::fromUtf8(R.Problem);
    if (Expected.contains(QLatin1String("%1"))) Expected = Expected.arg(Fifo);
    EXPECT_TRUE(Setup.Problems[0].contains(Expected)) << Setup.Problems[0].toStdString();
  }
}

TEST_F(MailConnectionFiles, APasswordReadableByOthersStopsTheReport) {
  const QString Private = Secret(QStringLiteral("private.pw"), "from-file\r\nsecond line\n", 0600);
  const QString Shared = Secret(QStringLiteral("shared.pw"), "from-file\n", 0640);
  const QString Empty = Secret(QStringLiteral("empty.pw"), "\n", 0600);
  const QString Missing = Files.file(QStringLiteral("missing.pw"));
  const struct {
    const char *Name;
    QString Lines;
    mode_t SettingsMode;
    QString Password;      // what the component gets
    QStringList Problems;  // parts of the problems, in order; none: the report may go
  } Rows[] = {
      {"no login", QString(), 0644, QString(), {}},
      {"password in a private file",
       QStringLiteral("User=ann\nPassword=pw1\n"),
       0600,
       QStringLiteral("pw1"),
       {}},
      {"password in a file others read",
       QStringLiteral("User=ann\nPassword=pw1\n"),
       0644,
       QStringLiteral("pw1"),
       {QStringLiteral("can be read by others: run chmod 600 %1")
            .arg(Files.file(QStringLiteral("dervik.ini")))}},
      {"password in a file the group reads",
       QStringLiteral("User=ann\nPassword=pw1\n"),
       0640,
       QStringLiteral("pw1"),
       {QStringLiteral("chmod 600")}},
      {"password file beside a readable settings file",
       QStringLiteral("User=ann\nPasswordFile=private.pw\n"),
       0644,
       QStringLiteral("from-file"),
       {}},
      {"password file others read",
       QStringLiteral("User=ann\nPasswordFile=%1\n").arg(Shared),
       0600,
       QStringLiteral("from-file"),
       {QStringLiteral(
            "PasswordFile %1 holds a password and can be read by others: run chmod 600 %1")
            .arg(Shared)}},
      {"password file missing",
       QStringLiteral("User=ann\nPasswordFile=%1\n").arg(Missing),
       0600,
       QString(),
       {QStringLiteral("PasswordFile %1 in [SMTP] cannot be read").arg(Missing)}},
      {"password file empty",
       QStringLiteral("User=ann\nPasswordFile=%1\n").arg(Empty),
       0600,
       QString(),
       {QStringLiteral("holds no password")}},
      {"proxy password in a readable file",
       QStringLiteral("Proxy=socks5://p:pp@127.0.0.1:1080\n"),
       0644,
       QString(),
       {QStringLiteral("chmod 600")}},
      {"proxy without password in a readable file",
       QStringLiteral("Proxy=socks5://p@127.0.0.1:1080\n"),
       0644,
       QString(),
       {}},
      {"both kinds of password",
       QStringLiteral("User=ann\nPassword=a\nPasswordFile=private.pw\n"),
       0600,
       QStringLiteral("a"),
       {QStringLiteral("both set")}},
      {"user without password",
       QStringLiteral("User=ann\n"),
       0600,
       QString(),
       {QStringLiteral("neither Password")}},
      {"kerberos without password",
       QStringLiteral("User=ann\nAuthScheme=kerberos\n"),
       0600,
       QString(),
       {}},
      {"password without user",
       QStringLiteral("Password=a\n"),
       0600,
       QStringLiteral("a"),
       {QStringLiteral("no User")}},
      {"words out of their lists",
       QStringLiteral(
           "Security=ssl\nUser=ann\nPassword=a\nAuthScheme=md5\nVerify=off\nFingerprint=12:34\n"
           "Proxy=socks5://u:topsecret@h\n"),
       0600,
       QStringLiteral("a"),
       {QStringLiteral("Security=ssl"), QStringLiteral("AuthScheme=md5"),
        QStringLiteral("Proxy=socks5://u:****@h in [SMTP] does not parse: it has no port"),
        QStringLiteral("Fingerprint in [SMTP] is no SHA-256"), QStringLiteral("Verify=off")}},
  };
  for (const auto &R : Rows) {
    SCOPED_TRACE(R.Name);
    Load(QStringLiteral("[SMTP]\nHostAddress=127.0.0.1\n") + R.Lines, R.SettingsMode);
    const TMailConnectionSetup Setup = ReadMailConnection(Settings);
    ASSERT_EQ(Setup.Problems.size(), R.Problems.size()) << Setup.Problems.join(u'\n').toStdString();
    for (qsizetype I = 0; I < R.Problems.size(); ++I)
      EXPECT_TRUE(Setup.Problems[I].contains(R.Problems[I])) << Setup.Problems[I].toStdString();
    EXPECT_EQ(Setup.Connection.Password, R.Password);
    EXPECT_FALSE(Setup.Problems.join(u'\n').contains(QLatin1String("topsecret")));
  }
}

TEST_F(MailConnectionFiles, TheConnectionCarriesEveryKey) {
  Files.write(QStringLiteral("ca.pem"), "-----BEGIN CERTIFICATE-----\n");
  Load(QStringLiteral(
           "[SMTP]\nSecurity=tls\nUser=ann\nPassword=pw\nAuthScheme=plain\nCAFile=ca.pem\n"
           "ServerName=mail.test\nFingerprint=%1\nVerify=no\nProxy=http://127.0.0.1:3128\n")
           .arg(QString(64, u'a')));
  const TMailConnectionSetup Setup = ReadMailConnection(Settings);
  ASSERT_TRUE(Setup.Problems.isEmpty()) << Setup.Problems.join(u'\n').toStdString();
  const TMailConnection &C = Setup.Connection;
  EXPECT_EQ(C.Security, msTls);
  EXPECT_EQ(C.User, QStringLiteral("ann"));
  EXPECT_EQ(C.AuthScheme, asPlain);
  EXPECT_EQ(C.CAFile, Files.file(QStringLiteral("ca.pem")));
  EXPECT_EQ(C.ServerName, QStringLiteral("mail.test"));
  EXPECT_EQ(C.Fingerprint, QString(64, u'a'));
  EXPECT_FALSE(C.Verify);
  EXPECT_EQ(C.Proxy.Type, fwTunnel);
  EXPECT_EQ(C.Proxy.Port, 3128);
  // Without a user nothing changes the component's default login.
  Load(QStringLiteral("[SMTP]\nAuthScheme=plain\n"));
  EXPECT_EQ(ReadMailConnection(Settings).Connection.AuthScheme, asLogin);
}

// Each failure a user meets gets a line that names what to change.
TEST(MailHints, EachFailureNamesTheKeyToCheck) {
  const struct {
    const char *Name;
    int Code;
    int ReplyCode;  // of the reply that refused; 0: none
    const char *User;
    bool SecurityUnset;
    const char *Hint;  // a part of it; "" when none is given
  } Rows[] = {
      {"refused login", 161, 535, "robot", false,
       "the server refused the login for robot: check User and Password (or PasswordFile)"},
      {"login wanted", 161, 530, "", false, "set User and Password"},
      {"sender refused", 161, 550, "", false, "check Sender and Recipients"},
      {"other protocol error", 161, 500, "", false, ""},
      {"proxy login refused", 118, 0, "", false,
       "check the host, the port and the user and password in Proxy"},
      {"nothing listens", 10061, 0, "", false,
       "nothing listens on 127.0.0.1:587: is the server running"},
      {"name unknown", 11001, 0, "", false,
       "the name 127.0.0.1 cannot be looked up: check HostAddress"},
      {"silent server", 301, 0, "", false, "no answer from 127.0.0.1:587 within 10 s"},
      {"no STARTTLS for a login", 170, 0, "robot", true,
       "a login is only sent encrypted: set Security=tls"},
      {"no STARTTLS asked for", 170, 0, "", false, "Security=none for a plaintext relay"},
      {"unknown issuer", 173, 0, "", false, "set CAFile"},
      {"no sender", 164, 0, "", false, "set Sender in [SMTP]"},
      {"a success code", 0, 0, "", false, ""},
  };
  for (const auto &R : Rows) {
    SCOPED_TRACE(R.Name);
    TMailHintContext Context;
    Context.Host = QStringLiteral("127.0.0.1");
    Context.Port = 587;
    Context.TimeoutSeconds = 10;
    Context.Connection.User = QString::fromUtf8(R.User);
    Context.Connection.SecurityUnset = R.SecurityUnset;
    Context.Connection.AuthScheme = asLogin;
    const QString Hint = MailFailureHint(R.Code, R.ReplyCode, Context);
    if (*R.Hint == '\0')
      EXPECT_TRUE(Hint.isEmpty()) << Hint.toStdString();
    else
      EXPECT_TRUE(Hint.contains(QString::fromUtf8(R.Hint))) << Hint.toStdString();
  }
  // With AuthScheme=auto a refused login names what else the server offers.
  TMailHintContext Auto;
  Auto.Connection.User = QStringLiteral("robot");
  Auto.Connection.AuthScheme = asAutomatic;
  Auto.OfferedMechanisms =
      OfferedAuthMechanisms(1, QStringLiteral("250-AUTH CRAM-MD5 PLAIN LOGIN"));
  EXPECT_EQ(Auto.OfferedMechanisms, QStringLiteral("CRAM-MD5 PLAIN LOGIN"));
  EXPECT_TRUE(MailFailureHint(161, 535, Auto)
                  .endsWith(QLatin1String(
                      "; the server offers CRAM-MD5 PLAIN LOGIN, and AuthScheme=auto tried "
                      "one of them: set AuthScheme to try another")));
  EXPECT_EQ(OfferedAuthMechanisms(1, QStringLiteral("250-AUTHENTICATE X")), QString());
  EXPECT_EQ(OfferedAuthMechanisms(0, QStringLiteral("250 AUTH PLAIN")), QString());
}

TEST(MailTrail, SecretsNeverShowInTheDialogue) {
  TMailConnection C;
  C.User = QStringLiteral("ann");
  C.Password = QStringLiteral("Pa55word");
  C.Proxy.Password = QStringLiteral("proxypw");
  const QString Plain = QString::fromLatin1(QByteArray("\0ann\0Pa55word", 13).toBase64());
  const QString User64 = QString::fromLatin1(QByteArray("ann").toBase64());
  const QString Pass64 = QString::fromLatin1(QByteArray("Pa55word").toBase64());
  const struct {
    const char *Name;
    std::vector<std::pair<int, QString>> Trail;
    QStringList Shown;
  } Rows[] = {
      {"plain with its answer on the line",
       {{0, QStringLiteral("AUTH PLAIN ") + Plain},
        {1, QStringLiteral("235 2.7.0 Authentication successful")},
        {0, QStringLiteral("MAIL FROM:<a@b>")}},
       {QStringLiteral("AUTH PLAIN ****"), QStringLiteral("235 2.7.0 Authentication successful"),
        QStringLiteral("MAIL FROM:<a@b>")}},
      {"login step by step",
       {{0, QStringLiteral("AUTH LOGIN")},
        {1, QStringLiteral("334 VXNlcm5hbWU6")},
        {0, User64},
        {1, QStringLiteral("334 UGFzc3dvcmQ6")},
        {0, Pass64},
        {1, QStringLiteral("535 5.7.8 bad credentials")},
        {0, QStringLiteral("QUIT")}},
       {QStringLiteral("AUTH LOGIN"), QStringLiteral("334 VXNlcm5hbWU6"), QStringLiteral("****"),
        QStringLiteral("334 UGFzc3dvcmQ6"), QStringLiteral("****"),
        QStringLiteral("535 5.7.8 bad credentials"), QStringLiteral("QUIT")}},
      {"a password anywhere else",
       {{2, QStringLiteral("proxy login proxypw refused")},
        {1, QStringLiteral("500 what is Pa55word")},
        {1, QStringLiteral("500 ") + Pass64}},
       {QStringLiteral("proxy login **** refused"), QStringLiteral("500 what is ****"),
        QStringLiteral("500 ****")}},
  };
  for (const auto &R : Rows) {
    SCOPED_TRACE(R.Name);
    TMailTrailMasker Masker(MailSecrets(C));
    QStringList Shown;
    for (const auto &[Direction, Message] : R.Trail) Shown.append(Masker.Line(Direction, Message));
    EXPECT_EQ(Shown, R.Shown);
  }
  // A refusal that repeats the client's AUTH line, as a failure text.
  const TMailTrailMasker Masker(MailSecrets(C));
  EXPECT_EQ(Masker.Masked(QStringLiteral("161: SMTP protocol error. 535 5.7.8 no: AUTH PLAIN ") +
                          Plain + u'.'),
            QStringLiteral("161: SMTP protocol error. 535 5.7.8 no: AUTH PLAIN ****."));
  // The component's notes name the settings keys the user wrote.
  EXPECT_EQ(
      TMailTrailMasker({}).Line(
          2, QStringLiteral("The server's certificate was not checked (TlsVerify is False).")),
      QStringLiteral("The server's certificate was not checked (Verify=no in [SMTP])."));
  EXPECT_EQ(MailTrailPrefix(0), QStringLiteral("C: "));
  EXPECT_EQ(MailTrailPrefix(1), QStringLiteral("S: "));
  EXPECT_EQ(MailTrailPrefix(2), QStringLiteral("* "));
}

}  // namespace
