// The form of a queue file, checked before a byte of it is replayed.
//
// Queue writes exactly one form: the line "MAIL FROM:...", one or more lines
// "RCPT TO:...", the line "DATA", each ending in CR LF, then the message with
// its leading dots doubled, ending in CR LF "." CR LF.  A file of any other
// form was never finished by Queue (a writer killed mid-write, an empty file
// after a power loss) or never came from it; replaying it would send its
// lines to the server as commands, or wait for a reply to a message that
// never ends.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace pelnet::smtp {

// A queue file's parts, as views into its bytes.
struct QueueFileParts {
  // The command lines without their CR LF: MAIL, every RCPT, DATA.
  std::vector<std::string_view> commands;
  // Everything after the DATA line, up to and including the final "." CR LF.
  std::string_view message;
};

// Larger files are not queue files of this core (its reports are far
// smaller); the replay reads a whole file into memory.
inline constexpr size_t kMaxQueueFileSize = size_t{64} << 20;
// A command line of a queue file longer than this is not a command line.
inline constexpr size_t kMaxQueueFileLine = 64 * 1024;

// Why a file is not a queue file, one text per fault.
inline constexpr const char *kTextQueueFileEmpty = "Queue file is empty.";
inline constexpr const char *kTextQueueFileTooLarge = "Queue file too large.";
inline constexpr const char *kTextQueueFileLineCut = "Queue file command line cut short.";
inline constexpr const char *kTextQueueFileLineTooLong = "Queue file line too long.";
inline constexpr const char *kTextQueueFileForbiddenByte =
    "Queue file command line holds CR, LF or NUL.";
inline constexpr const char *kTextQueueFileNoMail = "Queue file does not begin with MAIL FROM.";
inline constexpr const char *kTextQueueFileNoRcpt = "Queue file has no RCPT TO line.";
inline constexpr const char *kTextQueueFileStrayLine =
    "Queue file holds a line other than RCPT TO before DATA.";
inline constexpr const char *kTextQueueFileNoData = "Queue file ends before DATA.";
inline constexpr const char *kTextQueueFileNoFinalDot = "Queue file message has no final dot.";
inline constexpr const char *kTextQueueFileEarlyDot =
    "Queue file message holds a line \".\" before its end.";

// Checks `file`.  nullptr when it has the form Queue writes, with `out` filled;
// otherwise the text of the first fault found.
const char *checkQueueFileForm(std::string_view file, QueueFileParts &out);

}  // namespace pelnet::smtp
