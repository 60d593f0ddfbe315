#include "compose/encoded_words.h"

#include <nettle/base64.h>

#include <cstdint>

namespace pelsmtp {

std::string base64Lines(std::string_view bytes) {
  std::string raw(BASE64_ENCODE_RAW_LENGTH(bytes.size()), '\0');
  base64_encode_raw(raw.data(), bytes.size(), reinterpret_cast<const uint8_t *>(bytes.data()));
  if (bytes.size() <= 48) return raw;
  // Long words are broken into lines of 64 characters so that no header
  // line grows past what servers accept.
  std::string out;
  out.reserve(raw.size() + raw.size() / 32 + 2);
  for (size_t off = 0; off < raw.size(); off += 64) {
    if (off) out += "\r\n";
    out.append(raw, off, 64);
  }
  return out;
}

std::string encodedWord(std::string_view charset, std::string_view bytes) {
  std::string out = "=?";
  out += charset;
  out += "?B?";
  out += base64Lines(bytes);
  out += "?=";
  return out;
}

bool isPlainHeaderText(std::string_view value) {
  for (char ch : value) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c < 32 || c > 126) && c != '\r' && c != '\n' && c != '\t') return false;
  }
  return true;
}

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Appends one word to the result: as it is when plain, else as an encoded
// word that starts a line of its own and keeps the fold that followed it.
void finishWord(std::string &result, std::string &word, std::string_view charset) {
  if (word.empty()) return;
  if (isPlainHeaderText(word)) {
    result += word;
    word.clear();
    return;
  }
  char fold = 0;
  if (word.size() >= 3 && (word.ends_with("\r\n\t") || word.ends_with("\r\n "))) {
    fold = word.back();
    word.resize(word.size() - 3);
  }
  if (!result.empty() && !result.ends_with("\r\n\t") && !result.ends_with("\r\n ")) {
    const char last = result.back();
    if (last == ' ' || last == '\t') {
      result.pop_back();
      result += "\r\n";
      result += last;
    } else {
      result += "\r\n\t";
    }
  }
  result += encodedWord(charset, word);
  if (fold) {
    result += "\r\n";
    result += fold;
  }
  word.clear();
}

}  // namespace

std::string encodeHeaderValue(std::string_view charset, std::string_view value) {
  if (charset.empty() || isPlainHeaderText(value)) return std::string(value);
  std::string result;
  std::string word;
  size_t i = 0;
  while (i < value.size()) {
    const char c = value[i++];
    if (isBlank(c)) {
      const bool opensWord = word.empty();
      word += c;
      while (i < value.size() && isBlank(value[i]) && !word.ends_with("\r\n\t")) word += value[i++];
      if (!opensWord) finishWord(result, word, charset);
    } else if (c == '"') {
      finishWord(result, word, charset);
      result += '"';
    } else {
      word += c;
    }
  }
  finishWord(result, word, charset);
  return result;
}

}  // namespace pelsmtp
