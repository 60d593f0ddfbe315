// The file a run leaves for the next one: read back as written, one per
// settings file, a damaged or foreign one set aside and a fresh one started,
// a folder that cannot be written told, and two processes writing at once
// never leaving half a file.
#include "run/run_state.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace {

using namespace Qt::StringLiterals;

// XDG_STATE_HOME pointed at a folder of the test while it lives.
class StateHome {
 public:
  explicit StateHome(const std::string &Path) {
    if (const char *Old = std::getenv("XDG_STATE_HOME")) FOld = Old;
    setenv("XDG_STATE_HOME", Path.c_str(), 1);
  }
  ~StateHome() {
    if (FOld)
      setenv("XDG_STATE_HOME", FOld->c_str(), 1);
    else
      unsetenv("XDG_STATE_HOME");
  }
  StateHome(const StateHome &) = delete;
  StateHome &operator=(const StateHome &) = delete;

 private:
  std::optional<std::string> FOld;
};

TRunState SampleState(int Devices, const QString &Cause = QString()) {
  TRunState State;
  State.RunTime = QDateTime(QDate(2026, 12, 9), QTime(6, 35, 12));
  for (int I = 0; I < Devices; ++I)
    State.Devices.push_back({u"Device %1 \"ü\"\t"_s.arg(I), u"10.0.0.%1"_s.arg(I),
                             I % 2 ? dscOK : dscNoConnection,
                             I % 2 ? u"OK"_s : u"No connection at all"_s,
                             QDateTime(QDate(2026, 12, 8), QTime(22, I % 60))});
  if (!Cause.isEmpty()) {
    State.NotRunCauses.insert(u"mail"_s, Cause);
    State.NotRunCauses.insert(u"syslog"_s, Cause + u" (syslog)"_s);
  }
  return State;
}

void ExpectSame(const TRunState &Got, const TRunState &Want) {
  EXPECT_EQ(Got.RunTime, Want.RunTime);
  EXPECT_EQ(Got.NotRunCauses, Want.NotRunCauses);
  ASSERT_EQ(Got.Devices.size(), Want.Devices.size());
  for (size_t I = 0; I < Got.Devices.size(); ++I) {
    EXPECT_EQ(Got.Devices[I].Name, Want.Devices[I].Name);
    EXPECT_EQ(Got.Devices[I].Address, Want.Devices[I].Address);
    EXPECT_EQ(Got.Devices[I].Category, Want.Devices[I].Category);
    EXPECT_EQ(Got.Devices[I].Status, Want.Devices[I].Status);
    EXPECT_EQ(Got.Devices[I].Since, Want.Devices[I].Since);
  }
}

// A writer killed before its rename leaves its fresh file, named as this
// process would name its own first one (a later run with the same pid: pid
// 1 in a container). It neither stops this write nor stays.
TEST(RunState, ALeftoverOfAKilledWriterWithTheSamePidNeitherStopsTheWriteNorStays) {
  testsupport::TempFolder Home;
  const QString Folder = QString::fromStdString(Home.path());
  const QString File = Folder + u"/x.state"_s;
  const QString Settings = u"/etc/dervik.ini"_s;
  QFile Leftover(File + u".tmp-%1-0"_s.arg(getpid()));
  ASSERT_TRUE(Leftover.open(QIODevice::WriteOnly));
  Leftover.write("{\"format\": \"dervik-run-st");
  Leftover.close();

  EXPECT_EQ(WriteRunState(File, Settings, SampleState(2)), QString());
  const TRunStateRead Read = ReadRunState(File, Settings);
  EXPECT_EQ(Read.Message, QString());
  ExpectSame(Read.State, SampleState(2));
  EXPECT_EQ(QDir(Folder).entryList(QDir::Files), QStringList{u"x.state"_s});
}

TEST(RunState, TheFolderFollowsXdgStateHomeAndEachSettingsFileHasItsOwn) {
  testsupport::TempFolder Home;
  StateHome Env(Home.path());
  const QString Folder = QString::fromStdString(Home.path()) + u"/dervik"_s;
  EXPECT_EQ(RunStateFolder(), Folder);
  const QString One = RunStateFileName(u"/a/dervik.ini"_s);
  const QString Two = RunStateFileName(u"/b/dervik.ini"_s);
  EXPECT_NE(One, Two);
  EXPECT_EQ(QFileInfo(One).absolutePath(), Folder);
  EXPECT_TRUE(QFileInfo(One).fileName().startsWith(u"dervik-"_s)) << One.toStdString();
  EXPECT_EQ(One, RunStateFileName(u"/a/dervik.ini"_s));
  EXPECT_FALSE(RunStateFileName(u"/a/../../x y/\u65e5.ini"_s).contains(u' '));

  setenv("XDG_STATE_HOME", "relative/state", 1);
  EXPECT_EQ(RunStateFolder(),
            QString::fromLocal8Bit(std::getenv("HOME")) + u"/.local/state/dervik"_s);
  unsetenv("XDG_STATE_HOME");
  EXPECT_EQ(RunStateFolder(),
            QString::fromLocal8Bit(std::getenv("HOME")) + u"/.local/state/dervik"_s);
}

