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

// The files the last ProcessQueue took up, as the component reports them.
QList<TQueuedFile> QueuedFilesOf(const TpelSMTP& Smtp) {
  QList<TQueuedFile> Files;
  const int Count = Smtp.QueueFileCount();
  for (int I = 0; I < Count; ++I) {
    const auto Index = static_cast<quint16>(I);
    Files.append({Smtp.QueueFileName(Index), Smtp.QueueFileOutcome(Index), Smtp.QueueFilePath(Index)});
  }
  return Files;
}

// Why the report was not sent: the code, and the message with what it leaves out.
struct TMailFailure {
  int Code;
  QString Text;
};

TMailFailure Explained(const EPelnet& E, const TpelSMTP& Smtp) {
  return {E.Code(), MailFailureText(E, Smtp)};
}

// The rounds of DeliverQueued: each ProcessQueue either ends the queue or
// takes one file out of it for good.
std::optional<TMailFailure> DeliverQueuedRounds(TpelSMTP& Smtp, const QString& QueueDir, QStringList& Damaged,
                                                QStringList& Lost) {
  QDir Dir(QueueDir);
  const qsizetype Rounds =
      Dir.entryList({QStringLiteral("*.queued"), QStringLiteral("*.sending")}, QDir::Files).size() + 1;
  for (qsizetype Round = 0; Round < Rounds; ++Round) {
    try {
      Smtp.ProcessQueue(QueueDir);
      Damaged += DamagedQueueFiles(QueuedFilesOf(Smtp));
      return std::nullopt;
    } catch (const EPelnet& E) {
      const QList<TQueuedFile> Files = QueuedFilesOf(Smtp);
      Damaged += DamagedQueueFiles(Files);
      const QString Delivering = FailedQueueFile(Files);
      const QString Failed = InState(Delivering, QStringLiteral("failed"));
      if (MailFailureIsTemporary(E.Code(), Smtp.RefusedReplyCode())) {
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
  QStringList DamagedFiles;
  std::optional<TMailFailure> Failure = DeliverQueuedRounds(Smtp, QueueDir, DamagedFiles, Lost);
  for (const QString& Damaged : DamagedFiles)
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

TMailFailureFacts MailFailureFactsOf(const TpelSMTP& Smtp) {
  return {Smtp.LastReply(), Smtp.LastReplyCode(), Smtp.TimedOut(), Smtp.Timeout()};
}

QString MailFailureText(const EPelnet& Failure, const TpelSMTP& Smtp) {
  return MailFailureText(Failure, MailFailureFactsOf(Smtp));
}

QString MailFailureText(const EPelnet& Failure, const TMailFailureFacts& Facts) {
  const QString Message = Failure.Message();
  const int Code = Failure.Code();
  // A reply that explains a close (421 and the like); an older 2xx would only mislead.
  const bool Refusal = Facts.LastReplyCode >= 400 && Facts.LastReplyCode < 600;
  const QString Closed =
      Refusal ? QStringLiteral(" (the server closed the connection after \"%1\")").arg(Facts.LastReply)
              : QStringLiteral(" (the server closed the connection)");
  // A wait ends by its deadline when the server kept silent; by an interrupt
  // or a socket's failure when the connection went away under it.
  if (Code == CodeWaitEnded)
    return Facts.TimedOut
               ? Message +
                     QStringLiteral(" (no answer within %1 s; [SMTP] Timeout)").arg(Facts.TimeoutSeconds)
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
      if (!MailFailureIsTemporary(E.Code(), Smtp.RefusedReplyCode())) {
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
