#include "start/program_files.h"
#include "qt_printers.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>

namespace {

TEST(ProgramFiles, SettingsFileBesideTheExecutable) {
  const struct {
    const char *Executable;
    const char *Settings;
  } Table[] = {
      {"/opt/tools/dervik", "/opt/tools/dervik.ini"},
      {"/opt/tools/prog.exe", "/opt/tools/prog.ini"},
      {"/opt/tools/my.tool.bin", "/opt/tools/my.tool.ini"},
      {"/opt/v1.2/dervik", "/opt/v1.2/dervik.ini"},  // a dot in a folder name is no extension
      {"/opt/tools/.hidden", "/opt/tools/.hidden.ini"},
      {"/opt/tools/name.", "/opt/tools/name.ini"},
      {"dervik", "dervik.ini"},
  };
  for (const auto &Row : Table)
    EXPECT_EQ(SettingsFileNameFor(QString::fromLatin1(Row.Executable)),
              QString::fromLatin1(Row.Settings));
}

TEST(ProgramFiles, ReadMeBesideTheExecutable) {
  EXPECT_EQ(ReadMeFileNameFor(QStringLiteral("/opt/tools/dervik")),
            QStringLiteral("/opt/tools/ReadMe.txt"));
  EXPECT_EQ(ReadMeFileNameFor(QStringLiteral("/dervik")), QStringLiteral("/ReadMe.txt"));
}

// Beside the program first (a copy in a folder of its own), then where
// cmake --install puts it (prefix/share/doc/dervik beside prefix/bin).
TEST(ProgramFiles, ReadMeBesideOrInstalled) {
  enum { Beside = 1, Installed = 2 };
  const struct {
    const char *Name;
    int Present;
    int Found;
  } Table[] = {
      {"beside only", Beside, Beside},
      {"installed only", Installed, Installed},
      {"both", Beside | Installed, Beside},
      {"neither", 0, Beside},
  };
  for (const auto &Row : Table) {
    const testsupport::TempFolder Temp;
    ASSERT_TRUE(QDir().mkpath(Temp.file(QStringLiteral("prefix/bin"))));
    ASSERT_TRUE(QDir().mkpath(Temp.file(QStringLiteral("prefix/share/doc/dervik"))));
    const QString BesideFile = Temp.file(QStringLiteral("prefix/bin/ReadMe.txt"));
    const QString InstalledFile = Temp.file(QStringLiteral("prefix/share/doc/dervik/ReadMe.txt"));
    if (Row.Present & Beside)
      Temp.writeText(QStringLiteral("prefix/bin/ReadMe.txt"), QStringLiteral("b"));
    if (Row.Present & Installed)
      Temp.writeText(QStringLiteral("prefix/share/doc/dervik/ReadMe.txt"), QStringLiteral("i"));
    EXPECT_EQ(FindReadMeFile(Temp.file(QStringLiteral("prefix/bin/dervik"))),
              Row.Found == Installed ? InstalledFile : BesideFile)
        << Row.Name;
  }
}

TEST(ProgramFiles, ExecutablePathIsTheRealFile) {
  const QString Path = ExecutableFilePath();
  const QFileInfo Info(Path);
  EXPECT_TRUE(Info.isAbsolute());
  EXPECT_FALSE(Info.isSymLink());
  EXPECT_EQ(Info.fileName(), QStringLiteral("app_unit_tests"));
}

}  // namespace
