// Help > Read me when the desktop cannot open the read-me: the program's
// opener shows it in a read-only window of its own; when the desktop's
// opener succeeds, no window of ours appears.
#include "window/form_main.h"
#include "start/program_files.h"
#include "qt_printers.h"
#include "window/read_me_window.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDesktopServices>
#include <QFile>
#include <QPlainTextEdit>
#include <QTest>
#include <QUrl>

#include <memory>

namespace {

QList<TReadMeWindow *> ReadMeWindows() {
  QList<TReadMeWindow *> Windows;
  for (QWidget *Window : QApplication::topLevelWidgets())
    if (auto *ReadMe = dynamic_cast<TReadMeWindow *>(Window);
        ReadMe != nullptr && ReadMe->isVisible())
      Windows.append(ReadMe);
  return Windows;
}

void CloseReadMeWindows() {
  for (TReadMeWindow *Window : ReadMeWindows()) Window->close();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

const QString Text = QString::fromUtf8("Dervik\n\nA line with \xC3\xBC and a tab\there.\n");

struct TOpenerCase {
  const char *Name;
  QStringList Command;
  bool OwnWindow;
};

const TOpenerCase OpenerCases[] = {
    {"opener_fails",
     {QStringLiteral("sh"), QStringLiteral("-c"), QStringLiteral("exit 3"), QStringLiteral("sh")},
     true},
    {"opener_missing", {QStringLiteral("/nonexistent/xdg-open")}, true},
    {"opener_crashes",
     {QStringLiteral("sh"), QStringLiteral("-c"), QStringLiteral("kill -SEGV $$"),
      QStringLiteral("sh")},
     true},
    {"opener_succeeds",
     {QStringLiteral("sh"), QStringLiteral("-c"), QStringLiteral("test -f \"$1\""),
      QStringLiteral("sh")},
     false},
};

class ReadMeOpenerTest : public testing::TestWithParam<TOpenerCase> {
 protected:
  void TearDown() override { CloseReadMeWindows(); }
  testsupport::TempFolder Temp;
};

TEST_P(ReadMeOpenerTest, OwnWindowOnlyWhenTheDesktopCannotOpenIt) {
  const TOpenerCase &Case = GetParam();
  const QString ReadMe = Temp.writeText(QStringLiteral("ReadMe.txt"), Text);
  TDesktopFileOpener Opener(Case.Command);
  Opener.Install();
  ASSERT_TRUE(QDesktopServices::openUrl(QUrl::fromLocalFile(ReadMe)));
  ASSERT_TRUE(QTest::qWaitFor([&] { return Opener.Running() == 0; }, 20000))
      << "the opener never ended";
  QCoreApplication::processEvents();
  const QList<TReadMeWindow *> Windows = ReadMeWindows();
  if (!Case.OwnWindow) {
    EXPECT_TRUE(Windows.isEmpty());
    return;
  }
  ASSERT_EQ(Windows.size(), 1);
  const TReadMeWindow *Window = Windows.front();
  EXPECT_EQ(Window->FileName(), ReadMe);
  EXPECT_EQ(Window->Text->toPlainText(), Text);
  EXPECT_TRUE(Window->Text->isReadOnly());
  EXPECT_FALSE(Window->testAttribute(Qt::WA_QuitOnClose)) << "it must not keep the program running";
  EXPECT_EQ(Window->windowTitle(), QStringLiteral("ReadMe.txt - Pelorin"));
}

INSTANTIATE_TEST_SUITE_P(Openers, ReadMeOpenerTest, testing::ValuesIn(OpenerCases),
                         [](const testing::TestParamInfo<TOpenerCase> &Info) {
                           return std::string(Info.param.Name);
                         });

// F1 in the window with an opener that finds no viewer: one window of ours
// with the read-me beside the program, raised again by a second F1.
TEST(ReadMeWindow, HelpReadMeFallsBackToItsOwnWindow) {
  const testsupport::TempFolder Temp;
  const QString Exe = Temp.file(QStringLiteral("dervik"));
  ASSERT_TRUE(QFile::link(ExecutableFilePath(), Exe));
  const QString ReadMe = Temp.writeText(QStringLiteral("ReadMe.txt"), Text);
  TDesktopFileOpener Opener({QStringLiteral("false")});
  Opener.Install();
  TFormMain Form(TFormMain::TStartup{Exe, {}});
  for (int Press = 0; Press < 2; ++Press) {
    Form.ClickMenuItem(Form.MenuItemReadMe);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Opener.Running() == 0; }, 20000));
    QCoreApplication::processEvents();
    const QList<TReadMeWindow *> Windows = ReadMeWindows();
    ASSERT_EQ(Windows.size(), 1) << "press " << Press;
    EXPECT_EQ(Windows.front()->FileName(), ReadMe);
  }
  CloseReadMeWindows();
}

// A file that cannot be read says so in the window instead of showing nothing.
TEST(ReadMeWindow, UnreadableFileSaysWhy) {
  const testsupport::TempFolder Temp;
  const std::unique_ptr<TReadMeWindow> Window =
      std::make_unique<TReadMeWindow>(Temp.file(QStringLiteral("gone.txt")));
  EXPECT_TRUE(Window->Text->toPlainText().startsWith(Temp.file(QStringLiteral("gone.txt")) +
                                                     QStringLiteral(" cannot be read: ")));
}

}  // namespace
