// Feeds arbitrary bytes to the queue file's form check, as a crash, a power
// loss or a stray file leaves them in the queue folder, and checks what the
// replay relies on: a file is either refused with one of the fault texts or
// is exactly its command lines (MAIL, RCPT..., DATA, each clean and ended by
// CR LF) followed by a message whose only end of data is its last 5 bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "queue/queue_file_form.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

bool isFaultText(std::string_view t) {
  // Compared as texts: each translation unit may hold its own copy of a literal.
  for (const char *known :
       {pelnet::smtp::kTextQueueFileEmpty, pelnet::smtp::kTextQueueFileTooLarge,
        pelnet::smtp::kTextQueueFileLineCut, pelnet::smtp::kTextQueueFileLineTooLong,
        pelnet::smtp::kTextQueueFileForbiddenByte, pelnet::smtp::kTextQueueFileNoMail,
        pelnet::smtp::kTextQueueFileNoRcpt, pelnet::smtp::kTextQueueFileStrayLine,
        pelnet::smtp::kTextQueueFileNoData, pelnet::smtp::kTextQueueFileNoFinalDot,
        pelnet::smtp::kTextQueueFileEarlyDot})
    if (t == known) return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  using namespace pelnet::smtp;
  const std::string_view file(reinterpret_cast<const char *>(data), size);
  QueueFileParts parts;
  const char *text = checkQueueFileForm(file, parts);
  if (text != nullptr) {
    check(isFaultText(text));
    return 0;
  }
  check(parts.commands.size() >= 3);
  check(parts.commands.front().starts_with("MAIL FROM:"));
  check(parts.commands.back() == "DATA");
  std::string again;
  for (size_t i = 0; i < parts.commands.size(); ++i) {
    const std::string_view c = parts.commands[i];
    check(c.size() <= kMaxQueueFileLine);
    check(c.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos);
    if (i > 0 && i + 1 < parts.commands.size()) check(c.starts_with("RCPT TO:"));
    again.append(c).append("\r\n");
  }
  again.append(parts.message);
  check(again == file);
  // What the server reads after DATA: its CR LF, then the message; the first
  // end of data in it is the last one.
  const std::string wire = "\r\n" + std::string(parts.message);
  check(wire.size() >= 7 && wire.find("\r\n.\r\n") == wire.size() - 5);
  return 0;
}
