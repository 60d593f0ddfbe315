// The message queue of the mail core: Queue writes the current message's
// transaction to a file of a folder instead of sending it; ProcessQueue later
// connects once and replays every queued file of that folder.
//
// A file's state is its extension: ".queued" (waiting), ".sending" (being
// delivered), ".sent" (delivered and kept), ".failed", ".bad" (not in the
// form Queue writes, set aside unsent).  Every state change is a rename, so
// two processes working on one folder never deliver the same file: the
// rename to ".sending" is the claim, and only one of them can make it.
//
// Crashes: Queue writes under a hidden temporary name and renames the
// complete, flushed file to its ".queued" name, so a writer that dies leaves
// no half message in the queue.  A delivering process holds an advisory lock
// (flock) on its ".sending" file; one whose lock is free has lost its owner,
// and the next ProcessQueue puts it back in the queue.  Delivery is therefore
// at least once: a message whose answer was lost with its process goes again.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "queue/queue_file_form.h"
#include "session/smtp_session.h"

namespace pelnet::smtp {

class MessageQueue {
 public:
  // `instance` tells the queue files of two components apart in their names.
  MessageQueue(SmtpSession &session, uintptr_t instance);

  // Writes one queue file; `fileName` receives its full name.  0 or a code
  // (302 when no name could be created, 164/165 as for Send, 5/7 when
  // writing or flushing fails); on a failure no file is left behind.
  int queue(const std::string &queueDir, std::string &fileName);
  // Delivers every ".queued" file of the folder over one connection, after
  // putting back the ".sending" files of ended processes.  A file not in the
  // form Queue writes is renamed to ".bad" unsent and the next one follows.
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
  // A temporary file of Queue whose lock is free and that has not changed
  // for this long was left by a writer that ended; ProcessQueue removes it.
  static constexpr int kStaleTemporarySeconds = 300;

 private:
  // What became of one queued file besides a failure.
  enum class Outcome { Delivered, Skipped, SetAside };

  // The ".queued" file names of `dir`, oldest first; 0 or 302.
  int listQueued(const std::string &dir, std::vector<std::string> &names);
  // Before the search: the ".sending" files whose owner ended go back to
  // ".queued", and temporary files of ended writers are removed.
  void tidyFolder(const std::string &dir);
  // One file: RSET, the claim and its lock, the form check, the replay and
  // the final state.
  int deliver(const std::string &dir, const std::string &name, bool keepQueue, Outcome &outcome);
  // The command lines with a reply each, the message as it stands, then the final reply.
  int replay(const QueueFileParts &parts);
  int exchangeLine(std::string_view line);

  SmtpSession &session_;
  uintptr_t instance_;
};

}  // namespace pelnet::smtp
