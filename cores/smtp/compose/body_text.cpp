#include "compose/body_text.h"

namespace pelsmtp {

std::string mendLineEnds(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 16);
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r') {
      out += "\r\n";
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else if (c == '\n') {
      out += "\r\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string doubleLeadingDots(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 16);
  bool lineStart = true;
  for (char c : text) {
    if (lineStart && c == '.') out += '.';
    out += c;
    lineStart = c == '\n';
  }
  return out;
}

}  // namespace pelsmtp
