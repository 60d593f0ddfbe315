#include "syslog_parser.h"

#include <optional>

#include "syslog_tables.h"

namespace pelnet::syslog {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool allDigits(std::string_view s) {
  for (char c : s)
    if (!isDigit(c)) return false;
  return true;
}

// Decimal value of a short digit run (callers limit the length, so no overflow).
int decimal(std::string_view digits) {
  int v = 0;
  for (char c : digits) v = v * 10 + (c - '0');
  return v;
}

// Reads space-separated tokens from the datagram; it never looks past the end.
class TokenCursor {
 public:
  TokenCursor(std::string_view data, size_t pos) : data_(data), pos_(pos) {}

  // Skips a run of spaces, then returns the characters up to the next space
  // or the end (empty at the end of the data).
  std::string_view next() {
    while (pos_ < data_.size() && data_[pos_] == ' ') ++pos_;
    const size_t start = pos_;
    while (pos_ < data_.size() && data_[pos_] != ' ') ++pos_;
    return data_.substr(start, pos_ - start);
  }

  // Everything after the single space that ended the last token.
  std::string_view restAfterSeparator() const {
    if (pos_ >= data_.size()) return {};
    return data_.substr(pos_ + 1);  // data_[pos_] is the space that ended the token
  }

 private:
  std::string_view data_;
  size_t pos_;
};

// The priority part "<" digits{0,4} ">"; returns the index just after ">" and the value.
std::optional<size_t> priorityPart(std::string_view data, int &pri) {
  if (data.empty() || data[0] != '<') return std::nullopt;
  size_t i = 1;
  while (i < data.size() && isDigit(data[i])) {
    if (i - 1 == 4) return std::nullopt;  // a fifth digit
    ++i;
  }
  if (i >= data.size() || data[i] != '>') return std::nullopt;
  pri = decimal(data.substr(1, i - 1));
  return i + 1;
}

// "h:mm:ss" with hour 0..24 (one or two digits) and nothing after the seconds.
bool validTime(std::string_view time) {
  std::string_view fields[3];
  size_t count = 0;
  while (true) {
    const size_t colon = time.find(':');
    const std::string_view field = time.substr(0, colon);
    if (count == 3) return false;  // a fourth field follows the seconds
    fields[count++] = field;
    if (colon == std::string_view::npos) break;
    time.remove_prefix(colon + 1);
  }
  if (count != 3) return false;
  const auto &h = fields[0], &m = fields[1], &s = fields[2];
  if (h.empty() || h.size() > 2 || !allDigits(h) || decimal(h) > 24) return false;
  if (m.size() != 2 || !allDigits(m) || decimal(m) > 59) return false;
  if (s.size() != 2 || !allDigits(s) || decimal(s) > 59) return false;
  return true;
}

}  // namespace

ParsedDatagram parseDatagram(std::string_view data) {
  ParsedDatagram out;
  int pri = 0;
  const std::optional<size_t> after = priorityPart(data, pri);
  if (!after) {
    out.message.assign(data);
    return out;
  }
  out.facilityCode = (pri >> 3) & 31;
  out.severityCode = pri & 7;
  const size_t p = *after;
  const size_t n = data.size();
  // A timestamp needs 15 characters and a blank after them.
  if (p > n || n - p < 16) return out;
  out.conforms = true;

  out.timestamp.assign(data.substr(p, 4));
  if (monthFromAbbreviation(data.data() + p) == 0) out.conforms = false;

  TokenCursor tokens(data, p);
  tokens.next();  // the month, already taken as the first four characters
  const std::string_view day = tokens.next();
  if (out.conforms &&
      (day.empty() || day.size() > 2 || !allDigits(day) || decimal(day) < 1 || decimal(day) > 31))
    out.conforms = false;
  if (out.conforms) {
    if (day.size() == 1) out.timestamp += ' ';
    out.timestamp.append(day);
    out.timestamp += ' ';
  }

  std::string_view time = tokens.next();
  out.timestamp.append(time);
  if (time.size() == 4) {
    out.conforms = false;
    if (allDigits(time)) {  // a year stands before the time
      time = tokens.next();
      out.timestamp += ' ';
      out.timestamp.append(time);
    }
  }
  if (out.conforms && !validTime(time)) out.conforms = false;

  out.hostname.assign(tokens.next());
  out.message.assign(tokens.restAfterSeparator());
  return out;
}

}  // namespace pelnet::syslog
