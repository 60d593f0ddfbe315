// Answers the next modal message box from inside its own event loop and
// records what it showed, so that commands which open one can be tested.
#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QString>
#include <QTimer>

class TModalBoxCatcher {
 public:
  TModalBoxCatcher() {
    FTimer.setInterval(10);
    QObject::connect(&FTimer, &QTimer::timeout, [this] {
      if (auto *Box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
        ++FCount;
        FText = Box->text();
        FTitle = Box->windowTitle();
        FIcon = Box->icon();
        FButtons = Box->standardButtons();
        Box->accept();
      }
    });
    FTimer.start();
  }

  int Count() const { return FCount; }
  const QString &Text() const { return FText; }
  const QString &Title() const { return FTitle; }
  QMessageBox::Icon Icon() const { return FIcon; }
  QMessageBox::StandardButtons Buttons() const { return FButtons; }

 private:
  QTimer FTimer;
  int FCount = 0;
  QString FText;
  QString FTitle;
  QMessageBox::Icon FIcon = QMessageBox::NoIcon;
  QMessageBox::StandardButtons FButtons;
};
