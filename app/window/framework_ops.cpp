#include "window/framework_ops.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QThread>
#include <QUrl>
#include <QWidget>

void HandlePendingMessages() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

QEvent::Type TWindowMessageEvent::EventType() {
  static const auto Type = static_cast<QEvent::Type>(QEvent::registerEventType());
  return Type;
}

void PostWindowMessage(QObject* Window, int Message) {
  QCoreApplication::postEvent(Window, new TWindowMessageEvent(Message));
}

void PostCloseRequest(QWidget* Window) {
  // A queued call is a posted event too, so it keeps its place behind
  // window messages posted earlier.
  QMetaObject::invokeMethod(Window, &QWidget::close, Qt::QueuedConnection);
}

void SetHourglassCursor(bool Busy) {
  static bool Shown = false;  // the one GUI thread owns it
  if (Busy == Shown)
    return;
  if (Busy)
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
  else
    QGuiApplication::restoreOverrideCursor();
  Shown = Busy;
}

void ShowInformationMessage(QWidget* Parent, const QString& Text) {
  // A carriage return alone breaks the line, as callers write it.
  QString Shown = Text;
  Shown.replace(QLatin1String("\r\n"), QLatin1String("\n")).replace(u'\r', u'\n');
  QMessageBox::information(Parent, QCoreApplication::applicationName(), Shown, QMessageBox::Ok);
}

bool ExecuteFile(const QString& FileName, const QString& Verb) {
  if (Verb.compare(QLatin1String("open"), Qt::CaseInsensitive) != 0 || !QFileInfo::exists(FileName))
    return false;
  return QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(FileName).absoluteFilePath()));
}

void WaitMilliseconds(int Milliseconds) {
  if (Milliseconds > 0)
    QThread::msleep(static_cast<unsigned long>(Milliseconds));
}
