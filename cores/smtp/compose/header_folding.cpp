#include "compose/header_folding.h"

#include "compose/iso2022jp.h"

namespace pelsmtp {

namespace {

bool hasHighByte(std::string_view s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 128) return true;
  return false;
}

}  // namespace

std::string foldPlain(std::string_view text, unsigned maxLength) {
  if (maxLength == 0) return std::string(text);
  std::string out;
  out.reserve(text.size() + text.size() / 8 + 4);
  long countdown = maxLength;
  for (size_t i = 0; i < text.size(); ++i) {
    --countdown;
    char c = text[i];
    if (c == '\r' || c == '\n') c = ' ';
    if (countdown <= 0 && (c == ' ' || c == '\t' || c == ',')) {
      if (c == ',') out += ',';
      if (i + 1 == text.size()) break;
      out += "\r\n ";
      countdown = maxLength;
    } else {
      out += c;
    }
  }
  return out;
}

std::string foldAddressHeader(std::string_view text, unsigned maxLength, int charsetMode) {
  if (charsetMode == 0 || !hasHighByte(text)) return foldPlain(text, maxLength);
  return foldPlain(encodeJapaneseAddress(text), maxLength);
}

std::string foldSubject(std::string_view text, unsigned maxLength, int charsetMode) {
  if (charsetMode == 0 || !hasHighByte(text)) return foldPlain(text, maxLength);
  return encodeJapaneseSubject(text, maxLength);
}

}  // namespace pelsmtp