TEST(RunState, WhatIsWrittenIsReadBack) {
  testsupport::TempFolder Home;
  const QString File = QString::fromStdString(Home.path()) + u"/sub/dir/x.state"_s;
  const QString Settings = u"/etc/dervik.ini"_s;
  EXPECT_TRUE(ReadRunState(File, Settings).Message.isEmpty()) << "none yet is no problem";
  EXPECT_TRUE(ReadRunState(File, Settings).State.Devices.empty());
  for (const TRunState &State :
       {SampleState(0), SampleState(3, u"no ping port"_s), SampleState(500)}) {
    ASSERT_EQ(WriteRunState(File, Settings, State), QString());
    const TRunStateRead Read = ReadRunState(File, Settings);
    EXPECT_EQ(Read.Message, QString());
    ExpectSame(Read.State, State);
  }
  EXPECT_EQ(QDir(QString::fromStdString(Home.path()) + u"/sub/dir"_s).entryList(QDir::Files),
            QStringList{u"x.state"_s})
      << "no temporary file left behind";
}

// Files of the earlier layout kept each report's cause under a key of its
// own: they are read as the channel's cause, and written back in the new
// layout; a "notRun" that is no object of texts is damage.
TEST(RunState, CausesOfTheEarlierLayoutAreReadAsTheChannelsOwn) {
  testsupport::TempFolder Home;
  const QString File = QString::fromStdString(Home.path()) + u"/x.state"_s;
  const QString Settings = u"/etc/dervik.ini"_s;
  const QByteArray Head =
      "{\"format\": \"dervik-run-state\", \"version\": 1, \"settings\": \"/etc/dervik.ini\", "
      "\"devices\": []";
  const struct {
    const char *Name;
    QByteArray Rest;
    QMap<QString, QString> Causes;
    bool Damaged;
  } Rows[] = {
      {"mail only", ", \"mailNotRun\": \"no ping port\"}", {{u"mail"_s, u"no ping port"_s}}, false},
      {"both",
       ", \"mailNotRun\": \"a\", \"syslogNotRun\": \"b\"}",
       {{u"mail"_s, u"a"_s}, {u"syslog"_s, u"b"_s}},
       false},
      {"empty old key", ", \"syslogNotRun\": \"\"}", {}, false},
      {"new layout",
       ", \"notRun\": {\"mail\": \"c\", \"pager\": \"d\"}}",
       {{u"mail"_s, u"c"_s}, {u"pager"_s, u"d"_s}},
       false},
      {"notRun no object", ", \"notRun\": \"mail\"}", {}, true},
      {"notRun not texts", ", \"notRun\": {\"mail\": 3}}", {}, true},
  };
  for (const auto &R : Rows) {
    SCOPED_TRACE(R.Name);
    QFile::remove(File);
    QFile Old(File);
    ASSERT_TRUE(Old.open(QIODevice::WriteOnly));
    Old.write(Head + R.Rest);
    Old.close();
    const TRunStateRead Read = ReadRunState(File, Settings);
    EXPECT_EQ(Read.Message.isEmpty(), !R.Damaged) << Read.Message.toStdString();
    EXPECT_EQ(Read.State.NotRunCauses, R.Causes);
    if (R.Damaged) continue;
    ASSERT_EQ(WriteRunState(File, Settings, Read.State), QString());
    QFile Again(File);
    ASSERT_TRUE(Again.open(QIODevice::ReadOnly));
    const QByteArray Written = Again.readAll();
    EXPECT_FALSE(Written.contains("mailNotRun")) << "written in the new layout";
    EXPECT_EQ(ReadRunState(File, Settings).State.NotRunCauses, R.Causes);
  }
}

