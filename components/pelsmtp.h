// pelsmtp: the mail component.  Composes one message from its properties and
// delivers it to a mail server in an SMTP session over one TCP connection.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>

#include "pelcore.h"
#include "pelnet/smtp_ids.h"

enum TpelsmtpFirewallTypes : int {
  fwNone = PELNET_SMTP_fwNone,
  fwTunnel = PELNET_SMTP_fwTunnel,
  fwSOCKS4 = PELNET_SMTP_fwSOCKS4,
  fwSOCKS5 = PELNET_SMTP_fwSOCKS5,
};
enum TpelsmtpTImportance : int {
  miUnspecified = PELNET_SMTP_miUnspecified,
  miHigh = PELNET_SMTP_miHigh,
  miNormal = PELNET_SMTP_miNormal,
  miLow = PELNET_SMTP_miLow,
};
enum TpelsmtpTPriority : int {
  epUnspecified = PELNET_SMTP_epUnspecified,
  epNormal = PELNET_SMTP_epNormal,
  epUrgent = PELNET_SMTP_epUrgent,
  epNonUrgent = PELNET_SMTP_epNonUrgent,
};
enum TpelsmtpTSensitivity : int {
  esUnspecified = PELNET_SMTP_esUnspecified,
  esPersonal = PELNET_SMTP_esPersonal,
  esPrivate = PELNET_SMTP_esPrivate,
  esCompanyConfidential = PELNET_SMTP_esCompanyConfidential,
};
enum TpelsmtpAuthSchemes : int {
  asLogin = PELNET_SMTP_asLogin,
  asCramMD5 = PELNET_SMTP_asCramMD5,
  asNTLM = PELNET_SMTP_asNTLM,
  asKerberos = PELNET_SMTP_asKerberos,
  asPlain = PELNET_SMTP_asPlain,
  asAutomatic = PELNET_SMTP_asAutomatic,
};
enum TpelsmtpTlsModes : int {
  tlsNone = PELNET_SMTP_tlsNone,
  tlsStartTlsRequired = PELNET_SMTP_tlsStartTlsRequired,
  tlsImplicit = PELNET_SMTP_tlsImplicit,
  tlsStartTlsOptional = PELNET_SMTP_tlsStartTlsOptional,
};
enum TpelsmtpEmailRecipientTypes : int {
  rtTo = PELNET_SMTP_rtTo,
  rtCc = PELNET_SMTP_rtCc,
  rtBCc = PELNET_SMTP_rtBCc,
};

enum TpelsmtpQueueOutcomes : int {
  qoDelivered = PELNET_SMTP_qoDelivered,
  qoKept = PELNET_SMTP_qoKept,
  qoSkipped = PELNET_SMTP_qoSkipped,
  qoDamaged = PELNET_SMTP_qoDamaged,
  qoFailed = PELNET_SMTP_qoFailed,
};

using TErrorEvent = std::function<void(QObject *Sender, int ErrorCode, const QString &Description)>;
using TConnectionStatusEvent = std::function<void(QObject *Sender, const QString &ConnectionEvent,
                                                  int StatusCode, const QString &Description)>;
using TEndTransferEvent = std::function<void(QObject *Sender, int Direction)>;
using TExpandEvent = std::function<void(QObject *Sender, const QString &Address)>;
using TPITrailEvent = std::function<void(QObject *Sender, int Direction, const QString &Message)>;
using TStartTransferEvent = std::function<void(QObject *Sender, int Direction)>;
using TTransferEvent =
    std::function<void(QObject *Sender, int Direction, int64_t BytesTransferred, int PercentDone)>;

