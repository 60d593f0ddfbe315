// The message queue of the mail core: Queue writes the current message's
// transaction to a file of a folder instead of sending it; ProcessQueue later
// connects once and replays every queued file of that folder.
//
// A file's state is its extension: ".queued" (waiting), ".sending" (being
// delivered), ".sent" (delivered and kept), ".failed".  Files are created
// with O_EXCL and every state change is a rename, so two processes working
// on one folder never deliver the same file: the rename to ".sending" is the
// claim, and only one of them can make it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "smtp_session.h"

namespace pelnet::smtp {

class MessageQueue {
 public:
  // `instance` tells the queue files of two components apart in their names.
  MessageQueue(SmtpSession &session, uintptr_t instance);

  // Writes one queue file; `fileName` receives its full name.  0 or a code
  // (302 when no name could be created, 164/165 as for Send, 5/7 when
  // writing fails); on a failure no file is left behind.
  int queue(const std::string &queueDir, std::string &fileName);
  // Delivers every ".queued" file of the folder over one connection.
  // `keepQueue`: a delivered file is renamed to ".sent" instead of deleted.
  int processQueue(const std::string &queueDir, bool keepQueue);

  // The folder a QueueDir text names, ending in "/": trailing separators
  // dropped, a leading one kept as one (an absolute path stays absolute),
  // "" and "/" name the root.
  static std::string directoryOf(std::string_view queueDir);

  // The millisecond tick in the file names (the tests fix it to force collisions).
  std::function<uint32_t()> tick;

  // The characters tried before ".queued" when a name is taken, in order.
  static constexpr std::string_view kNameSuffixes = "0abcdefghijklmnopqrstuvwxy";
  // A command line of a queue file longer than this is not a command line.
  static constexpr size_t kMaxReplayLine = 64 * 1024;
  // Bytes read from a queue file at a time.
  static constexpr size_t kReadBlock = 8192;

 private:
  // The ".queued" file names of `dir`, oldest first; 0 or 302.
  int listQueued(const std::string &dir, std::vector<std::string> &names);
  // One file: RSET, the claim, the replay and the final state.  `skipped`
  // is set when another process claimed the file first.
  int deliver(const std::string &dir, const std::string &name, bool keepQueue, bool &skipped);
  // The lines up to DATA with a reply each, the rest as it stands, then the final reply.
  int replay(int fd);
  int exchangeLine(std::string_view line);

  SmtpSession &session_;
  uintptr_t instance_;
};

}  // namespace pelnet::smtp
