#include "program_files.h"
#include "qt_printers.h"

#include <gtest/gtest.h>

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

TEST(ProgramFiles, ExecutablePathIsTheRealFile) {
  const QString Path = ExecutableFilePath();
  const QFileInfo Info(Path);
  EXPECT_TRUE(Info.isAbsolute());
  EXPECT_FALSE(Info.isSymLink());
  EXPECT_EQ(Info.fileName(), QStringLiteral("app_unit_tests"));
}

}  // namespace