class TpelSMTP : public TpelCore {
  Q_OBJECT
  // Published, in this order; the reported ones are never stored.
  Q_PROPERTY(QString BCc READ BCc WRITE setBCc)
  Q_PROPERTY(QString Cc READ Cc WRITE setCc)
  Q_PROPERTY(
      QString DeliveryNotificationTo READ DeliveryNotificationTo WRITE setDeliveryNotificationTo)
  Q_PROPERTY(bool FirewallAutoDetect READ FirewallAutoDetect WRITE setFirewallAutoDetect)
  Q_PROPERTY(int FirewallType READ FirewallTypeValue WRITE setFirewallTypeValue)
  Q_PROPERTY(QString FirewallHost READ FirewallHost WRITE setFirewallHost)
  Q_PROPERTY(QString FirewallPassword READ FirewallPassword WRITE setFirewallPassword)
  Q_PROPERTY(int FirewallPort READ FirewallPort WRITE setFirewallPort)
  Q_PROPERTY(QString FirewallUser READ FirewallUser WRITE setFirewallUser)
  Q_PROPERTY(QString From READ From WRITE setFrom)
  Q_PROPERTY(bool Idle READ Idle WRITE setIdle STORED false)
  Q_PROPERTY(int Importance READ ImportanceValue WRITE setImportanceValue)
  Q_PROPERTY(QString LastReply READ LastReply WRITE setLastReply STORED false)
  Q_PROPERTY(QString LocalHost READ LocalHost WRITE setLocalHost STORED false)
  Q_PROPERTY(QString MailServer READ MailServer WRITE setMailServer)
  Q_PROPERTY(QString Message READ Message WRITE setMessage)
  Q_PROPERTY(QString MessageHeadersString READ MessageHeadersString WRITE setMessageHeadersString
                 STORED false)
  Q_PROPERTY(QString MessageText READ MessageText WRITE setMessageText)
  Q_PROPERTY(int Priority READ PriorityValue WRITE setPriorityValue)
  Q_PROPERTY(QString ReadReceiptTo READ ReadReceiptTo WRITE setReadReceiptTo)
  Q_PROPERTY(QString ReplyTo READ ReplyTo WRITE setReplyTo)
  Q_PROPERTY(QString ReturnPath READ ReturnPath WRITE setReturnPath)
  Q_PROPERTY(QString SendTo READ SendTo WRITE setSendTo)
  Q_PROPERTY(int Sensitivity READ SensitivityValue WRITE setSensitivityValue)
  Q_PROPERTY(QString Subject READ Subject WRITE setSubject)
  Q_PROPERTY(int Timeout READ Timeout WRITE setTimeout)

 public:
  explicit TpelSMTP(QObject *owner = nullptr);

