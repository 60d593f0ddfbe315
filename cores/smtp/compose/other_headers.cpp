#include "compose/other_headers.h"

namespace pelsmtp {

std::string normaliseOtherHeaders(std::string_view text) {
  if (text.empty()) return {};
  while (text.size() >= 4 && text.ends_with("\r\n\r\n")) text.remove_suffix(2);
  std::string out(text);
  if (out.ends_with("\r\n")) return out;
  if (out.back() == '\n') {
    out.insert(out.size() - 1, 1, '\r');
    return out;
  }
  out += "\r\n";
  return out;
}

bool isRawOtherHeaders(std::string_view text) { return text.starts_with("\r\n"); }

namespace {

// Index just past the line end that begins at `cr` (CR LF, or a CR alone).
size_t afterLineEnd(std::string_view s, size_t cr) {
  if (cr >= s.size()) return s.size();
  size_t next = cr + 1;
  if (next < s.size() && s[next] == '\n') ++next;
  return next;
}

}  // namespace

void appendOtherHeaders(std::vector<HeaderField> &list, std::string_view normalised,
                        std::string_view charset) {
  std::string_view rest = normalised;
  if (rest.starts_with("\r\n")) rest.remove_prefix(2);
  size_t pos = 0;
  while (pos < rest.size()) {
    const size_t colon = rest.find(':', pos);
    if (colon != std::string_view::npos) {
      std::string_view field = rest.substr(pos, colon - pos);
      size_t v = colon + 1;
      if (v < rest.size() && rest[v] == ' ') ++v;
      size_t cr = rest.find('\r', v);
      if (cr == std::string_view::npos) cr = rest.size();
      appendHeader(list, charset, field, rest.substr(v, cr - v));
      pos = afterLineEnd(rest, cr);
    } else {
      size_t cr = rest.find('\r', pos);
      if (cr == std::string_view::npos) cr = rest.size();
      if (!list.empty()) {
        list.back().value += "\r\n";
        list.back().value += rest.substr(pos, cr - pos);
      }
      pos = afterLineEnd(rest, cr);
    }
  }
}

}  // namespace pelsmtp
