#include "compose/recipients.h"

namespace pelsmtp {

std::vector<std::string_view> splitRecipientText(std::string_view text) {
  std::vector<std::string_view> pieces;
  size_t start = 0;
  bool quoted = false;
  size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (quoted && c == '\\') {
      i += 2;  // the escaped byte cannot end the quote or the piece
      continue;
    }
    if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && (c == ',' || c == ';')) {
      pieces.push_back(text.substr(start, i - start));
      start = i + 1;
    }
    ++i;
  }
  if (start < text.size()) pieces.push_back(text.substr(start));
  return pieces;
}

namespace {

constexpr size_t kUnset = std::string_view::npos;

// Bytes 0 to 32 count as blanks around names and addresses.
std::string trimBlanks(std::string_view s) {
  size_t b = 0;
  size_t e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 32) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 32) --e;
  return std::string(s.substr(b, e - b));
}

}  // namespace

Recipient parseRecipientPiece(std::string_view piece) {
  // The walk marks where parts end; a part then runs from its start to the
  // first mark after it, the way terminators split a text in place.
  std::vector<bool> ends(piece.size() + 1, false);
  ends[piece.size()] = true;
  size_t nameStart = kUnset;
  size_t addressStart = kUnset;
  size_t first = kUnset;
  bool quoted = false;
  for (size_t i = 0; i < piece.size(); ++i) {
    const char c = piece[i];
    if (c == '\r' || c == '\n') {
      ends[i] = true;
    } else if (c == '"') {
      ends[i] = true;
      if (!quoted) nameStart = i + 1;
      quoted = !quoted;
    } else if (quoted) {
      if (c == '\\') ++i;  // the next byte is ordinary
    } else if (c == '(' || c == '<') {
      ends[i] = true;
      addressStart = i + 1;
    } else if (c == ')' || c == '>') {
      ends[i] = true;
    } else if (first == kUnset) {
      first = i;
    }
  }
  auto partFrom = [&](size_t start) -> std::string_view {
    if (start == kUnset) return {};
    size_t e = start;
    while (!ends[e]) ++e;
    return piece.substr(start, e - start);
  };
  std::string_view name = partFrom(nameStart);
  std::string_view address = partFrom(addressStart);
  if (first != kUnset) {
    std::string_view fromFirst = partFrom(first);
    if (address.empty() && fromFirst.find('@') != std::string_view::npos)
      address = fromFirst;
    else if (name.empty())
      name = fromFirst;
  }
  Recipient r;
  r.name = trimBlanks(name);
  r.address = trimBlanks(address);
  return r;
}

std::vector<Recipient> parseRecipientText(std::string_view text, RecipientType type) {
  std::vector<Recipient> list;
  for (std::string_view piece : splitRecipientText(text)) {
    list.push_back(parseRecipientPiece(piece));
    list.back().type = type;
  }
  return list;
}

std::string formatRecipients(const std::vector<Recipient> &list, RecipientType type) {
  std::string out;
  bool any = false;
  for (const Recipient &r : list) {
    if (r.type != type) continue;
    if (any) out += ", ";
    any = true;
    if (r.name.empty()) {
      out += r.address;
    } else {
      out += '"';
      out += r.name;
      out += "\" <";
      out += r.address;
      out += '>';
    }
  }
  return out;
}

}  // namespace pelsmtp
