#include "compose/iso2022jp.h"

#include "compose/encoded_words.h"

namespace pelsmtp {

namespace {

// Full-width katakana (and punctuation) for the half-width bytes 0xA1..0xDF,
// as Shift_JIS pairs: the JIS X 0201 to JIS X 0208 correspondence.
constexpr uint16_t kHalfWidthKana[0xDF - 0xA1 + 1] = {
    0x8142, 0x8175, 0x8176, 0x8141, 0x8145, 0x8392, 0x8340, 0x8342,  // A1..A8
    0x8344, 0x8346, 0x8348, 0x8383, 0x8385, 0x8387, 0x8362, 0x815B,  // A9..B0
    0x8341, 0x8343, 0x8345, 0x8347, 0x8349, 0x834A, 0x834C, 0x834E,  // B1..B8
    0x8350, 0x8352, 0x8354, 0x8356, 0x8358, 0x835A, 0x835C, 0x835E,  // B9..C0
    0x8360, 0x8363, 0x8365, 0x8367, 0x8369, 0x836A, 0x836B, 0x836C,  // C1..C8
    0x836D, 0x836E, 0x8371, 0x8374, 0x8377, 0x837A, 0x837D, 0x837E,  // C9..D0
    0x8380, 0x8381, 0x8382, 0x8384, 0x8386, 0x8388, 0x8389, 0x838A,  // D1..D8
    0x838B, 0x838C, 0x838D, 0x838F, 0x8393, 0x814A, 0x814B,          // D9..DF
};

constexpr unsigned char kVoicedMark = 0xDE;
constexpr unsigned char kSemiVoicedMark = 0xDF;
constexpr char kToJis[] = {27, '$', 'B'};
constexpr char kToAscii[] = {27, '(', 'B'};

bool isHalfWidthKana(unsigned char c) { return c >= 0xA1 && c <= 0xDF; }

// The kana that take a voiced mark: KA..TO, HA..HO and U (whose voiced form
// VU is not next to it in the table).
bool takesVoicedMark(unsigned char k) {
  return (k >= 0xB6 && k <= 0xC4) || (k >= 0xCA && k <= 0xCE) || k == 0xB3;
}
bool takesSemiVoicedMark(unsigned char k) { return k >= 0xCA && k <= 0xCE; }

bool hasHighByte(std::string_view s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 128) return true;
  return false;
}

}  // namespace

void sjisPairToJis(unsigned char lead, unsigned char trail, unsigned char out[2]) {
  const int adjust = trail < 0x9F ? 1 : 0;
  const int first = (lead - (lead < 0xA0 ? 0x70 : 0xB0)) * 2 - adjust;
  const int second = trail - (adjust == 0 ? 0x7E : (trail > 0x7F ? 0x20 : 0x1F));
  out[0] = static_cast<unsigned char>(first);
  out[1] = static_cast<unsigned char>(second);
}

uint16_t halfWidthKanaToSjis(unsigned char kana) {
  if (!isHalfWidthKana(kana)) return 0;
  return kHalfWidthKana[kana - 0xA1];
}

std::string sjisToIso2022jp(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 2 + 8);
  bool twoByte = false;
  auto putPair = [&](unsigned char lead, unsigned char trail) {
    unsigned char jis[2];
    sjisPairToJis(lead, trail, jis);
    if (!twoByte) {
      out.append(kToJis, 3);
      twoByte = true;
    }
    out += static_cast<char>(jis[0]);
    out += static_cast<char>(jis[1]);
  };
  auto toAscii = [&] {
    if (twoByte) {
      out.append(kToAscii, 3);
      twoByte = false;
    }
  };
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\r' || c == '\n') {
      toAscii();
      out += static_cast<char>(c);
      ++i;
    } else if (isSjisLead(c)) {
      if (i + 1 >= text.size()) break;  // a lead byte without its trail is dropped
      const auto trail = static_cast<unsigned char>(text[i + 1]);
      if (trail >= 0x40 && trail <= 0xFC) {
        putPair(c, trail);
      } else {
        out += static_cast<char>(c);
        out += static_cast<char>(trail);
      }
      i += 2;
    } else if (isHalfWidthKana(c)) {
      uint16_t full = halfWidthKanaToSjis(c);
      size_t used = 1;
      if (i + 1 < text.size()) {
        const auto mark = static_cast<unsigned char>(text[i + 1]);
        if (mark == kVoicedMark && takesVoicedMark(c)) {
          full = c == 0xB3 ? 0x8394 : full + 1;
          used = 2;
        } else if (mark == kSemiVoicedMark && takesSemiVoicedMark(c)) {
          full += 2;
          used = 2;
        }
      }
      putPair(static_cast<unsigned char>(full >> 8), static_cast<unsigned char>(full & 0xFF));
      i += used;
    } else {
      toAscii();
      out += static_cast<char>(c);
      ++i;
    }
  }
  toAscii();
  return out;
}

std::string iso2022jpEncodedWord(std::string_view text) {
  return encodedWord("ISO-2022-JP", sjisToIso2022jp(text));
}

std::string encodeJapaneseAddress(std::string_view text) {
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '"') {
      const size_t close = text.find('"', i + 1);
      if (close == std::string_view::npos) {
        out += iso2022jpEncodedWord(text.substr(i + 1));
        break;
      }
      std::string_view quoted = text.substr(i + 1, close - i - 1);
      if (hasHighByte(quoted)) {
        out += iso2022jpEncodedWord(quoted);
      } else {
        out += '"';
        out += quoted;
        out += '"';
      }
      i = close + 1;
    } else if (isSjisLead(c)) {
      size_t end = i;
      while (end < text.size() && isSjisLead(static_cast<unsigned char>(text[end]))) end += 2;
      if (end > text.size()) end = text.size();
      out += iso2022jpEncodedWord(text.substr(i, end - i));
      i = end;
    } else {
      out += static_cast<char>(c);
      ++i;
    }
  }
  return out;
}

std::string encodeJapaneseSubject(std::string_view text, unsigned maxLength) {
  const size_t width = maxLength > 50 ? maxLength - 50 : 10;
  std::string segment;
  std::string out;
  auto flush = [&] {
    if (hasHighByte(segment))
      out += iso2022jpEncodedWord(segment);
    else
      out += segment;
    segment.clear();
  };
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (isSjisLead(c)) {
      if (segment.size() > width) {
        flush();
        out += "\r\n\t";
      }
      segment += static_cast<char>(c);
      if (i + 1 < text.size()) segment += text[i + 1];
      i += 2;
      continue;
    }
    const char b = (c == '\r' || c == '\n') ? ' ' : static_cast<char>(c);
    const bool separator = b == ' ' || b == '\t' || b == ',';
    if (segment.size() < width && !separator) {
      segment += b;
    } else {
      if (b == ',') segment += ',';
      const size_t length = segment.size();
      flush();
      if (length >= width) {
        out += "\r\n\t";
        if (!separator) out += b;
      } else if (b == ' ' || b == '\t') {
        out += b;
      }
    }
    ++i;
  }
  if (!segment.empty()) flush();
  return out;
}

}  // namespace pelsmtp
