#include "queue_file_form.h"

namespace pelnet::smtp {

std::optional<std::string_view> QueueFileReader::line(size_t maxLine, LineFault &fault) {
  const std::string_view rest = this->rest();
  // CR LF must lie within maxLine + 2 bytes; the search never looks further.
  const size_t window = rest.size() < maxLine + 2 ? rest.size() : maxLine + 2;
  const size_t end = rest.substr(0, window).find("\r\n");
  if (end == std::string_view::npos) {
    fault = rest.size() >= maxLine + 2 ? LineFault::TooLong : LineFault::CutShort;
    return std::nullopt;
  }
  const std::string_view text = rest.substr(0, end);
  if (text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) {
    fault = LineFault::ForbiddenByte;
    return std::nullopt;
  }
  fault = LineFault::None;
  off_ += end + 2;
  return text;
}

namespace {

constexpr std::string_view kMailLead = "MAIL FROM:";
constexpr std::string_view kRcptLead = "RCPT TO:";
constexpr std::string_view kData = "DATA";
// The end of the message: the CR LF that ends its last line, ".", CR LF.
constexpr std::string_view kEndOfData = "\r\n.\r\n";

const char *lineFaultText(QueueFileReader::LineFault f) {
  switch (f) {
    case QueueFileReader::LineFault::CutShort:
      return kTextQueueFileLineCut;
    case QueueFileReader::LineFault::TooLong:
      return kTextQueueFileLineTooLong;
    case QueueFileReader::LineFault::ForbiddenByte:
      return kTextQueueFileForbiddenByte;
    case QueueFileReader::LineFault::None:
      break;
  }
  return kTextQueueFileLineCut;
}

}  // namespace

const char *checkQueueFileForm(std::string_view file, QueueFileParts &out) {
  out = {};
  if (file.empty()) return kTextQueueFileEmpty;
  if (file.size() > kMaxQueueFileSize) return kTextQueueFileTooLarge;

  QueueFileReader reader(file);
  QueueFileReader::LineFault fault{};
  const auto mail = reader.line(kMaxQueueFileLine, fault);
  if (!mail) return lineFaultText(fault);
  if (!mail->starts_with(kMailLead)) return kTextQueueFileNoMail;
  out.commands.push_back(*mail);

  for (;;) {
    if (reader.atEnd()) return kTextQueueFileNoData;
    const auto line = reader.line(kMaxQueueFileLine, fault);
    if (!line) return lineFaultText(fault);
    if (*line == kData) break;
    if (!line->starts_with(kRcptLead)) return kTextQueueFileStrayLine;
    out.commands.push_back(*line);
  }
  if (out.commands.size() < 2) return kTextQueueFileNoRcpt;
  out.commands.push_back(kData);

  // The first end of data the server would see, counted from the DATA line's
  // own CR LF (a "." line right after DATA ends the message too), must be
  // the file's last five bytes.
  const std::string_view message = reader.rest();
  if (message.size() < kEndOfData.size() || !message.ends_with(kEndOfData))
    return kTextQueueFileNoFinalDot;
  if (file.find(kEndOfData, reader.offset() - 2) != file.size() - kEndOfData.size())
    return kTextQueueFileEarlyDot;
  out.message = message;
  return nullptr;
}

}  // namespace pelnet::smtp
