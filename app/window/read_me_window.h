// Help > Read me when the desktop cannot open the read-me: a simple
// read-only window of our own that shows the file, and the opener that
// decides when it is needed.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QWidget>

class QPlainTextEdit;

// A top-level window with the text of one file, read-only, deleted when it
// is closed.
class TReadMeWindow : public QWidget {
public:
  // Files beyond this size are shown up to it; a read-me is a few kilobytes.
  static constexpr qint64 MaxShownBytes = 4 * 1024 * 1024;

  explicit TReadMeWindow(const QString& FileName, QWidget* Parent = nullptr);
  QPlainTextEdit* Text = nullptr;
  const QString& FileName() const { return FFileName; }

private:
  QString FFileName;
};

// Shows FileName in a TReadMeWindow (one per file: a second request raises
// the window already open) and returns it.
TReadMeWindow* ShowReadMeWindow(const QString& FileName);

// The desktop's opener for local files, installed as the handler of "file"
// URLs so that the window's "open" goes through it. It starts the opener
// command with the file (its output discarded, so nothing reaches our
// standard error) and, when the command cannot be started or ends with a
// failure (no viewer for the file's type), shows the file in a
// TReadMeWindow instead.
class TDesktopFileOpener : public QObject {
  Q_OBJECT

public:
  explicit TDesktopFileOpener(QStringList Command = {QStringLiteral("xdg-open")}, QObject* Parent = nullptr);
  ~TDesktopFileOpener() override;
  // Makes this object the handler of "file" URLs until it is destroyed.
  void Install();
  // Opener commands started and not yet ended.
  int Running() const { return FRunning; }

public slots:
  void Open(const QUrl& Url);

private:
  QStringList FCommand;
  bool FInstalled = false;
  int FRunning = 0;
};
