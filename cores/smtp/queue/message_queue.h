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
#include "smtp_errors.h"

namespace pelnet::smtp {

// The queue drives the dialogue through its public steps (an operation, an
// exchange, the message as written) and keeps the failures of its own files
// apart from the connection's: the core reports failure() as the method's error.
class MessageQueue {
 public:
  // The codes of the queue's own failures; an errno value is reported as it is.
  static constexpr int kFileNotReadable = 3;
  static constexpr int kFileNotOpen = 5;
  static constexpr int kFileWriteFailed = 7;
  // The folder cannot be read, or no queue file name could be created.
  static constexpr int kFolderOrName = kSmtpQueueFile;

  // A failure of a queue file or folder: its code and text ("" for the listed text of the code).
  struct Failure {
    int code = 0;
    std::string text;
  };
  // What ProcessQueue did with one file (outcome: pelnet_smtp_queue_outcome);
  // `path` is where the file lies now, "" when it was deleted or stayed where it was.
  struct FileOutcome {
    std::string name;
    int outcome = 0;
    std::string path;
  };

  // `instance` tells the queue files of two components apart in their names.
  MessageQueue(SmtpSession &session, uintptr_t instance);

  // The failure of the last Queue or ProcessQueue when it was the queue's own
  // (code 0 when the dialogue's, or none).
  const Failure &failure() const { return failure_; }
  // The files the last ProcessQueue took up, in its order.
  const std::vector<FileOutcome> &outcomes() const { return outcomes_; }

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
  // The ".queued" file names of `dir`, oldest first; 0 or 302.
  int listQueued(const std::string &dir, std::vector<std::string> &names);
  // Before the search: the ".sending" files whose owner ended go back to
  // ".queued", and temporary files of ended writers are removed.
  void tidyFolder(const std::string &dir);
  // One file: RSET, the claim and its lock, the form check, the replay and
  // the final state.
  int deliver(const std::string &dir, const std::string &name, bool keepQueue,
              FileOutcome &outcome);
  // The command lines with a reply each, the message as it stands, then the final reply.
  int replay(const QueueFileParts &parts);
  // Keeps a failure of the queue's own and returns its code.
  int fileFailure(int code, std::string text = {});

  SmtpSession &session_;
  uintptr_t instance_;
  Failure failure_;
  std::vector<FileOutcome> outcomes_;
};

}  // namespace pelnet::smtp
