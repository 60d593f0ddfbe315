// Stands in for the desktop's opener: records the files the program asks to
// open instead of starting a program.
#pragma once

#include <QDesktopServices>
#include <QList>
#include <QObject>
#include <QUrl>

class TUrlRecorder : public QObject {
  Q_OBJECT

 public:
  TUrlRecorder() { QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "Open"); }
  ~TUrlRecorder() override { QDesktopServices::unsetUrlHandler(QStringLiteral("file")); }
  QList<QUrl> Opened;

 public slots:
  void Open(const QUrl &Url) { Opened.append(Url); }
};