  // ---- published ----
  QString BCc() const { return getText(PELNET_SMTP_PROP_BCc); }
  void setBCc(const QString &v) { setText(PELNET_SMTP_PROP_BCc, v); }
  QString Cc() const { return getText(PELNET_SMTP_PROP_Cc); }
  void setCc(const QString &v) { setText(PELNET_SMTP_PROP_Cc, v); }
  QString DeliveryNotificationTo() const {
    return getText(PELNET_SMTP_PROP_DeliveryNotificationTo);
  }
  void setDeliveryNotificationTo(const QString &v) {
    setText(PELNET_SMTP_PROP_DeliveryNotificationTo, v);
  }
  bool FirewallAutoDetect() const { return getBool(PELNET_SMTP_PROP_FirewallAutoDetect); }
  void setFirewallAutoDetect(bool v) { setBool(PELNET_SMTP_PROP_FirewallAutoDetect, v); }
  TpelsmtpFirewallTypes FirewallType() const {
    return static_cast<TpelsmtpFirewallTypes>(getInt(PELNET_SMTP_PROP_FirewallType));
  }
  void setFirewallType(TpelsmtpFirewallTypes v) { setInt(PELNET_SMTP_PROP_FirewallType, v); }
  QString FirewallHost() const { return getText(PELNET_SMTP_PROP_FirewallHost); }
  void setFirewallHost(const QString &v) { setText(PELNET_SMTP_PROP_FirewallHost, v); }
  QString FirewallPassword() const { return getText(PELNET_SMTP_PROP_FirewallPassword); }
  void setFirewallPassword(const QString &v) { setText(PELNET_SMTP_PROP_FirewallPassword, v); }
  int FirewallPort() const { return getInt(PELNET_SMTP_PROP_FirewallPort); }
  void setFirewallPort(int v) { setInt(PELNET_SMTP_PROP_FirewallPort, v); }
  QString FirewallUser() const { return getText(PELNET_SMTP_PROP_FirewallUser); }
  void setFirewallUser(const QString &v) { setText(PELNET_SMTP_PROP_FirewallUser, v); }
  QString From() const { return getText(PELNET_SMTP_PROP_From); }
  void setFrom(const QString &v) { setText(PELNET_SMTP_PROP_From, v); }
  bool Idle() const { return getBool(PELNET_SMTP_PROP_Idle); }
  void setIdle(bool) {}  // reported only
  TpelsmtpTImportance Importance() const {
    return static_cast<TpelsmtpTImportance>(getInt(PELNET_SMTP_PROP_Importance));
  }
  void setImportance(TpelsmtpTImportance v) { setInt(PELNET_SMTP_PROP_Importance, v); }
  QString LastReply() const { return getText(PELNET_SMTP_PROP_LastReply); }
  void setLastReply(const QString &) {}  // reported only
  QString LocalHost() const { return getText(PELNET_SMTP_PROP_LocalHost); }
  void setLocalHost(const QString &v) { setText(PELNET_SMTP_PROP_LocalHost, v); }
  QString MailServer() const { return getText(PELNET_SMTP_PROP_MailServer); }
  void setMailServer(const QString &v) { setText(PELNET_SMTP_PROP_MailServer, v); }
  QString Message() const { return getText(PELNET_SMTP_PROP_Message); }
  void setMessage(const QString &v) { setText(PELNET_SMTP_PROP_Message, v); }
  QString MessageHeadersString() const { return getText(PELNET_SMTP_PROP_MessageHeadersString); }
  void setMessageHeadersString(const QString &) {}  // reported only
  QString MessageText() const { return getText(PELNET_SMTP_PROP_MessageText); }
  void setMessageText(const QString &v) { setText(PELNET_SMTP_PROP_MessageText, v); }
  TpelsmtpTPriority Priority() const {
    return static_cast<TpelsmtpTPriority>(getInt(PELNET_SMTP_PROP_Priority));
  }
  void setPriority(TpelsmtpTPriority v) { setInt(PELNET_SMTP_PROP_Priority, v); }
  QString ReadReceiptTo() const { return getText(PELNET_SMTP_PROP_ReadReceiptTo); }
  void setReadReceiptTo(const QString &v) { setText(PELNET_SMTP_PROP_ReadReceiptTo, v); }
  QString ReplyTo() const { return getText(PELNET_SMTP_PROP_ReplyTo); }
  void setReplyTo(const QString &v) { setText(PELNET_SMTP_PROP_ReplyTo, v); }
  QString ReturnPath() const { return getText(PELNET_SMTP_PROP_ReturnPath); }
  void setReturnPath(const QString &v) { setText(PELNET_SMTP_PROP_ReturnPath, v); }
  QString SendTo() const { return getText(PELNET_SMTP_PROP_SendTo); }
  void setSendTo(const QString &v) { setText(PELNET_SMTP_PROP_SendTo, v); }
  TpelsmtpTSensitivity Sensitivity() const {
    return static_cast<TpelsmtpTSensitivity>(getInt(PELNET_SMTP_PROP_Sensitivity));
  }
  void setSensitivity(TpelsmtpTSensitivity v) { setInt(PELNET_SMTP_PROP_Sensitivity, v); }
  QString Subject() const { return getText(PELNET_SMTP_PROP_Subject); }
  void setSubject(const QString &v) { setText(PELNET_SMTP_PROP_Subject, v); }
  int Timeout() const { return getInt(PELNET_SMTP_PROP_Timeout); }
  void setTimeout(int v) { setInt(PELNET_SMTP_PROP_Timeout, v); }

