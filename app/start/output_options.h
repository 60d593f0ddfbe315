// The options that take results out of the program for others: the files
// an unattended run writes (--json, --prometheus) and the printout of the
// stored history (--history with --device, --since and --format).
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

struct TOutputOptions {
  QString JsonFile = QString();                  // --json FILE
  QString PrometheusFile = QString();            // --prometheus FILE
  bool History = false;                          // --history
  std::optional<QString> Device = std::nullopt;  // --device NAME
  QString Since = QString();                     // --since 7d
  QString Format = QString();                    // --format csv|json
  // The first option without its value, or empty.
  QString MissingValue = QString();
};

// Takes Argv[Index] when it is one of the options ("--json FILE" or
// "--json=FILE"), its value too; Index is left on the last argument taken.
bool ReadOutputOption(int Argc, const char* const* Argv, int& Index, TOutputOptions& Options);

// The line (without "dervik: ") for options that do not go together or
// values that make no sense; empty when they are fine.  AnySwitch: one of
// the automatic run's switches was given.
QString OutputOptionsProblem(const TOutputOptions& Options, bool AnySwitch);

// "30s", "15m", "12h", "7d", "2w" in seconds; none for anything else.
std::optional<qint64> ParseSinceSeconds(const QString& Text);

// Exit statuses of --history: printed (perhaps nothing), or the history
// could not be read.
constexpr int HistoryPrinted = 0;
constexpr int HistoryNotReadable = 4;

// The stored history of DatabaseFile as Options ask, for standard output
// (Out), or the line why not (Error).
int RunHistoryCommand(const TOutputOptions& Options, const QString& DatabaseFile, const QDateTime& Now,
                      QByteArray* Out, QString* Error);
