// The Japanese mode: Shift_JIS text (the core's code page 932) converted to
// ISO-2022-JP for the body and for encoded header words.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pelsmtp {

// Lead byte of a Shift_JIS two-byte character.
inline bool isSjisLead(unsigned char c) {
  return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xEF);
}

// One Shift_JIS pair (lead, trail 0x40..0xFC) to its two JIS X 0208 bytes.
void sjisPairToJis(unsigned char lead, unsigned char trail, unsigned char out[2]);

// The full-width katakana (as a Shift_JIS pair, high byte first) for a
// half-width katakana byte 0xA1..0xDF.
uint16_t halfWidthKanaToSjis(unsigned char kana);

// The whole text to ISO-2022-JP: pairs and half-width kana in ESC $ B runs,
// everything else in ASCII (ESC ( B) runs.
std::string sjisToIso2022jp(std::string_view text);

// "=?ISO-2022-JP?B?" + base64 of the converted text + "?=".
std::string iso2022jpEncodedWord(std::string_view text);

// Address encoding: two-byte runs outside quotes and quoted strings holding
// bytes of 128 or more become encoded words (not yet folded).
std::string encodeJapaneseAddress(std::string_view text);

// Subject encoding: segments of about maxLength - 50 bytes (10 when
// maxLength is 50 or less), those with bytes of 128 or more as encoded
// words, joined by CR LF TAB.
std::string encodeJapaneseSubject(std::string_view text, unsigned maxLength);

}  // namespace pelsmtp
