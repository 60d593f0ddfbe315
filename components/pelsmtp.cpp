#include "pelsmtp.h"

TpelSMTP::TpelSMTP(QObject *owner) : TpelCore(owner, SMTPComponent()) {
  // Design defaults in this order, each on its own so a refused one does not
  // stop the others.  AuthScheme has no accessor: it is set here and stays.
  guarded([&] { setInt(PELNET_SMTP_PROP_AuthScheme, PELNET_SMTP_asLogin); });
  guarded([&] { setBCc(QString()); });
  guarded([&] { setCc(QString()); });
  guarded([&] { setDeliveryNotificationTo(QString()); });
  guarded([&] { setFirewallAutoDetect(false); });
  guarded([&] { setFirewallType(fwNone); });
  guarded([&] { setFirewallHost(QString()); });
  guarded([&] { setFirewallPassword(QString()); });
  guarded([&] { setFirewallPort(0); });
  guarded([&] { setFirewallUser(QString()); });
  guarded([&] { setFrom(QString()); });
  guarded([&] { setImportance(miUnspecified); });
  guarded([&] { setMailServer(QString()); });
  guarded([&] { setMessage(QString()); });
  guarded([&] { setMessageText(QString()); });
  guarded([&] { setPriority(epUnspecified); });
  guarded([&] { setReadReceiptTo(QString()); });
  guarded([&] { setReplyTo(QString()); });
  guarded([&] { setReturnPath(QString()); });
  guarded([&] { setSendTo(QString()); });
  guarded([&] { setSensitivity(esUnspecified); });
  guarded([&] { setSubject(QString()); });
  guarded([&] { setTimeout(60); });
}

void TpelSMTP::SetMessage(const char *lpMessage, int lenMessage) {
  setBytes(PELNET_SMTP_PROP_Message,
           lpMessage && lenMessage > 0 ? QByteArray(lpMessage, lenMessage) : QByteArray());
}

bool TpelSMTP::hasHandler(int eventId) const {
  switch (eventId) {
    case PELNET_SMTP_EVENT_ConnectionStatus:
      return bool(FOnConnectionStatus);
    case PELNET_SMTP_EVENT_EndTransfer:
      return bool(FOnEndTransfer);
    case PELNET_SMTP_EVENT_Error:
      return bool(FOnError);
    case PELNET_SMTP_EVENT_Expand:
      return bool(FOnExpand);
    case PELNET_SMTP_EVENT_PITrail:
      return bool(FOnPITrail);
    case PELNET_SMTP_EVENT_StartTransfer:
      return bool(FOnStartTransfer);
    case PELNET_SMTP_EVENT_Transfer:
      return bool(FOnTransfer);
    default:
      return false;
  }
}

void TpelSMTP::deliverEvent(int eventId, const TpelEventArgs &a) {
  // Copies: a handler may replace the handler slot it runs from.
  switch (eventId) {
    case PELNET_SMTP_EVENT_ConnectionStatus:
      if (TConnectionStatusEvent h = FOnConnectionStatus)
        h(this, a.text(0), static_cast<int>(a.integer(1)), a.text(2));
      break;
    case PELNET_SMTP_EVENT_EndTransfer:
      if (TEndTransferEvent h = FOnEndTransfer) h(this, static_cast<int>(a.integer(0)));
      break;
    case PELNET_SMTP_EVENT_Error:
      if (TErrorEvent h = FOnError) h(this, static_cast<int>(a.integer(0)), a.text(1));
      break;
    case PELNET_SMTP_EVENT_Expand:
      if (TExpandEvent h = FOnExpand) h(this, a.text(0));
      break;
    case PELNET_SMTP_EVENT_PITrail:
      if (TPITrailEvent h = FOnPITrail) h(this, static_cast<int>(a.integer(0)), a.text(1));
      break;
    case PELNET_SMTP_EVENT_StartTransfer:
      if (TStartTransferEvent h = FOnStartTransfer) h(this, static_cast<int>(a.integer(0)));
      break;
    case PELNET_SMTP_EVENT_Transfer:
      if (TTransferEvent h = FOnTransfer)
        h(this, static_cast<int>(a.integer(0)), a.int64(1), static_cast<int>(a.integer(2)));
      break;
    default:
      break;
  }
}