  // ---- public, not published ----
  QString MessageHeaderField(quint16 MessageHeaderIndex) const {
    return getIndexedText(PELNET_SMTP_PROP_MessageHeaderField, MessageHeaderIndex,
                          QStringLiteral("MessageHeaderField"));
  }
  QString MessageHeaderValue(quint16 MessageHeaderIndex) const {
    return getIndexedText(PELNET_SMTP_PROP_MessageHeaderValue, MessageHeaderIndex,
                          QStringLiteral("MessageHeaderValue"));
  }
  QString MessageRecipientAddress(quint16 RecipientIndex) const {
    return getIndexedText(PELNET_SMTP_PROP_MessageRecipientAddress, RecipientIndex,
                          QStringLiteral("MessageRecipientAddress"));
  }
  void setMessageRecipientAddress(quint16 RecipientIndex, const QString &v) {
    setIndexedText(PELNET_SMTP_PROP_MessageRecipientAddress, RecipientIndex, v);
  }
  QString MessageRecipientName(quint16 RecipientIndex) const {
    return getIndexedText(PELNET_SMTP_PROP_MessageRecipientName, RecipientIndex,
                          QStringLiteral("MessageRecipientName"));
  }
  void setMessageRecipientName(quint16 RecipientIndex, const QString &v) {
    setIndexedText(PELNET_SMTP_PROP_MessageRecipientName, RecipientIndex, v);
  }
  QString MessageRecipientOptions(quint16 RecipientIndex) const {
    return getIndexedText(PELNET_SMTP_PROP_MessageRecipientOptions, RecipientIndex,
                          QStringLiteral("MessageRecipientOptions"));
  }
  void setMessageRecipientOptions(quint16 RecipientIndex, const QString &v) {
    setIndexedText(PELNET_SMTP_PROP_MessageRecipientOptions, RecipientIndex, v);
  }
  TpelsmtpEmailRecipientTypes MessageRecipientType(quint16 RecipientIndex) const {
    return static_cast<TpelsmtpEmailRecipientTypes>(
        getIndexedInt(PELNET_SMTP_PROP_MessageRecipientType, RecipientIndex,
                      QStringLiteral("MessageRecipientType")));
  }
  void setMessageRecipientType(quint16 RecipientIndex, TpelsmtpEmailRecipientTypes v) {
    setIndexedInt(PELNET_SMTP_PROP_MessageRecipientType, RecipientIndex, v);
  }
  bool AllowExtensions() const { return getBool(PELNET_SMTP_PROP_AllowExtensions); }
  void setAllowExtensions(bool v) { setBool(PELNET_SMTP_PROP_AllowExtensions, v); }
  // Writing sends the text as one command line and waits for the reply.
  void setCommand(const QString &v) { setText(PELNET_SMTP_PROP_Command, v); }
  bool Connected() const { return getBool(PELNET_SMTP_PROP_Connected); }
  void setConnected(bool v) { setBool(PELNET_SMTP_PROP_Connected, v); }
  int MailPort() const { return getInt(PELNET_SMTP_PROP_MailPort); }
  void setMailPort(int v) { setInt(PELNET_SMTP_PROP_MailPort, v); }
  QString MessageDate() const { return getText(PELNET_SMTP_PROP_MessageDate); }
  void setMessageDate(const QString &v) { setText(PELNET_SMTP_PROP_MessageDate, v); }
  int MessageHeaderCount() const { return getInt(PELNET_SMTP_PROP_MessageHeaderCount); }
  QString MessageId() const { return getText(PELNET_SMTP_PROP_MessageId); }
  void setMessageId(const QString &v) { setText(PELNET_SMTP_PROP_MessageId, v); }
  int MessageRecipientCount() const { return getInt(PELNET_SMTP_PROP_MessageRecipientCount); }
  void setMessageRecipientCount(int v) { setInt(PELNET_SMTP_PROP_MessageRecipientCount, v); }
  QString OtherHeaders() const { return getText(PELNET_SMTP_PROP_OtherHeaders); }
  void setOtherHeaders(const QString &v) { setText(PELNET_SMTP_PROP_OtherHeaders, v); }
  QString Password() const { return getText(PELNET_SMTP_PROP_Password); }
  void setPassword(const QString &v) { setText(PELNET_SMTP_PROP_Password, v); }
  QString User() const { return getText(PELNET_SMTP_PROP_User); }
  void setUser(const QString &v) { setText(PELNET_SMTP_PROP_User, v); }
  // The AUTH mechanism (pelnet_smtp_auth_scheme); the default stays LOGIN.
  TpelsmtpAuthSchemes AuthScheme() const {
    return static_cast<TpelsmtpAuthSchemes>(getInt(PELNET_SMTP_PROP_AuthScheme));
  }
  void setAuthScheme(TpelsmtpAuthSchemes v) { setInt(PELNET_SMTP_PROP_AuthScheme, v); }