TEST(RunState, ADamagedOrForeignFileIsSetAsideAndAFreshOneStarted) {
  testsupport::TempFolder Home;
  const QString Folder = QString::fromStdString(Home.path());
  const QString File = Folder + u"/x.state"_s;
  const QString Settings = u"/etc/dervik.ini"_s;
  ASSERT_EQ(WriteRunState(File, u"/etc/other.ini"_s, SampleState(2)), QString());
  QFile Written(File);
  ASSERT_TRUE(Written.open(QIODevice::ReadOnly));
  const QByteArray Good = Written.readAll();
  Written.close();
  const struct {
    const char *Name;
    QByteArray Bytes;
    QString Why;
  } Rows[] = {
      {"cut off", Good.left(Good.size() / 2), u"is damaged"_s},
      {"binary", QByteArray("\0\x01\xff\xfe", 4), u"is damaged"_s},
      {"empty", QByteArray(), u"is damaged"_s},
      {"other JSON", QByteArray("{\"a\": 1}"), u"is no state file of this version"_s},
      {"later version", QByteArray(Good).replace("\"version\": 1", "\"version\": 2"),
       u"is no state file of this version"_s},
      {"another settings file", Good, u"belongs to another settings file"_s},
      {"bad category",
       QByteArray(Good)
           .replace("\"settings\": \"/etc/other.ini\"", "\"settings\": \"/etc/dervik.ini\"")
           .replace("\"ok\"", "\"fine\""),
       u"is damaged"_s},
  };
  for (const auto &R : Rows) {
    SCOPED_TRACE(R.Name);
    for (const QString &Old : QDir(Folder).entryList(QDir::Files))
      QFile::remove(Folder + u'/' + Old);
    QFile Bad(File);
    ASSERT_TRUE(Bad.open(QIODevice::WriteOnly));
    Bad.write(R.Bytes);
    Bad.close();
    const TRunStateRead Read = ReadRunState(File, Settings);
    EXPECT_TRUE(Read.State.Devices.empty());
    EXPECT_FALSE(Read.State.RunTime.isValid());
    const QStringList Names = QDir(Folder).entryList(QDir::Files);
    ASSERT_EQ(Names.size(), 1) << Names.join(u' ').toStdString();
    ASSERT_TRUE(Names[0].startsWith(u"x.state.bad-"_s));
    const QString Aside = Folder + u'/' + Names[0];
    EXPECT_EQ(Read.Message, u"state file %1 %2: set aside as %3; a fresh one is started"_s.arg(
                                File, R.Why, Aside));
    QFile Kept(Aside);
    ASSERT_TRUE(Kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(Kept.readAll(), R.Bytes) << "set aside as it was";
    // The fresh start is written over nothing of the old one.
    EXPECT_EQ(WriteRunState(File, Settings, SampleState(1)), QString());
    EXPECT_EQ(ReadRunState(File, Settings).Message, QString());
  }
}

TEST(RunState, AFolderThatCannotBeMadeOrWrittenIsTold) {
  testsupport::TempFolder Home;
  const QString Base = QString::fromStdString(Home.path());
  QFile Blocker(Base + u"/dervik"_s);
  ASSERT_TRUE(Blocker.open(QIODevice::WriteOnly));  // a file where the folder should be
  Blocker.close();
  const QString File = Base + u"/dervik/x.state"_s;
  EXPECT_EQ(WriteRunState(File, u"/etc/dervik.ini"_s, SampleState(1)),
            u"state folder %1/dervik cannot be made: changes of this run are not kept"_s.arg(Base));

  if (geteuid() == 0) GTEST_SKIP() << "root writes into any folder";
  const QString ReadOnly = Base + u"/ro"_s;
  ASSERT_TRUE(QDir().mkpath(ReadOnly));
  ASSERT_TRUE(QFile::setPermissions(ReadOnly, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
  const QString Message =
      WriteRunState(ReadOnly + u"/x.state"_s, u"/etc/dervik.ini"_s, SampleState(1));
  QFile::setPermissions(ReadOnly,
                        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
  EXPECT_TRUE(Message.startsWith(u"state file %1/x.state cannot be written: "_s.arg(ReadOnly)))
      << Message.toStdString();
  EXPECT_TRUE(Message.endsWith(u"; changes of this run are not kept"_s)) << Message.toStdString();
}

// Two processes each replace the file over and over while a third reads it:
// every read finds a whole file of one of the two.
TEST(RunState, TwoProcessesWritingAtOnceNeverLeaveHalfAFile) {
  testsupport::TempFolder Home;
  const QString File = QString::fromStdString(Home.path()) + u"/x.state"_s;
  const QString Settings = u"/etc/dervik.ini"_s;
  const TRunState States[] = {SampleState(300, u"one"_s), SampleState(7, u"two"_s)};
  ASSERT_EQ(WriteRunState(File, Settings, States[0]), QString());
  constexpr int Writes = 150;
  pid_t Children[2];
  for (int C = 0; C < 2; ++C) {
    Children[C] = fork();
    ASSERT_GE(Children[C], 0);
    if (Children[C] == 0) {
      alarm(60);  // a child that hangs must not outlive the test
      for (int I = 0; I < Writes; ++I)
        if (!WriteRunState(File, Settings, States[C]).isEmpty()) _exit(1);
      _exit(0);
    }
  }
  int Reads = 0;
  int Statuses[2] = {-1, -1};
  bool Done[2] = {false, false};
  while (!(Done[0] && Done[1]) && Reads < 100000) {
    const TRunStateRead Read = ReadRunState(File, Settings);
    ++Reads;
    ASSERT_EQ(Read.Message, QString()) << "read " << Reads;
    ASSERT_TRUE(Read.State.RunTime.isValid())
        << "read " << Reads << " exists " << QFile::exists(File);
    const bool One = Read.State.NotRunCauses.value(u"mail"_s) == u"one"_s;
    ExpectSame(Read.State, States[One ? 0 : 1]);
    for (int C = 0; C < 2; ++C)
      if (!Done[C]) Done[C] = waitpid(Children[C], &Statuses[C], WNOHANG) == Children[C];
  }
  for (int C = 0; C < 2; ++C) {
    if (!Done[C]) Done[C] = waitpid(Children[C], &Statuses[C], 0) == Children[C];
    ASSERT_TRUE(Done[C]);
    EXPECT_TRUE(WIFEXITED(Statuses[C]) && WEXITSTATUS(Statuses[C]) == 0) << "child " << C;
  }
  EXPECT_GT(Reads, 1);
}

}  // namespace
