// The application object: its title, and the default exception report that
// keeps the message loop running when a command fails.
#pragma once

#include <QApplication>
#include <QString>

#include <exception>
#include <utility>

// The program's icon, carried inside it (also installed for the desktop
// entry as share/icons/hicolor/128x128/apps/dervik.png).
inline constexpr const char* ProgramIconResource = ":/dervik/dervik.png";

class TApplication : public QApplication {
public:
  static constexpr const char* Title = "Pelorin";

  // The process must have dropped QT_NO_GLIB from its environment before:
  // the network cores rely on the GLib event dispatcher.
  TApplication(int& Argc, char** Argv);

  // Every event passes here: an exception that escapes its handler is
  // reported to the user and the loop goes on with the next event.
  bool notify(QObject* Receiver, QEvent* Event) override;
};

// The application object of an automatic run where no window can be seen:
// the same title and the same guard around every event, but no platform
// plugin, no fonts and no widgets, which such a run would only pay for.
class THeadlessApplication : public QCoreApplication {
public:
  // As for TApplication, without QT_NO_GLIB in the environment.
  THeadlessApplication(int& Argc, char** Argv);
  bool notify(QObject* Receiver, QEvent* Event) override;
};

// The message text of an exception: what() of a standard exception (UTF-8),
// or a general text for anything else.
QString ExceptionMessageText(const std::exception_ptr& Error);

// The default exception report: an error box with the message text, or a
// line on standard error where no window can be seen (after
// SetExceptionReportToStandardError(true)), since an error box nobody can
// close would stop the program for good.
void ShowExceptionReport(const QString& MessageText);
void SetExceptionReportToStandardError(bool ToStandardError);

// Runs a command; an exception escaping it goes to the default exception
// report instead of unwinding through the window framework.
template <class TCommand>
void RunGuarded(TCommand&& Command) {
  try {
    std::forward<TCommand>(Command)();
  } catch (...) {
    ShowExceptionReport(ExceptionMessageText(std::current_exception()));
  }
}
