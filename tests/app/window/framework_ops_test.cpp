#include "start/application.h"
#include "window/form_main.h"
#include "window/framework_ops.h"
#include "modal_box.h"
#include "start/program_files.h"
#include "temp_folder.h"
#include "url_recorder.h"

#include <gtest/gtest.h>

#include <QCursor>
#include <QGuiApplication>
#include <QTest>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

using TLog = std::vector<std::string>;

// An object that logs the events posted to it, and throws for one kind.
class TEventLogger : public QObject {
 public:
  static QEvent::Type LogType() {
    static const auto Type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return Type;
  }
  static QEvent::Type ThrowType() {
    static const auto Type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return Type;
  }
  explicit TEventLogger(TLog &Log) : FLog(Log) {}
  bool event(QEvent *Event) override {
    if (Event->type() == LogType()) {
      FLog.push_back("other");
      return true;
    }
    if (Event->type() == ThrowType()) throw std::runtime_error("event handler failed: 42");
    return QObject::event(Event);
  }

 private:
  TLog &FLog;
};

class WindowOpsTest : public testing::Test {
 protected:
  void SetUp() override {
    Form =
        std::make_unique<TFormMain>(TFormMain::TStartup{Temp.file(QStringLiteral("dervik")), {}});
    for (int Message : {1, 2, 3})
      Form->SetWindowMessageHandler(
          Message, [this, Message] { Log.push_back("message " + std::to_string(Message)); });
  }

  testsupport::TempFolder Temp;
  TLog Log;
  std::unique_ptr<TFormMain> Form;
};

TEST_F(WindowOpsTest, PostedMessagesAreHandledInOrderAfterEarlierOnes) {
  TEventLogger Other(Log);
  PostWindowMessage(Form.get(), 1);
  QCoreApplication::postEvent(&Other, new QEvent(TEventLogger::LogType()));
  PostWindowMessage(Form.get(), 2);
  PostWindowMessage(Form.get(), 99);  // no handler: ignored
  EXPECT_TRUE(Log.empty()) << "posting handles nothing";
  HandlePendingMessages();
  EXPECT_EQ(Log, (TLog{"message 1", "other", "message 2"}));
}

TEST_F(WindowOpsTest, WaitHandlesNoMessages) {
  PostWindowMessage(Form.get(), 1);
  WaitMilliseconds(20);
  EXPECT_TRUE(Log.empty());
  HandlePendingMessages();
  EXPECT_EQ(Log, TLog{"message 1"});
}

TEST_F(WindowOpsTest, CloseRequestComesAfterEarlierMessages) {
  Form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
  Form->SetWindowMessageHandler(
      4, [this] { Log.push_back(Form->isVisible() ? "visible" : "closed"); });
  PostWindowMessage(Form.get(), 4);
  PostCloseRequest(Form.get());
  EXPECT_TRUE(Form->isVisible());
  HandlePendingMessages();
  EXPECT_EQ(Log, TLog{"visible"});
  EXPECT_FALSE(Form->isVisible());
}

TEST_F(WindowOpsTest, ExceptionFromAMessageHandlerIsReportedAndTheLoopGoesOn) {
  Form->SetWindowMessageHandler(
      5, [] { throw std::runtime_error("the check failed: 301: Timeout."); });
  const TModalBoxCatcher Box;
  PostWindowMessage(Form.get(), 5);
  PostWindowMessage(Form.get(), 1);
  HandlePendingMessages();
  EXPECT_EQ(Box.Count(), 1);
  EXPECT_EQ(Box.Text(), QStringLiteral("the check failed: 301: Timeout."));
  EXPECT_EQ(Box.Icon(), QMessageBox::Critical);
  EXPECT_EQ(Log, TLog{"message 1"});
}

TEST(DefaultExceptionReport, ExceptionEscapingAnEventHandlerIsShown) {
  TLog Log;
  TEventLogger Target(Log);
  const TModalBoxCatcher Box;
  QCoreApplication::postEvent(&Target, new QEvent(TEventLogger::ThrowType()));
  QCoreApplication::postEvent(&Target, new QEvent(TEventLogger::LogType()));
  HandlePendingMessages();
  EXPECT_EQ(Box.Count(), 1);
  EXPECT_EQ(Box.Text(), QStringLiteral("event handler failed: 42"));
  EXPECT_EQ(Box.Title(), QStringLiteral("Pelorin"));
  EXPECT_EQ(Log, TLog{"other"});
}

TEST(DefaultExceptionReport, MessageTexts) {
  EXPECT_EQ(ExceptionMessageText(
                std::make_exception_ptr(std::runtime_error("10061: Connection refused"))),
            QStringLiteral("10061: Connection refused"));
  EXPECT_EQ(ExceptionMessageText(std::make_exception_ptr(std::runtime_error("Gr\xC3\xBC\xC3\x9F"
                                                                            "e"))),
            QString::fromUtf8("Gr\xC3\xBC\xC3\x9F"
                              "e"));
  EXPECT_EQ(ExceptionMessageText(std::make_exception_ptr(42)),
            QStringLiteral("Unknown exception."));
}

TEST(HourglassCursor, SetTwiceRestoredOnce) {
  SetHourglassCursor(true);
  SetHourglassCursor(true);
  ASSERT_NE(QGuiApplication::overrideCursor(), nullptr);
  EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
  SetHourglassCursor(false);
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
  SetHourglassCursor(false);
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST(ExecuteFile, OpensExistingFilesWithTheOpenVerbOnly) {
  const testsupport::TempFolder Temp;
  const TUrlRecorder Opener;
  const QString File = Temp.writeText(QStringLiteral("ReadMe.txt"), QStringLiteral("text"));
  EXPECT_FALSE(ExecuteFile(Temp.file(QStringLiteral("missing.txt")), QStringLiteral("open")));
  EXPECT_FALSE(ExecuteFile(File, QStringLiteral("print")));
  EXPECT_TRUE(Opener.Opened.isEmpty());
  EXPECT_TRUE(ExecuteFile(File, QStringLiteral("open")));
  EXPECT_EQ(Opener.Opened, QList<QUrl>{QUrl::fromLocalFile(File)});
}

}  // namespace
