// The floor of a Qt program's memory and start: a QCoreApplication made and
// gone, nothing else. unattended_vs_fping.sh sets dervik's headless run
// against it.
#include <QCoreApplication>

int main(int argc, char **argv) {
  const QCoreApplication Application(argc, argv);
  return 0;
}
