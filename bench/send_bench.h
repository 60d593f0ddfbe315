// What the senders timed by the scripts beside them share: the port and the
// count as their first two arguments, the Qt application and the carried
// cores around the timed loop, and a component's failure on standard error.
#pragma once

#include <QCoreApplication>
#include <QString>

#include <cstdio>
#include <cstdlib>

#include "core_units.h"
#include "pelcore.h"

// Checks the arguments (at least MinArguments, Usage names them), sets up the
// application and runs Loop(port, count). Returns the exit status: 2 for a
// wrong call, 1 when the component failed, 0 otherwise.
template <class LoopFunction>
int RunSendBench(int argc, char **argv, int MinArguments, const char *Usage, LoopFunction Loop) {
  if (argc < MinArguments) {
    std::fprintf(stderr, "usage: %s %s\n", argv[0], Usage);
    return 2;
  }
  const int Port = std::atoi(argv[1]);
  const long Count = std::atol(argv[2]);
  unsetenv("QT_NO_GLIB");
  QCoreApplication App(argc, argv);
  TCoreUnits Units;
  try {
    Loop(Port, Count);
  } catch (const EPelnet &E) {
    std::fprintf(stderr, "%s\n", E.what());
    return 1;
  }
  return 0;
}

// The mail benchmarks' message body: 1024 bytes, 16 lines of 62 characters and CR LF.
inline QString KibibyteMailBody() {
  QString Body;
  for (int I = 0; I < 16; ++I) Body += QString(62, QChar('a' + I)) + QStringLiteral("\r\n");
  return Body;
}
