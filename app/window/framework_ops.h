// The operations the application needs from the window framework, mapped
// onto Qt once so that the window's code reads like the commands it runs.
#pragma once

#include <QEvent>
#include <QString>

class QObject;
class QWidget;

// Dispatches every queued event, repaints included, without waiting for new
// ones; lets the window show progress in the middle of a long command.
void HandlePendingMessages();

// A private window message: posted, queued behind everything posted before
// it, and handled by the window's handler for its number.
class TWindowMessageEvent : public QEvent {
public:
  explicit TWindowMessageEvent(int Message) : QEvent(EventType()), FMessage(Message) {}
  int Message() const { return FMessage; }
  static QEvent::Type EventType();

private:
  int FMessage;
};

void PostWindowMessage(QObject* Window, int Message);

// Closes Window later, as if the user had closed it, after the events posted
// before the request.
void PostCloseRequest(QWidget* Window);

// The hourglass while Busy, the default cursor otherwise. Setting the same
// state twice has no further effect, as with a screen-wide cursor property.
void SetHourglassCursor(bool Busy);

// An information box with a single OK button; returns when it is closed.
// A carriage return in Text starts a new line.
void ShowInformationMessage(QWidget* Parent, const QString& Text);

// Asks the desktop to apply Verb to FileName with its associated program.
// Only "open" is known. False when the file does not exist, the verb is
// unknown or no opener could be started; returns without waiting for it.
bool ExecuteFile(const QString& FileName, const QString& Verb);

// Blocks the thread without handling any event.
void WaitMilliseconds(int Milliseconds);
