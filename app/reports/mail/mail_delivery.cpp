#include "reports/mail/mail_delivery.h"

#include "reports/mail/mail_queue.h"
#include "pelnet/runtime/errors.h"
#include "pelsmtp.h"

#include <QDir>
#include <QFileInfo>

namespace {

constexpr int CodeWaitEnded = pelnet::kWaitEnded;
constexpr int CodeConnectionAborted = pelnet::kWsaConnAborted;
constexpr int CodeConnectionReset = pelnet::kWsaConnReset;
constexpr int CodeNotConnected = pelnet::kWsaNotConnected;  // the connection was gone before the next command

// The name of a queue file in the state State ("failed", "queued"), from its name in another.
QString InState(const QString& Name, const QString& State) {
  return Name.left(Name.lastIndexOf(QLatin1Char('.')) + 1) + State;
}

// Listens to ProcessQueue's notes for the file being delivered, for as long
// as it lives; the window assigns no handler of its own to OnPITrail.
class TQueueNotes {
public:
  explicit TQueueNotes(TpelSMTP& Smtp) : FSmtp(Smtp) {
    FSmtp.setOnPITrail([this](QObject*, int /*Direction*/, const QString& Message) {
      const QString Name = QueuedFileOfNote(Message);
      if (!Name.isEmpty())
        FDelivering = Name;
      const QString Damaged = DamagedQueueFileOfNote(Message);
      if (!Damaged.isEmpty())
        FDamaged.append(Damaged);
    });
  }
  ~TQueueNotes() { FSmtp.setOnPITrail(nullptr); }
  TQueueNotes(const TQueueNotes&) = delete;
  TQueueNotes& operator=(const TQueueNotes&) = delete;

  // The ".queued" name of the file the last ProcessQueue was delivering.
  const QString& Delivering() const { return FDelivering; }
  void Clear() { FDelivering.clear(); }
  // Files set aside as damaged so far, where they now lie.
  const QStringList& Damaged() const { return FDamaged; }

private:
  TpelSMTP& FSmtp;
  QString FDelivering;
  QStringList FDamaged;
};

// Why the report was not sent: the code, and the message with what it leaves out.
struct TMailFailure {
  int Code;
  QString Text;
};

TMailFailure Explained(const EPelnet& E, const TpelSMTP& Smtp) {
  return {E.Code(), MailFailureText(E, Smtp.LastReply(), Smtp.Timeout())};
}

// The rounds of DeliverQueued: each ProcessQueue either ends the queue or
// takes one file out of it for good.
std::optional<TMailFailure> DeliverQueuedRounds(TpelSMTP& Smtp, const QString& QueueDir, TQueueNotes& Notes,
                                                QStringList& Lost) {
  QDir Dir(QueueDir);
  const qsizetype Rounds =
      Dir.entryList({QStringLiteral("*.queued"), QStringLiteral("*.sending")}, QDir::Files).size() + 1;
  for (qsizetype Round = 0; Round < Rounds; ++Round) {
    Notes.Clear();
    try {
      Smtp.ProcessQueue(QueueDir);
      return std::nullopt;
    } catch (const EPelnet& E) {
      const QString& Delivering = Notes.Delivering();
      const QString Failed = InState(Delivering, QStringLiteral("failed"));
      if (MailFailureIsTemporary(E.Code(), E.Message())) {
        // Refused for now or cut off: the file waits for the next report
        // under its name, with the ones not reached yet.
        if (!Delivering.isEmpty())
          Dir.rename(Failed, Delivering);
        if (MailServerUnreachable(E.Code()))
          return Explained(E, Smtp);
        return std::nullopt;
      }
      // A failure that is not about one file (the folder unreadable): this report still goes.
      if (Delivering.isEmpty() || !QFileInfo::exists(Dir.filePath(Failed)))
        return std::nullopt;
      Lost.append(QStringLiteral("%1: %2").arg(Dir.filePath(Failed), Explained(E, Smtp).Text));
    }
  }
  return std::nullopt;
}

// Delivers what waits in QueueDir. A queued report that the server refuses
// for good stays ".failed" and is added to Lost, and delivery goes on with
// the rest, so one such report never holds up the others. Returns the
// failure when the server could not be reached: this report would not reach
// it either.
std::optional<TMailFailure> DeliverQueued(TpelSMTP& Smtp, const QString& QueueDir, QStringList& Lost) {
  TQueueNotes Notes(Smtp);
  std::optional<TMailFailure> Failure = DeliverQueuedRounds(Smtp, QueueDir, Notes, Lost);
  for (const QString& Damaged : Notes.Damaged())
    Lost.append(QStringLiteral("%1: not a whole queue file, set aside unsent").arg(Damaged));
  return Failure;
}

// Ends the connection a failed delivery may have left: a server that closed
// a stale one meanwhile would make the next report look unreachable. A
// refusing server gets its QUIT; a lost or silent one is not waited for again.
void DropConnection(TpelSMTP& Smtp, int FailureCode) {
  try {
    if (FailureCode == CodeSMTPRefused)
      Smtp.Disconnect();
    else
      Smtp.setConnected(false);
  } catch (const EPelnet&) {
    // The connection is closed either way.
  }
}

}  // namespace

