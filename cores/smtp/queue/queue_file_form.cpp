#include "queue/queue_file_form.h"

#include <optional>

#include "pelnet/runtime/byte_reader.h"

namespace pelnet::smtp {

namespace {

constexpr std::string_view kMailLead = "MAIL FROM:";
constexpr std::string_view kRcptLead = "RCPT TO:";
constexpr std::string_view kData = "DATA";
// The end of the message: the CR LF that ends its last line, ".", CR LF.
constexpr std::string_view kEndOfData = "\r\n.\r\n";

// The next command line without its CR LF, at most `maxLine` bytes long;
// the reader moves past its CR LF.  Nothing, and the reader stays, with the
// fault's text in `fault` when no CR LF ends the line within the bytes or
// within `maxLine` bytes, or when the line holds a CR, LF or NUL.
std::optional<std::string_view> fetchCommandLine(ByteReader &reader, size_t maxLine,
                                                 const char *&fault) {
  const std::string_view rest = reader.from(reader.position()).view();
  // CR LF must lie within maxLine + 2 bytes; the search never looks further.
  const size_t window = rest.size() < maxLine + 2 ? rest.size() : maxLine + 2;
  const size_t end = rest.substr(0, window).find("\r\n");
  if (end == std::string_view::npos) {
    fault = rest.size() >= maxLine + 2 ? kTextQueueFileLineTooLong : kTextQueueFileLineCut;
    return std::nullopt;
  }
  const std::optional<std::string_view> text = reader.fetchBytes(end);
  if (text->find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) {
    reader.seek(reader.position() - end);
    fault = kTextQueueFileForbiddenByte;
    return std::nullopt;
  }
  reader.skip(2);
  return text;
}

}  // namespace

const char *checkQueueFileForm(std::string_view file, QueueFileParts &out) {
  out = {};
  if (file.empty()) return kTextQueueFileEmpty;
  if (file.size() > kMaxQueueFileSize) return kTextQueueFileTooLarge;

  ByteReader reader(file);
  const char *fault = nullptr;
  const auto mail = fetchCommandLine(reader, kMaxQueueFileLine, fault);
  if (!mail) return fault;
  if (!mail->starts_with(kMailLead)) return kTextQueueFileNoMail;
  out.commands.push_back(*mail);

  for (;;) {
    if (reader.remaining() == 0) return kTextQueueFileNoData;
    const auto line = fetchCommandLine(reader, kMaxQueueFileLine, fault);
    if (!line) return fault;
    if (*line == kData) break;
    if (!line->starts_with(kRcptLead)) return kTextQueueFileStrayLine;
    out.commands.push_back(*line);
  }
  if (out.commands.size() < 2) return kTextQueueFileNoRcpt;
  out.commands.push_back(kData);

  // The first end of data the server would see, counted from the DATA line's
  // own CR LF (a "." line right after DATA ends the message too), must be
  // the file's last five bytes.
  const std::string_view message = reader.from(reader.position()).view();
  if (message.size() < kEndOfData.size() || !message.ends_with(kEndOfData))
    return kTextQueueFileNoFinalDot;
  if (file.find(kEndOfData, reader.position() - 2) != file.size() - kEndOfData.size())
    return kTextQueueFileEarlyDot;
  out.message = message;
  return nullptr;
}

}  // namespace pelnet::smtp
