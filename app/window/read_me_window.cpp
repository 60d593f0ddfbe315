#include "window/read_me_window.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProcess>
#include <QVBoxLayout>

TReadMeWindow::TReadMeWindow(const QString& FileName, QWidget* Parent)
    : QWidget(Parent, Qt::Window), FFileName(FileName) {
  setObjectName(QStringLiteral("ReadMeWindow"));
  setAttribute(Qt::WA_DeleteOnClose);
  // Closing the main window ends the program also while this one is open.
  setAttribute(Qt::WA_QuitOnClose, false);
  setWindowTitle(QFileInfo(FileName).fileName() + QStringLiteral(" - ") +
                 QCoreApplication::applicationName());
  auto* Layout = new QVBoxLayout(this);
  Layout->setContentsMargins(0, 0, 0, 0);
  Text = new QPlainTextEdit(this);
  Text->setObjectName(QStringLiteral("ReadMeText"));
  Text->setReadOnly(true);
  Text->setLineWrapMode(QPlainTextEdit::NoWrap);
  Text->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  Layout->addWidget(Text);
  QFile File(FileName);
  if (File.open(QIODevice::ReadOnly))
    Text->setPlainText(QString::fromUtf8(File.read(MaxShownBytes)));
  else
    Text->setPlainText(QStringLiteral("%1 cannot be read: %2").arg(FileName, File.errorString()));
  resize(640, 480);
}

TReadMeWindow* ShowReadMeWindow(const QString& FileName) {
  for (QWidget* Window : QApplication::topLevelWidgets()) {
    auto* Shown = dynamic_cast<TReadMeWindow*>(Window);
    if (Shown != nullptr && Shown->FileName() == FileName) {
      Shown->show();
      Shown->raise();
      Shown->activateWindow();
      return Shown;
    }
  }
  auto* Window = new TReadMeWindow(FileName);
  Window->show();
  return Window;
}

TDesktopFileOpener::TDesktopFileOpener(QStringList Command, QObject* Parent)
    : QObject(Parent), FCommand(std::move(Command)) {}

TDesktopFileOpener::~TDesktopFileOpener() {
  if (FInstalled)
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
}

void TDesktopFileOpener::Install() {
  QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "Open");
  FInstalled = true;
}

void TDesktopFileOpener::Open(const QUrl& Url) {
  const QString FileName = Url.toLocalFile();
  if (FCommand.isEmpty()) {
    ShowReadMeWindow(FileName);
    return;
  }
  auto* Process = new QProcess(this);
  Process->setProgram(FCommand.front());
  Process->setArguments(FCommand.mid(1) << FileName);
  Process->setStandardOutputFile(QProcess::nullDevice());
  Process->setStandardErrorFile(QProcess::nullDevice());
  ++FRunning;
  connect(Process, &QProcess::errorOccurred, this, [this, Process, FileName](QProcess::ProcessError Error) {
    if (Error != QProcess::FailedToStart)
      return;  // a crash also ends in finished()
    --FRunning;
    ShowReadMeWindow(FileName);
    Process->deleteLater();
  });
  connect(Process, &QProcess::finished, this,
          [this, Process, FileName](int ExitCode, QProcess::ExitStatus Status) {
            --FRunning;
            if (Status != QProcess::NormalExit || ExitCode != 0)
              ShowReadMeWindow(FileName);
            Process->deleteLater();
          });
  Process->start();
}