QString MailFailureText(const EPelnet& Failure, const QString& LastReply, int TimeoutSeconds) {
  const QString Message = Failure.Message();
  const int Code = Failure.Code();
  // A reply that explains a close (421 and the like); an older 2xx would only mislead.
  const bool Refusal = LastReply.startsWith(QLatin1Char('4')) || LastReply.startsWith(QLatin1Char('5'));
  const QString Closed =
      Refusal ? QStringLiteral(" (the server closed the connection after \"%1\")").arg(LastReply)
              : QStringLiteral(" (the server closed the connection)");
  // A wait ends with "Timeout." when the server kept silent; with
  // "Interrupted." or a socket's text when the connection went away under it.
  if (Code == CodeWaitEnded)
    return Message.endsWith(QLatin1String("Timeout."))
               ? Message + QStringLiteral(" (no answer within %1 s; [SMTP] Timeout)").arg(TimeoutSeconds)
               : Message + Closed;
  if (Code == CodeConnectionAborted || Code == CodeConnectionReset || Code == CodeNotConnected)
    return Message + Closed;
  return Message;
}

TMailDelivery DeliverThroughQueue(TpelSMTP& Smtp, const QString& QueueDir,
                                  const std::optional<EPelnet>& LookupFailure) {
  TMailDelivery Out;
  // A folder that is not there yet is made; one that cannot be made fails at Queue.
  QDir().mkpath(QueueDir);
  std::optional<TMailFailure> Failure;
  if (LookupFailure)
    Failure = TMailFailure{LookupFailure->Code(), LookupFailure->Message()};
  else
    Failure = DeliverQueued(Smtp, QueueDir, Out.LostQueuedReports);
  if (!Failure) {
    try {
      Smtp.Send();
      return Out;
    } catch (const EPelnet& E) {
      Failure = Explained(E, Smtp);
      if (!MailFailureIsTemporary(E.Code(), E.Message())) {
        Out.Result = rrFailed;
        Out.Text = Failure->Text;
        Out.Code = Failure->Code;
        return Out;
      }
    }
  }
  DropConnection(Smtp, Failure->Code);
  Out.Code = Failure->Code;
  try {
    const QString FileName = Smtp.Queue(QueueDir);
    Out.Result = rrQueued;
    Out.Text =
        QStringLiteral("Mail report queued as %1 for the next report: %2").arg(FileName, Failure->Text);
  } catch (const EPelnet& E) {
    // Both failures: why it was not sent, and why it could not be kept.
    Out.Result = rrFailed;
    Out.Text = QStringLiteral("%1 (not queued: %2)").arg(Failure->Text, E.Message());
  }
  return Out;
}