  // ---- TLS on the mail connection ----
  TpelsmtpTlsModes TlsMode() const {
    return static_cast<TpelsmtpTlsModes>(getInt(PELNET_SMTP_PROP_TlsMode));
  }
  void setTlsMode(TpelsmtpTlsModes v) { setInt(PELNET_SMTP_PROP_TlsMode, v); }
  QString TlsCAFile() const { return getText(PELNET_SMTP_PROP_TlsCAFile); }
  void setTlsCAFile(const QString &v) { setText(PELNET_SMTP_PROP_TlsCAFile, v); }
  QString TlsServerName() const { return getText(PELNET_SMTP_PROP_TlsServerName); }
  void setTlsServerName(const QString &v) { setText(PELNET_SMTP_PROP_TlsServerName, v); }
  QString TlsPinnedFingerprint() const { return getText(PELNET_SMTP_PROP_TlsPinnedFingerprint); }
  void setTlsPinnedFingerprint(const QString &v) {
    setText(PELNET_SMTP_PROP_TlsPinnedFingerprint, v);
  }
  bool TlsVerify() const { return getBool(PELNET_SMTP_PROP_TlsVerify); }
  void setTlsVerify(bool v) { setBool(PELNET_SMTP_PROP_TlsVerify, v); }
  // After a handshake: protocol, cipher suite, the certificate's subject,
  // issuer, expiry and SHA-256 fingerprint; "" without TLS.
  QString TlsInfo() const { return getText(PELNET_SMTP_PROP_TlsInfo); }
  // The stored body as bytes, without conversion.
  QByteArray MessageB() const { return getBytes(PELNET_SMTP_PROP_Message); }
  void setMessageB(const QByteArray &v) { setBytes(PELNET_SMTP_PROP_Message, v); }

  // ---- what the last operation ended with ----
  // The code of the 4xx or 5xx reply that ended it with error 161 (a QUIT
  // sent after the refusal does not replace it); 0 when it ended otherwise.
  int RefusedReplyCode() const { return getInt(PELNET_SMTP_PROP_RefusedReplyCode); }
  // The code LastReply starts with, 0 when none.
  int LastReplyCode() const { return getInt(PELNET_SMTP_PROP_LastReplyCode); }
  // It ended with error 301 because Timeout passed (not an interrupt or a close).
  bool TimedOut() const { return getBool(PELNET_SMTP_PROP_TimedOut); }
  // The files the last ProcessQueue took up, in its order, and what became of each.
  int QueueFileCount() const { return getInt(PELNET_SMTP_PROP_QueueFileCount); }
  // The ".queued" name, without the folder.
  QString QueueFileName(quint16 QueueFileIndex) const {
    return getIndexedText(PELNET_SMTP_PROP_QueueFileName, QueueFileIndex,
                          QStringLiteral("QueueFileName"));
  }
  TpelsmtpQueueOutcomes QueueFileOutcome(quint16 QueueFileIndex) const {
    return static_cast<TpelsmtpQueueOutcomes>(getIndexedInt(
        PELNET_SMTP_PROP_QueueFileOutcome, QueueFileIndex, QStringLiteral("QueueFileOutcome")));
  }
  // Where the file lies now (".sent", ".bad", ".failed"); "" when deleted or left where it was.
  QString QueueFilePath(quint16 QueueFileIndex) const {
    return getIndexedText(PELNET_SMTP_PROP_QueueFilePath, QueueFileIndex,
                          QStringLiteral("QueueFilePath"));
  }

