// The mail core's interface without a server: property types, access and
// defaults, the index rules, the configuration settings and unknown ids.
#include <gtest/gtest.h>

#include <cctype>

#include <string>

#include "pelnet/core_interface.h"
#include "pelnet/runtime/codepage.h"
#include "pelnet/smtp_ids.h"
#include "smtp_core_client.h"

namespace {

using smtptest::SmtpCoreClient;

TEST(SmtpCoreDefaults, NewCoreReadsItsDefaults) {
  SmtpCoreClient c;
  struct IntCase {
    int id;
    intptr_t value;
  };
  const IntCase ints[] = {
      {PELNET_SMTP_PROP_MailPort, 25},
      {PELNET_SMTP_PROP_Timeout, 60},
      {PELNET_SMTP_PROP_AllowExtensions, 1},
      {PELNET_SMTP_PROP_Idle, 1},
      {PELNET_SMTP_PROP_Connected, 0},
      {PELNET_SMTP_PROP_MessageRecipientCount, 0},
      {PELNET_SMTP_PROP_MessageHeaderCount, 0},
      {PELNET_SMTP_PROP_AuthScheme, 0},
      {PELNET_SMTP_PROP_FirewallType, PELNET_SMTP_fwNone},
      {PELNET_SMTP_PROP_FirewallPort, 0},
      {PELNET_SMTP_PROP_Importance, PELNET_SMTP_miUnspecified},
      {PELNET_SMTP_PROP_Priority, PELNET_SMTP_epUnspecified},
      {PELNET_SMTP_PROP_Sensitivity, PELNET_SMTP_esUnspecified},
  };
  for (const IntCase &k : ints) EXPECT_EQ(c.getInt(k.id), k.value) << "property " << k.id;
  struct TextCase {
    int id;
    const char *value;
  };
  const TextCase texts[] = {
      {PELNET_SMTP_PROP_MessageDate, "*"}, {PELNET_SMTP_PROP_MessageId, "*"},
      {PELNET_SMTP_PROP_From, ""},         {PELNET_SMTP_PROP_SendTo, ""},
      {PELNET_SMTP_PROP_LastReply, ""},    {PELNET_SMTP_PROP_MailServer, ""},
      {PELNET_SMTP_PROP_MessageText, ""},  {PELNET_SMTP_PROP_OtherHeaders, ""},
  };
  for (const TextCase &k : texts) EXPECT_EQ(c.getText(k.id), k.value) << "property " << k.id;
}

TEST(SmtpCoreDefaults, CodePageReadsTheLocalesWhenNoneIsSet) {
  SmtpCoreClient c;
  EXPECT_EQ(c.getInt(PELNET_GET_CODE_PAGE), pelnet::localeCodePage());
  ASSERT_EQ(c.config("CodePage=1252"), 0);
  EXPECT_EQ(c.getInt(PELNET_GET_CODE_PAGE), 1252);
}

TEST(SmtpCoreProperties, ReadOnlyAndUnknownIdsRefuseWritesWithMinusOne) {
  SmtpCoreClient c;
  const int readOnly[] = {PELNET_SMTP_PROP_Idle,
                          PELNET_SMTP_PROP_LastReply,
                          PELNET_SMTP_PROP_MessageHeaderCount,
                          PELNET_SMTP_PROP_MessageHeaderField,
                          PELNET_SMTP_PROP_MessageHeaderValue,
                          PELNET_SMTP_PROP_MessageHeadersString,
                          PELNET_SMTP_PROP_TlsInfo,
                          51,
                          0,
                          9999};
  for (int id : readOnly) {
    EXPECT_EQ(c.setInt(id, 0), -1) << "property " << id;
    EXPECT_EQ(c.lastErrorCode(), -1);
  }
  // The refused write left the value alone.
  EXPECT_EQ(c.getInt(PELNET_SMTP_PROP_Idle), 1);
}

// TLS settings that could not be used are refused when written, never read
// as "no TLS" or "any certificate" later.
TEST(SmtpCoreProperties, TlsSettingsRefuseWhatCannotBeUsed) {
  SmtpCoreClient c;
  EXPECT_EQ(c.getInt(PELNET_SMTP_PROP_TlsMode), PELNET_SMTP_tlsNone);
  EXPECT_EQ(c.getInt(PELNET_SMTP_PROP_TlsVerify), 1);
  EXPECT_EQ(c.getText(PELNET_SMTP_PROP_TlsInfo), "");
  for (int mode : {-1, 4, 99}) {
    EXPECT_EQ(c.setInt(PELNET_SMTP_PROP_TlsMode, mode), PELNET_SMTP_ERROR_BadTlsMode) << mode;
  }
  EXPECT_EQ(c.getInt(PELNET_SMTP_PROP_TlsMode), PELNET_SMTP_tlsNone);
  EXPECT_EQ(c.setText(PELNET_SMTP_PROP_TlsServerName, "mail.test\r\nQUIT"),
            PELNET_SMTP_ERROR_BadServerName);

  const std::string hex = "009b2d2208ebd9c0358944587b56cab3daca5c3938bb07c63729f4aec8a1dcd4";
  std::string colons;
  for (size_t i = 0; i < hex.size(); i += 2) colons += (i ? ":" : "") + hex.substr(i, 2);
  struct PinCase {
    std::string text;
    bool taken;
  };
  const PinCase pins[] = {
      {hex, true},
      {colons, true},
      {[&] {
         std::string upper = colons;
         for (char &ch : upper)
           ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
         return upper;
       }(),
       true},
      {"", true},                                       // clears the pin
      {hex.substr(2), false},                           // 31 bytes
      {hex + "00", false},                              // 33 bytes
      {":" + colons, false},                            // a colon before the first pair
      {colons + ":", false},                            // after the last
      {hex.substr(0, 1) + ":" + hex.substr(1), false},  // inside a pair
      {hex.substr(0, 62) + "zz", false},
      {"sha256:" + hex, false},
  };
  for (const PinCase &k : pins) {
    const int rc = c.setText(PELNET_SMTP_PROP_TlsPinnedFingerprint, k.text);
    EXPECT_EQ(rc, k.taken ? 0 : PELNET_SMTP_ERROR_BadFingerprint) << k.text;
    if (k.taken) {
      EXPECT_EQ(c.getText(PELNET_SMTP_PROP_TlsPinnedFingerprint), k.text);
    }
  }
}

TEST(SmtpCoreProperties, WrittenValuesReadBack) {
  SmtpCoreClient c;
  struct IntCase {
    int id;
    intptr_t value;
  };
  const IntCase ints[] = {
      {PELNET_SMTP_PROP_AllowExtensions, 0}, {PELNET_SMTP_PROP_AuthScheme, 6},
      {PELNET_SMTP_PROP_FirewallPort, 1080}, {PELNET_SMTP_PROP_FirewallAutoDetect, 1},
      {PELNET_SMTP_PROP_Importance, 3},      {PELNET_SMTP_PROP_Priority, 2},
      {PELNET_SMTP_PROP_Sensitivity, 1},     {PELNET_SMTP_PROP_Timeout, 7},
      {PELNET_SMTP_PROP_MailPort, 2525},     {PELNET_SMTP_PROP_MessageRecipientCount, 3},
      {PELNET_SMTP_PROP_TlsMode, 2},         {PELNET_SMTP_PROP_TlsVerify, 0},
  };
  for (const IntCase &k : ints) {
    ASSERT_EQ(c.setInt(k.id, k.value), 0) << "property " << k.id;
    EXPECT_EQ(c.getInt(k.id), k.value) << "property " << k.id;
  }
  const int texts[] = {PELNET_SMTP_PROP_User,
                       PELNET_SMTP_PROP_Password,
                       PELNET_SMTP_PROP_FirewallUser,
                       PELNET_SMTP_PROP_FirewallPassword,
                       PELNET_SMTP_PROP_ReturnPath,
                       PELNET_SMTP_PROP_ReadReceiptTo,
                       PELNET_SMTP_PROP_DeliveryNotificationTo,
                       PELNET_SMTP_PROP_TlsCAFile,
                       PELNET_SMTP_PROP_TlsServerName};
  for (int id : texts) {
    const std::string v = "value of " + std::to_string(id);
    ASSERT_EQ(c.setText(id, v), 0) << "property " << id;
    EXPECT_EQ(c.getText(id), v) << "property " << id;
  }
  // MailServer reads back as the address it resolved to.
  ASSERT_EQ(c.setText(PELNET_SMTP_PROP_MailServer, "127.0.0.1"), 0);
  EXPECT_EQ(c.getText(PELNET_SMTP_PROP_MailServer), "127.0.0.1");
}

TEST(SmtpCoreProperties, SendToReplacesOnlyItsOwnEntries) {
  SmtpCoreClient c;
  ASSERT_EQ(c.setText(PELNET_SMTP_PROP_Cc, "cc@test"), 0);
  ASSERT_EQ(c.setText(PELNET_SMTP_PROP_BCc, "bcc@test"), 0);
  ASSERT_EQ(c.setText(PELNET_SMTP_PROP_SendTo, "a@test, b@test"), 0);
  ASSERT_EQ(c.setText(PELNET_SMTP_PROP_SendTo, "c@test"), 0);
  EXPECT_EQ(c.getText(PELNET_SMTP_PROP_SendTo), "c@test");
  EXPECT_EQ(c.getText(PELNET_SMTP_PROP_Cc), "cc@test");
  EXPECT_EQ(c.getText(PELNET_SMTP_PROP_BCc), "bcc@test");
  EXPECT_EQ(c.getInt(PELNET_SMTP_PROP_MessageRecipientCount), 3);
}

TEST(SmtpCoreProperties, MessageTextDoublesLeadingDotsAndMessageKeepsItsBytes) {
  SmtpCoreClient c;
  const std::string text = "first\r\n.second\r\n";
  ASSERT_EQ(c.setText(PELNET_SMTP_PROP_MessageText, text), 0);
  EXPECT_EQ(c.getText(PELNET_SMTP_PROP_MessageText), "first\r\n..second\r\n");
  EXPECT_EQ(c.getText(PELNET_SMTP_PROP_Message), "first\r\n..second\r\n");
  ASSERT_EQ(c.setBytes(PELNET_SMTP_PROP_Message, text), 0);
  EXPECT_EQ(c.getBytes(PELNET_SMTP_PROP_Message), text);
  EXPECT_EQ(c.getText(PELNET_SMTP_PROP_MessageText), text);
  // The byte form carries zero bytes too.
  const std::string withZero("a\0b", 3);
  ASSERT_EQ(c.setBytes(PELNET_SMTP_PROP_Message, withZero), 0);
  EXPECT_EQ(c.getBytes(PELNET_SMTP_PROP_Message), withZero);
}

// ---------------------------------------------------------------- indexes

struct IndexedProperty {
  int id;
  bool header;  // indexed by the header list, else by the recipient list
};
const IndexedProperty kIndexed[] = {
    {PELNET_SMTP_PROP_MessageHeaderField, true},
    {PELNET_SMTP_PROP_MessageHeaderValue, true},
    {PELNET_SMTP_PROP_MessageRecipientAddress, false},
    {PELNET_SMTP_PROP_MessageRecipientName, false},
    {PELNET_SMTP_PROP_MessageRecipientOptions, false},
    {PELNET_SMTP_PROP_MessageRecipientType, false},
};

TEST(SmtpCoreIndexes, CheckIndexAnswers280OutsideTheLists) {
  SmtpCoreClient c;
  for (const IndexedProperty &p : kIndexed) {
    EXPECT_EQ(c.checkIndex(p.id, 0), 280) << "property " << p.id;
    EXPECT_EQ(c.checkIndex(p.id, -1), 280) << "property " << p.id;
  }
  ASSERT_EQ(c.setText(PELNET_SMTP_PROP_SendTo, "a@test, b@test"), 0);
  ASSERT_EQ(c.setText(PELNET_SMTP_PROP_From, "f@test"), 0);
  c.getText(PELNET_SMTP_PROP_MessageHeadersString);  // composes: To, From, Date, Message-Id
  const intptr_t headers = c.getInt(PELNET_SMTP_PROP_MessageHeaderCount);
  ASSERT_EQ(headers, 4);
  for (const IndexedProperty &p : kIndexed) {
    const int count = p.header ? static_cast<int>(headers) : 2;
    EXPECT_EQ(c.checkIndex(p.id, count - 1), 0) << "property " << p.id;
    EXPECT_EQ(c.checkIndex(p.id, count), 280) << "property " << p.id;
    EXPECT_EQ(c.checkIndex(p.id + PELNET_WIDE_OFFSET, count), 280) << "wide property " << p.id;
  }
  // Scalar properties take any index.
  EXPECT_EQ(c.checkIndex(PELNET_SMTP_PROP_Subject, 5), 0);
}

TEST(SmtpCoreIndexes, GetAndSetOutOfRangeFailWith432) {
  SmtpCoreClient c;
  ASSERT_EQ(c.setText(PELNET_SMTP_PROP_SendTo, "a@test"), 0);
  for (const IndexedProperty &p : kIndexed) {
    c.getText(p.id, 1);
    EXPECT_EQ(c.lastErrorCode(), 432) << "property " << p.id;
    c.getText(p.id, -1);
    EXPECT_EQ(c.lastErrorCode(), 432) << "property " << p.id;
  }
  for (int id = PELNET_SMTP_PROP_MessageRecipientAddress;
       id <= PELNET_SMTP_PROP_MessageRecipientOptions; ++id) {
    EXPECT_EQ(c.setText(id, "x", 1), 432) << "property " << id;
    EXPECT_EQ(c.lastError(), "[432] (no description available)");
  }
  EXPECT_EQ(c.setInt(PELNET_SMTP_PROP_MessageRecipientType, 1, 1), 432);
  // A valid read clears the code again.
  EXPECT_EQ(c.getText(PELNET_SMTP_PROP_MessageRecipientAddress, 0), "a@test");
  EXPECT_EQ(c.lastErrorCode(), 0);
}

TEST(SmtpCoreIndexes, RecipientEntriesWriteAndReadByPosition) {
  SmtpCoreClient c;
  ASSERT_EQ(c.setInt(PELNET_SMTP_PROP_MessageRecipientCount, 2), 0);
  EXPECT_EQ(c.getInt(PELNET_SMTP_PROP_MessageRecipientType, 1), PELNET_SMTP_rtTo);
  ASSERT_EQ(c.setText(PELNET_SMTP_PROP_MessageRecipientAddress, "x@test", 1), 0);
  ASSERT_EQ(c.setText(PELNET_SMTP_PROP_MessageRecipientName, "Ex Ample", 1), 0);
  ASSERT_EQ(c.setText(PELNET_SMTP_PROP_MessageRecipientOptions, "NOTIFY=NEVER", 1), 0);
  ASSERT_EQ(c.setInt(PELNET_SMTP_PROP_MessageRecipientType, PELNET_SMTP_rtCc, 1), 0);
  EXPECT_EQ(c.getText(PELNET_SMTP_PROP_Cc), "\"Ex Ample\" <x@test>");
  EXPECT_EQ(c.getText(PELNET_SMTP_PROP_MessageRecipientOptions, 1), "NOTIFY=NEVER");
  ASSERT_EQ(c.setInt(PELNET_SMTP_PROP_MessageRecipientCount, 1), 0);
  EXPECT_EQ(c.getText(PELNET_SMTP_PROP_Cc), "");
}

// ---------------------------------------------------------------- settings and methods

TEST(SmtpCoreConfig, MailSettingsHaveTheirDefaultsAndTakeAssignments) {
  SmtpCoreClient c;
  struct Case {
    const char *name;
    const char *initial;
    const char *assigned;
    const char *readBack;
  };
  const Case cases[] = {
      {"KeepQueue", "False", "True", "True"},
      {"AllowEmptyTo", "False", "yes", "True"},
      {"MaxHeaderLength", "72", "0", "0"},
      {"Hello", "", "client.test", "client.test"},
      {"ReturnPath", "", "bounce@test", "bounce@test"},
      {"Charset", "", "utf-8", "utf-8"},
      {"StopOnToErrors", "True", "False", "False"},
      {"StopOnCcErrors", "True", "0", "False"},
      {"StopOnBCCErrors", "False", "1", "True"},
      {"UseExtendedDST", "1", "False", "0"},
      {"stoponbccerrors", "True", "false", "False"},  // names compare without case
  };
  for (const Case &k : cases) {
    EXPECT_EQ(c.query(k.name), k.initial) << k.name;
    ASSERT_EQ(c.config(std::string(k.name) + "=" + k.assigned), 0) << k.name;
    EXPECT_EQ(c.query(k.name), k.readBack) << k.name;
  }
  // The settings and the properties are one value.
  EXPECT_EQ(c.getText(PELNET_SMTP_PROP_ReturnPath), "bounce@test");
  ASSERT_EQ(c.config("OtherHeaders=X-Test: 1"), 0);
  EXPECT_EQ(c.getText(PELNET_SMTP_PROP_OtherHeaders), "X-Test: 1");
  // MaxHeaderLength is a 16-bit number.
  ASSERT_EQ(c.config("MaxHeaderLength=65608"), 0);
  EXPECT_EQ(c.query("MaxHeaderLength"), "72");
}

TEST(SmtpCoreConfig, UnknownNamesGoOnToTheConnectionThenTheCommonSettings) {
  SmtpCoreClient c;
  EXPECT_EQ(c.query("MaxLineLength"), "2048");  // the connection's
  EXPECT_EQ(c.query("SplitCRLF"), "True");
  ASSERT_EQ(c.config("TimeoutInMilliseconds=True"), 0);  // a common one
  EXPECT_EQ(c.query("TimeoutInMilliseconds"), "1");
  ASSERT_EQ(c.config("CharsetMode=1"), 0);  // both the mail copy and the common value
  EXPECT_EQ(c.query("CharsetMode"), "1");
  std::string answer = "unchanged";
  EXPECT_EQ(c.config("NoSuchSetting=1", &answer), -1);
  EXPECT_EQ(c.lastError(), "Unknown config setting.");
  EXPECT_EQ(answer, "");
  EXPECT_EQ(c.config("NoSuchSetting"), -1);
}

TEST(SmtpCoreMethods, UnknownMethodIdsAnswerZeroAndDoNothing) {
  SmtpCoreClient c;
  for (int id : {1, 15, 17, 99, 10001, 10015}) {
    EXPECT_EQ(c.call(id), 0) << "method " << id;
    EXPECT_EQ(c.lastErrorCode(), 0);
  }
  EXPECT_TRUE(c.events.calls.empty());
  EXPECT_EQ(c.getInt(PELNET_SMTP_PROP_Idle), 1);
}

TEST(SmtpCoreMethods, ResetHeadersEmptiesTheMessageAndKeepsTheSettings) {
  SmtpCoreClient c;
  ASSERT_EQ(c.config("MaxHeaderLength=50"), 0);
  ASSERT_EQ(c.setText(PELNET_SMTP_PROP_SendTo, "a@test"), 0);
  ASSERT_EQ(c.setText(PELNET_SMTP_PROP_From, "f@test"), 0);
  ASSERT_EQ(c.setText(PELNET_SMTP_PROP_Subject, "s"), 0);
  ASSERT_EQ(c.setText(PELNET_SMTP_PROP_MessageText, "body"), 0);
  ASSERT_EQ(c.setText(PELNET_SMTP_PROP_MessageId, "<x@test>"), 0);
  ASSERT_EQ(c.call(PELNET_SMTP_METHOD_ResetHeaders), 0);
  EXPECT_EQ(c.getInt(PELNET_SMTP_PROP_MessageRecipientCount), 0);
  EXPECT_EQ(c.getText(PELNET_SMTP_PROP_From), "");
  EXPECT_EQ(c.getText(PELNET_SMTP_PROP_Subject), "");
  EXPECT_EQ(c.getText(PELNET_SMTP_PROP_MessageText), "");
  EXPECT_EQ(c.getText(PELNET_SMTP_PROP_MessageId), "*");
  EXPECT_EQ(c.query("MaxHeaderLength"), "50");
}

TEST(SmtpCoreMethods, DisconnectAndInterruptWithoutAConnectionSucceed) {
  SmtpCoreClient c;
  EXPECT_EQ(c.call(PELNET_SMTP_METHOD_Disconnect), 0);
  EXPECT_EQ(c.call(PELNET_SMTP_METHOD_Interrupt), 0);
  EXPECT_EQ(c.call(PELNET_SMTP_METHOD_DoEvents), 0);
  EXPECT_EQ(c.setInt(PELNET_SMTP_PROP_Connected, 0), 0);
  EXPECT_EQ(c.getInt(PELNET_SMTP_PROP_Connected), 0);
  EXPECT_EQ(c.getInt(PELNET_SMTP_PROP_Idle), 1);
  EXPECT_TRUE(c.events.calls.empty());
}

// The queue methods through the core interface: a folder argument, the file
// name as Queue's result (the queue itself is tested in smtp_queue_test).
TEST(SmtpCoreMethods, QueueMethodsTakeAFolderAndReportFailuresByCode) {
  SmtpCoreClient c;
  EXPECT_EQ(c.call(PELNET_SMTP_METHOD_ProcessQueue, "/nonexistent/queue"), 302);
  EXPECT_EQ(c.lastError(), "Can't open queue folder");
  // The file is made before the message is looked at, so the folder is what fails here.
  testsupport::CallResult r;
  EXPECT_EQ(c.call(PELNET_SMTP_METHOD_Queue, {"/nonexistent/queue"}, &r), 302);
  EXPECT_EQ(c.lastError().rfind("Can't open queue file [/nonexistent/queue/", 0), 0u)
      << c.lastError();
}

}  // namespace
