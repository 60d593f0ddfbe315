// Feeds arbitrary bytes to the composition of a recipient header: the text is
// split and parsed as a SendTo write, formatted back, folded as an address
// header (in the Japanese mode too) and encoded into words, and checks what
// the header block relies on.
//
// Input: byte 0 picks MaxHeaderLength, byte 1 the mode (bit 0 CharsetMode,
// bit 1 a Charset for encoded words); the rest is the recipient text.
#include <nettle/base64.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "compose/encoded_words.h"
#include "compose/header_folding.h"
#include "compose/iso2022jp.h"
#include "compose/recipients.h"

using namespace pelsmtp;

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

// Folded text: every CR and LF is part of a CR LF that begins a continuation
// line (CR LF and a blank), so no value can end a header early.
void checkFolded(std::string_view s) {
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\n') check(i > 0 && s[i - 1] == '\r');
    if (s[i] == '\r')
      check(i + 2 < s.size() && s[i + 1] == '\n' && (s[i + 2] == ' ' || s[i + 2] == '\t'));
  }
}

// Every "=?...?B?" word carries valid base64.  Line breaks inside are
// allowed, and so are blanks: the address encoding is plain-folded after it,
// which turns the line breaks of a long word into blanks.  Only for inputs
// without "?", whose plain parts cannot look like a word.
void checkEncodedWords(std::string_view s) {
  size_t pos = 0;
  while ((pos = s.find("?B?", pos)) != std::string_view::npos) {
    const size_t start = pos + 3;
    const size_t end = s.find("?=", start);
    check(end != std::string_view::npos);
    std::string b64;
    for (char c : s.substr(start, end - start))
      if (c != '\r' && c != '\n' && c != ' ' && c != '\t') b64 += c;
    check(b64.size() % 4 == 0);
    std::string out(BASE64_DECODE_LENGTH(b64.size()) + 1, '\0');
    base64_decode_ctx ctx;
    base64_decode_init(&ctx);
    size_t n = out.size();
    check(base64_decode_update(&ctx, &n, reinterpret_cast<uint8_t *>(out.data()), b64.size(),
                               b64.data()));
    check(base64_decode_final(&ctx));
    pos = end + 2;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  static constexpr unsigned kLengths[] = {72, 0, 1, 5, 16, 50, 51, 998};
  const unsigned maxLength = kLengths[data[0] % 8];
  const int charsetMode = data[1] & 1;
  const std::string_view charset = (data[1] & 2) ? "UTF-8" : "";
  const std::string_view text(reinterpret_cast<const char *>(data + 2), size - 2);
  const bool hasQuestionMark = text.find('?') != std::string_view::npos;

  // Parsing: every piece gives one entry, with blanks trimmed and no byte
  // that was not in the text.
  const auto pieces = splitRecipientText(text);
  const auto list = parseRecipientText(text, RecipientType::Cc);
  check(list.size() == pieces.size());
  for (const Recipient &r : list) {
    check(r.type == RecipientType::Cc && r.options.empty());
    check(r.name.size() <= text.size() && r.address.size() <= text.size());
    for (const std::string *s : {&r.name, &r.address}) {
      if (s->empty()) continue;
      check(static_cast<unsigned char>(s->front()) > 32 &&
            static_cast<unsigned char>(s->back()) > 32);
      check(text.find(*s) != std::string_view::npos);  // parts are cut, never rewritten
    }
  }
  const std::string formatted = formatRecipients(list, RecipientType::Cc);
  check(formatRecipients(list, RecipientType::To).empty());

  // Folding: length 0 keeps the text; otherwise line ends only as folds.
  check(foldPlain(formatted, 0) == formatted);
  const std::string folded = foldAddressHeader(formatted, maxLength, charsetMode);
  if (maxLength != 0) checkFolded(folded);
  if (charsetMode == 0) check(folded == foldPlain(formatted, maxLength));

  // Encoded words: with a charset the value is plain header text, and every
  // word's base64 decodes.
  const std::string value = encodeHeaderValue(charset, folded);
  if (charset.empty()) {
    check(value == folded);
  } else {
    check(isPlainHeaderText(value));
  }
  // Words of one encoder only: the Japanese mode copies bytes outside its
  // words, and a charset then wraps parts of its words into words of its own.
  if (!hasQuestionMark) checkEncodedWords(charsetMode == 0 ? value : folded);

  // The raw text through the Japanese subject and the body conversion.
  const std::string subject = foldSubject(text, maxLength, 1);
  if (!hasQuestionMark) checkEncodedWords(subject);
  // At most a two-byte form and a shift per byte, and the final shift back.
  const std::string jis = sjisToIso2022jp(text);
  check(jis.size() <= text.size() * 5 + 3);
  return 0;
}
