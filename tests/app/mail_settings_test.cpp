// The [SMTP] keys of the connection (TLS, login, proxy): how each value is
// read, the port that follows Security, the rule that a password is not
// readable by others, and the dialogue lines with their secrets taken out.
#include "mail_settings.h"
#include "mail_trail.h"
#include "qt_printers.h"
#include "settings.h"
#include "temp_files.h"

#include <gtest/gtest.h>

#include <QFile>

#include <sys/stat.h>

#include <optional>
#include <vector>

namespace {

TEST(MailSettingsValues, EachKeyTakesItsWordsInAnyCaseAndNothingElse) {
  const struct {
    const char* Text;
    std::optional<TMailSecurity> Security;
    std::int32_t Port;
  } Securities[] = {
      {"", msNone, 25},           {"none", msNone, 25},     {"NONE", msNone, 25},
      {"starttls", msStartTls, 587}, {" StartTLS ", msStartTls, 587}, {"tls", msTls, 465},
      {"ssl", std::nullopt, 25},  {"start tls", std::nullopt, 25}, {"tls1.3", std::nullopt, 25},
  };
  for (const auto& R : Securities) {
    SCOPED_TRACE(R.Text);
    EXPECT_EQ(ParseMailSecurity(QString::fromUtf8(R.Text)), R.Security);
    EXPECT_EQ(DefaultMailPort(QString::fromUtf8(R.Text)), R.Port);
  }
  const struct {
    const char* Text;
    std::optional<TpelsmtpAuthSchemes> Scheme;
  } Schemes[] = {
      {"", asAutomatic},      {"auto", asAutomatic},     {"plain", asPlain},   {"LOGIN", asLogin},
      {"cram-md5", asCramMD5}, {"ntlm", asNTLM},          {"Kerberos", asKerberos},
      {"cram_md5", std::nullopt}, {"md5", std::nullopt}, {"xoauth2", std::nullopt},
  };
  for (const auto& R : Schemes) {
    SCOPED_TRACE(R.Text);
    EXPECT_EQ(ParseMailAuthScheme(QString::fromUtf8(R.Text)), R.Scheme);
  }
  const struct {
    const char* Text;
    std::optional<bool> Verify;
  } Verifies[] = {{"", true}, {"yes", true}, {"No", false}, {"0", std::nullopt}, {"false", std::nullopt}};
  for (const auto& R : Verifies) {
    SCOPED_TRACE(R.Text);
    EXPECT_EQ(ParseMailVerify(QString::fromUtf8(R.Text)), R.Verify);
  }
  const QString Hex = QStringLiteral("0123456789abcdef0123456789ABCDEF0123456789abcdef0123456789abcdef");
  QString Colons;
  for (qsizetype I = 0; I < Hex.size(); I += 2)
    Colons += (I == 0 ? QString() : QStringLiteral(":")) + Hex.mid(I, 2);
  const struct {
    QString Text;
    bool Valid;
  } Fingerprints[] = {
      {Hex, true}, {Colons, true}, {Hex.left(63), false}, {Hex + u'0', false},
      {Hex.left(63) + u'g', false}, {QString(), false},
  };
  for (const auto& R : Fingerprints) {
    SCOPED_TRACE(R.Text.toStdString());
    EXPECT_EQ(IsSha256Fingerprint(R.Text), R.Valid);
  }
}

TEST(MailSettingsValues, ProxyUrlsParseIntoTypeHostPortAndLogin) {
  const struct {
    const char* Text;
    bool Parses;
    bool AutoDetect;
    TpelsmtpFirewallTypes Type;
    const char* Host;
    int Port;
    const char* User;
    const char* Password;
    const char* Problem;  // a part of the reason when it does not parse
  } Rows[] = {
      {"", true, false, fwNone, "", 0, "", "", ""},
      {"auto", true, true, fwNone, "", 0, "", "", ""},
      {"socks4://127.0.0.1:1080", true, false, fwSOCKS4, "127.0.0.1", 1080, "", "", ""},
      {"SOCKS5://proxy.test:1080/", true, false, fwSOCKS5, "proxy.test", 1080, "", "", ""},
      {"socks5://ann:s%40cret:x@[::1]:1081", true, false, fwSOCKS5, "::1", 1081, "ann", "s@cret:x", ""},
      {"http://ann@127.0.0.1:3128", true, false, fwTunnel, "127.0.0.1", 3128, "ann", "", ""},
      {"socks4://ann:pw@127.0.0.1:1080", false, false, fwNone, "", 0, "", "", "socks4 proxy takes no user"},
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
  for (const auto& R : Rows) {
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
  EXPECT_EQ(MaskedProxyText(QStringLiteral("socks5://ann:secret@h:1")), QStringLiteral("socks5://ann:****@h:1"));
  EXPECT_EQ(MaskedProxyText(QStringLiteral("socks5://ann@h:1")), QStringLiteral("socks5://ann@h:1"));
}

class MailConnectionFiles : public testing::Test {
protected:
  // The settings file with mode Mode, loaded.
  void Load(const QString& Text, mode_t Mode = 0600) {
    const QString File = Files.WriteText(QStringLiteral("dervik.ini"), Text);
    ASSERT_EQ(::chmod(QFile::encodeName(File).constData(), Mode), 0);
    Settings.LoadFromFile(File);
  }
  QString Secret(const QString& Name, const QByteArray& Bytes, mode_t Mode) {
    const QString File = Files.Write(Name, Bytes);
    EXPECT_EQ(::chmod(QFile::encodeName(File).constData(), Mode), 0);
    return File;
  }
  TTempFiles Files;
  TSettings Settings;
};

TEST_F(MailConnectionFiles, PortFollowsSecurityOnlyWhenTheFileGivesNone) {
  const struct {
    const char* Lines;
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
  for (const auto& R : Rows) {
    SCOPED_TRACE(R.Lines);
    Load(QStringLiteral("[SMTP]\nHostAddress=127.0.0.1\n") + QString::fromUtf8(R.Lines));
    EXPECT_EQ(Settings.SMTPPort(), R.Port);
    EXPECT_EQ(Settings.SMTPPortGiven(), R.Given);
    EXPECT_TRUE(Settings.UnknownNameWarnings().isEmpty()) << Settings.UnknownNameWarnings().join(u'\n').toStdString();
  }
  Load(QStringLiteral("[SMTP]\nPort=x\n"));
  EXPECT_EQ(Settings.NotIntegerKeys(), QStringList{QStringLiteral("Port in [SMTP]")});
}

TEST_F(MailConnectionFiles, APasswordReadableByOthersStopsTheReport) {
  const QString Private = Secret(QStringLiteral("private.pw"), "from-file\r\nsecond line\n", 0600);
  const QString Shared = Secret(QStringLiteral("shared.pw"), "from-file\n", 0640);
  const QString Empty = Secret(QStringLiteral("empty.pw"), "\n", 0600);
  const QString Missing = Files.Path(QStringLiteral("missing.pw"));
  const struct {
    const char* Name;
    QString Lines;
    mode_t SettingsMode;
    QString Password;         // what the component gets
    QStringList Problems;     // parts of the problems, in order; none: the report may go
  } Rows[] = {
      {"no login", QString(), 0644, QString(), {}},
      {"password in a private file", QStringLiteral("User=ann\nPassword=pw1\n"), 0600, QStringLiteral("pw1"), {}},
      {"password in a file others read",
       QStringLiteral("User=ann\nPassword=pw1\n"),
       0644,
       QStringLiteral("pw1"),
       {QStringLiteral("can be read by others: run chmod 600 %1").arg(Files.Path(QStringLiteral("dervik.ini")))}},
      {"password in a file the group reads", QStringLiteral("User=ann\nPassword=pw1\n"), 0640, QStringLiteral("pw1"),
       {QStringLiteral("chmod 600")}},
      {"password file beside a readable settings file",
       QStringLiteral("User=ann\nPasswordFile=private.pw\n"), 0644, QStringLiteral("from-file"), {}},
      {"password file others read", QStringLiteral("User=ann\nPasswordFile=%1\n").arg(Shared), 0600,
       QStringLiteral("from-file"), {QStringLiteral("PasswordFile %1 holds a password and can be read by others: run chmod 600 %1").arg(Shared)}},
      {"password file missing", QStringLiteral("User=ann\nPasswordFile=%1\n").arg(Missing), 0600, QString(),
       {QStringLiteral("PasswordFile %1 in [SMTP] cannot be read").arg(Missing)}},
      {"password file empty", QStringLiteral("User=ann\nPasswordFile=%1\n").arg(Empty), 0600, QString(),
       {QStringLiteral("holds no password")}},
      {"proxy password in a readable file", QStringLiteral("Proxy=socks5://p:pp@127.0.0.1:1080\n"), 0644,
       QString(), {QStringLiteral("chmod 600")}},
      {"proxy without password in a readable file", QStringLiteral("Proxy=socks5://p@127.0.0.1:1080\n"), 0644,
       QString(), {}},
      {"both kinds of password", QStringLiteral("User=ann\nPassword=a\nPasswordFile=private.pw\n"), 0600,
       QStringLiteral("a"), {QStringLiteral("both set")}},
      {"user without password", QStringLiteral("User=ann\n"), 0600, QString(), {QStringLiteral("neither Password")}},
      {"kerberos without password", QStringLiteral("User=ann\nAuthScheme=kerberos\n"), 0600, QString(), {}},
      {"password without user", QStringLiteral("Password=a\n"), 0600, QStringLiteral("a"), {QStringLiteral("no User")}},
      {"words out of their lists",
       QStringLiteral("Security=ssl\nUser=ann\nPassword=a\nAuthScheme=md5\nVerify=off\nFingerprint=12:34\n"
                      "Proxy=socks5://u:topsecret@h\n"),
       0600,
       QStringLiteral("a"),
       {QStringLiteral("Security=ssl"), QStringLiteral("AuthScheme=md5"),
        QStringLiteral("Proxy=socks5://u:****@h in [SMTP] does not parse: it has no port"),
        QStringLiteral("Fingerprint in [SMTP] is no SHA-256"), QStringLiteral("Verify=off")}},
  };
  for (const auto& R : Rows) {
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
  Load(QStringLiteral("[SMTP]\nSecurity=tls\nUser=ann\nPassword=pw\nAuthScheme=plain\nCAFile=ca.pem\n"
                      "ServerName=mail.test\nFingerprint=%1\nVerify=no\nProxy=http://127.0.0.1:3128\n")
           .arg(QString(64, u'a')));
  const TMailConnectionSetup Setup = ReadMailConnection(Settings);
  ASSERT_TRUE(Setup.Problems.isEmpty()) << Setup.Problems.join(u'\n').toStdString();
  const TMailConnection& C = Setup.Connection;
  EXPECT_EQ(C.Security, msTls);
  EXPECT_EQ(C.User, QStringLiteral("ann"));
  EXPECT_EQ(C.AuthScheme, asPlain);
  EXPECT_EQ(C.CAFile, Files.Path(QStringLiteral("ca.pem")));
  EXPECT_EQ(C.ServerName, QStringLiteral("mail.test"));
  EXPECT_EQ(C.Fingerprint, QString(64, u'a'));
  EXPECT_FALSE(C.Verify);
  EXPECT_EQ(C.Proxy.Type, fwTunnel);
  EXPECT_EQ(C.Proxy.Port, 3128);
  // Without a user nothing changes the component's default login.
  Load(QStringLiteral("[SMTP]\nAuthScheme=plain\n"));
  EXPECT_EQ(ReadMailConnection(Settings).Connection.AuthScheme, asLogin);
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
    const char* Name;
    std::vector<std::pair<int, QString>> Trail;
    QStringList Shown;
  } Rows[] = {
      {"plain with its answer on the line",
       {{0, QStringLiteral("AUTH PLAIN ") + Plain}, {1, QStringLiteral("235 2.7.0 Authentication successful")},
        {0, QStringLiteral("MAIL FROM:<a@b>")}},
       {QStringLiteral("AUTH PLAIN ****"), QStringLiteral("235 2.7.0 Authentication successful"),
        QStringLiteral("MAIL FROM:<a@b>")}},
      {"login step by step",
       {{0, QStringLiteral("AUTH LOGIN")}, {1, QStringLiteral("334 VXNlcm5hbWU6")}, {0, User64},
        {1, QStringLiteral("334 UGFzc3dvcmQ6")}, {0, Pass64}, {1, QStringLiteral("535 5.7.8 bad credentials")},
        {0, QStringLiteral("QUIT")}},
       {QStringLiteral("AUTH LOGIN"), QStringLiteral("334 VXNlcm5hbWU6"), QStringLiteral("****"),
        QStringLiteral("334 UGFzc3dvcmQ6"), QStringLiteral("****"), QStringLiteral("535 5.7.8 bad credentials"),
        QStringLiteral("QUIT")}},
      {"a password anywhere else",
       {{2, QStringLiteral("proxy login proxypw refused")}, {1, QStringLiteral("500 what is Pa55word")},
        {1, QStringLiteral("500 ") + Pass64}},
       {QStringLiteral("proxy login **** refused"), QStringLiteral("500 what is ****"),
        QStringLiteral("500 ****")}},
  };
  for (const auto& R : Rows) {
    SCOPED_TRACE(R.Name);
    TMailTrailMasker Masker(MailSecrets(C));
    QStringList Shown;
    for (const auto& [Direction, Message] : R.Trail)
      Shown.append(Masker.Line(Direction, Message));
    EXPECT_EQ(Shown, R.Shown);
  }
  EXPECT_EQ(MailTrailPrefix(0), QStringLiteral("C: "));
  EXPECT_EQ(MailTrailPrefix(1), QStringLiteral("S: "));
  EXPECT_EQ(MailTrailPrefix(2), QStringLiteral("* "));
}

}  // namespace