  // ---- methods ----
  QString Config(const QString &ConfigurationString) {
    return callText(PELNET_SMTP_METHOD_Config, {ConfigurationString});
  }
  void Connect() { call(PELNET_SMTP_METHOD_Connect); }
  void Disconnect() { call(PELNET_SMTP_METHOD_Disconnect); }
  void DoEvents() { call(PELNET_SMTP_METHOD_DoEvents); }
  void Expand(const QString &EmailAddress) { call(PELNET_SMTP_METHOD_Expand, {EmailAddress}); }
  void Interrupt() { call(PELNET_SMTP_METHOD_Interrupt); }
  void ProcessQueue(const QString &QueueDir) { call(PELNET_SMTP_METHOD_ProcessQueue, {QueueDir}); }
  QString Queue(const QString &QueueDir) { return callText(PELNET_SMTP_METHOD_Queue, {QueueDir}); }
  void ResetHeaders() { call(PELNET_SMTP_METHOD_ResetHeaders); }
  void Send() { call(PELNET_SMTP_METHOD_Send); }
  void SendToTerminalAndEmail() { call(PELNET_SMTP_METHOD_SendToTerminalAndEmail); }
  void SendToTerminalOnly() { call(PELNET_SMTP_METHOD_SendToTerminalOnly); }
  void SendToTerminalOrEmail() { call(PELNET_SMTP_METHOD_SendToTerminalOrEmail); }
  void Verify(const QString &EmailAddress) { call(PELNET_SMTP_METHOD_Verify, {EmailAddress}); }
  // Stores the body bytes unchanged.
  void SetMessage(const char *lpMessage, int lenMessage);

  // ---- events ----
  TConnectionStatusEvent OnConnectionStatus() const { return FOnConnectionStatus; }
  void setOnConnectionStatus(TConnectionStatusEvent h) { FOnConnectionStatus = std::move(h); }
  TEndTransferEvent OnEndTransfer() const { return FOnEndTransfer; }
  void setOnEndTransfer(TEndTransferEvent h) { FOnEndTransfer = std::move(h); }
  TErrorEvent OnError() const { return FOnError; }
  void setOnError(TErrorEvent h) { FOnError = std::move(h); }
  TExpandEvent OnExpand() const { return FOnExpand; }
  void setOnExpand(TExpandEvent h) { FOnExpand = std::move(h); }
  TPITrailEvent OnPITrail() const { return FOnPITrail; }
  void setOnPITrail(TPITrailEvent h) { FOnPITrail = std::move(h); }
  TStartTransferEvent OnStartTransfer() const { return FOnStartTransfer; }
  void setOnStartTransfer(TStartTransferEvent h) { FOnStartTransfer = std::move(h); }
  TTransferEvent OnTransfer() const { return FOnTransfer; }
  void setOnTransfer(TTransferEvent h) { FOnTransfer = std::move(h); }

 protected:
  bool hasHandler(int eventId) const override;
  void deliverEvent(int eventId, const TpelEventArgs &args) override;

 private:
  // The published enumeration properties as the property system sees them.
  int FirewallTypeValue() const { return FirewallType(); }
  void setFirewallTypeValue(int v) { setInt(PELNET_SMTP_PROP_FirewallType, v); }
  int ImportanceValue() const { return Importance(); }
  void setImportanceValue(int v) { setInt(PELNET_SMTP_PROP_Importance, v); }
  int PriorityValue() const { return Priority(); }
  void setPriorityValue(int v) { setInt(PELNET_SMTP_PROP_Priority, v); }
  int SensitivityValue() const { return Sensitivity(); }
  void setSensitivityValue(int v) { setInt(PELNET_SMTP_PROP_Sensitivity, v); }

  TConnectionStatusEvent FOnConnectionStatus;
  TEndTransferEvent FOnEndTransfer;
  TErrorEvent FOnError;
  TExpandEvent FOnExpand;
  TPITrailEvent FOnPITrail;
  TStartTransferEvent FOnStartTransfer;
  TTransferEvent FOnTransfer;
};
