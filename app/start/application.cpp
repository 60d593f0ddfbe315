#include "start/application.h"

#include <QIcon>
#include <QMessageBox>

#include <cstdio>

namespace {

bool ExceptionReportToStandardError = false;

}  // namespace

TApplication::TApplication(int& Argc, char** Argv) : QApplication(Argc, Argv) {
  // The application name serves as title: message boxes and the window
  // caption show it. (A display name would make Qt append it to captions.)
  setApplicationName(QString::fromLatin1(Title));
  // Every window of the program (message boxes, the read-me) carries it.
  setWindowIcon(QIcon(QString::fromLatin1(ProgramIconResource)));
}

bool TApplication::notify(QObject* Receiver, QEvent* Event) {
  try {
    return QApplication::notify(Receiver, Event);
  } catch (...) {
    ShowExceptionReport(ExceptionMessageText(std::current_exception()));
    return false;
  }
}

THeadlessApplication::THeadlessApplication(int& Argc, char** Argv) : QCoreApplication(Argc, Argv) {
  setApplicationName(QString::fromLatin1(TApplication::Title));
}

bool THeadlessApplication::notify(QObject* Receiver, QEvent* Event) {
  try {
    return QCoreApplication::notify(Receiver, Event);
  } catch (...) {
    ShowExceptionReport(ExceptionMessageText(std::current_exception()));
    return false;
  }
}

QString ExceptionMessageText(const std::exception_ptr& Error) {
  try {
    if (Error)
      std::rethrow_exception(Error);
  } catch (const std::exception& E) {
    return QString::fromUtf8(E.what());
  } catch (...) {
  }
  return QStringLiteral("Unknown exception.");
}

void SetExceptionReportToStandardError(bool ToStandardError) {
  ExceptionReportToStandardError = ToStandardError;
}

void ShowExceptionReport(const QString& MessageText) {
  if (ExceptionReportToStandardError) {
    std::fprintf(stderr, "dervik: %s\n", MessageText.toLocal8Bit().constData());
    std::fflush(stderr);
    return;
  }
  QMessageBox::critical(QApplication::activeWindow(), QCoreApplication::applicationName(), MessageText,
                        QMessageBox::Ok);
}
