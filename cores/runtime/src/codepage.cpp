// Code page numbers mapped onto iconv charset names, and the conversions
// between the host's UTF-16 texts and the core's narrow texts.
#include "pelnet/runtime/codepage.h"

#include <glib.h>
#include <langinfo.h>
#include <strings.h>

#include <errno.h>

#include <algorithm>
#include <iterator>

namespace pelnet {
namespace {

struct CodePageName {
  int codePage;
  const char *charset;
};

// The first entry for a number is the name handed to iconv; later entries with
// the same number are further names by which a locale may report that charset.
constexpr CodePageName kCodePages[] = {
    {65001, "UTF-8"},
    {65001, "utf8"},
    {932, "CP932"},
    {932, "SHIFT_JIS"},
    {932, "SJIS"},
    {936, "CP936"},
    {936, "GBK"},
    {949, "CP949"},
    {950, "CP950"},
    {950, "BIG5"},
    {54936, "GB18030"},
    {20127, "ASCII"},
    {20127, "ANSI_X3.4-1968"},
    {437, "CP437"},
    {850, "CP850"},
    {852, "CP852"},
    {866, "CP866"},
    {874, "CP874"},
    {1200, "UTF-16LE"},
    {1201, "UTF-16BE"},
    {1250, "CP1250"},
    {1251, "CP1251"},
    {1252, "CP1252"},
    {1253, "CP1253"},
    {1254, "CP1254"},
    {1255, "CP1255"},
    {1256, "CP1256"},
    {1257, "CP1257"},
    {1258, "CP1258"},
    {20866, "KOI8-R"},
    {21866, "KOI8-U"},
    {28591, "ISO-8859-1"},
    {28592, "ISO-8859-2"},
    {28593, "ISO-8859-3"},
    {28594, "ISO-8859-4"},
    {28595, "ISO-8859-5"},
    {28596, "ISO-8859-6"},
    {28597, "ISO-8859-7"},
    {28598, "ISO-8859-8"},
    {28599, "ISO-8859-9"},
    {28603, "ISO-8859-13"},
    {28605, "ISO-8859-15"},
    {50220, "ISO-2022-JP"},
    {51932, "EUC-JP"},
    {51949, "EUC-KR"},
    {20932, "EUC-JP"},
};

constexpr const char *kHostUtf16 = G_BYTE_ORDER == G_LITTLE_ENDIAN ? "UTF-16LE" : "UTF-16BE";

// The locale's charset; the plain "C" locale reports ASCII, which is read as
// UTF-8 (a superset) so that texts of a program that never chose a locale
// are not refused.
const char *localeCharset() {
  const char *cs = nl_langinfo(CODESET);
  if (cs == nullptr || *cs == '\0' || strcasecmp(cs, "ANSI_X3.4-1968") == 0 ||
      strcasecmp(cs, "ASCII") == 0)
    return "UTF-8";
  return cs;
}

bool isUtf8(const char *charset) {
  return strcasecmp(charset, "UTF-8") == 0 || strcasecmp(charset, "utf8") == 0;
}

// Converts with iconv (through GLib); false when any character cannot be converted.
bool convert(const char *in, size_t inBytes, const char *to, const char *from, std::string &out) {
  gsize written = 0;
  GError *error = nullptr;
  gchar *result = g_convert(in, static_cast<gssize>(inBytes), to, from, nullptr, &written, &error);
  if (result == nullptr) {
    g_clear_error(&error);
    return false;
  }
  out.assign(result, written);
  g_free(result);
  return true;
}

constexpr char16_t kReplacement = 0xFFFD;

// Length of the UTF-8 character that starts at `p` (at most `left` bytes
// available) and its code point; 0 when the bytes there are no well-formed
// character.  The ranges of the second byte exclude overlong forms (C0, C1,
// E0 80..9F, F0 80..8F), the surrogates (ED A0..BF) and values above
// U+10FFFF (F4 90..BF, F5..FF).
size_t utf8Char(const unsigned char *p, size_t left, char32_t &cp) {
  const unsigned char b0 = p[0];
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  size_t n;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    n = 2;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    n = 3;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    n = 4;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (n > left) return 0;
  for (size_t i = 1; i < n; ++i) {
    const unsigned char b = p[i];
    if (b < lo || b > hi) return 0;
    lo = 0x80;
    hi = 0xBF;
    cp = (cp << 6) | (b & 0x3F);
  }
  return n;
}

void appendUtf16(char32_t cp, std::u16string &out) {
  if (cp < 0x10000) {
    out += static_cast<char16_t>(cp);
  } else {
    cp -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (cp >> 10));
    out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
  }
}

// UTF-8 to UTF-16 over all bytes (a zero byte is the character U+0000).
// Lossy: each byte that starts no well-formed character becomes U+FFFD and
// decoding goes on with the next byte.  Strict: false at the first such byte.
bool utf8ToUtf16(std::string_view in, bool lossy, std::u16string &out) {
  out.clear();
  out.reserve(in.size());
  const auto *p = reinterpret_cast<const unsigned char *>(in.data());
  size_t off = 0;
  while (off < in.size()) {
    char32_t cp = 0;
    const size_t n = utf8Char(p + off, in.size() - off, cp);
    if (n == 0) {
      if (!lossy) return false;
      out += kReplacement;
      ++off;
      continue;
    }
    appendUtf16(cp, out);
    off += n;
  }
  return true;
}

// Bytes in `charset` to host UTF-16 through iconv, going on after every byte
// sequence the charset does not define (one U+FFFD per `unit` bytes skipped).
// The state of a stateful charset (ISO-2022-JP) is kept across the skips.
// False when iconv does not know the charset.
bool iconvToUtf16Lossy(std::string_view in, const char *charset, size_t unit, std::u16string &out) {
  GIConv cd = g_iconv_open(kHostUtf16, charset);
  if (cd == reinterpret_cast<GIConv>(-1)) return false;
  out.clear();
  char16_t chunk[1024];
  auto *inPtr = const_cast<gchar *>(in.data());
  gsize inLeft = in.size();
  bool flushed = false;
  for (;;) {
    auto *outPtr = reinterpret_cast<gchar *>(chunk);
    gsize outLeft = sizeof chunk;
    gsize r;
    if (inLeft > 0) {
      r = g_iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    } else {
      // Input used up: a call without input writes what a stateful charset still holds.
      r = g_iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
      flushed = true;
    }
    const int err = r == static_cast<gsize>(-1) ? errno : 0;
    out.append(chunk, (sizeof chunk - outLeft) / sizeof(char16_t));
    if (err == E2BIG) {
      flushed = false;
      continue;
    }
    if ((err == EILSEQ || err == EINVAL) && inLeft > 0) {
      // A sequence the charset does not define, or one cut off by the end.
      const gsize skip = std::min<gsize>(unit, inLeft);
      out += kReplacement;
      inPtr += skip;
      inLeft -= skip;
      continue;
    }
    if (err != 0 || flushed) break;
  }
  g_iconv_close(cd);
  return true;
}

}  // namespace

const char *codePageCharset(int codePage) {
  if (codePage == 0) return localeCharset();
  auto it = std::find_if(std::begin(kCodePages), std::end(kCodePages),
                         [codePage](const CodePageName &e) { return e.codePage == codePage; });
  return it == std::end(kCodePages) ? nullptr : it->charset;
}

int localeCodePage() {
  const char *cs = localeCharset();
  auto it = std::find_if(std::begin(kCodePages), std::end(kCodePages),
                         [cs](const CodePageName &e) { return strcasecmp(e.charset, cs) == 0; });
  return it == std::end(kCodePages) ? 65001 : it->codePage;
}

bool narrowToUtf16(const std::string &in, int codePage, std::u16string &out) {
  const char *charset = codePageCharset(codePage);
  if (charset == nullptr) return false;
  out.clear();
  if (in.empty()) return true;
  // The common case without iconv: validate and convert in one step.
  if (isUtf8(charset)) return utf8ToUtf16(in, false, out);
  std::string bytes;
  if (!convert(in.data(), in.size(), kHostUtf16, charset, bytes)) return false;
  out.assign(reinterpret_cast<const char16_t *>(bytes.data()), bytes.size() / 2);
  return true;
}

std::u16string narrowToUtf16Lossy(std::string_view in, int codePage) {
  std::u16string out;
  if (in.empty()) return out;
  const char *charset = codePageCharset(codePage);
  if (charset != nullptr && isUtf8(charset)) {
    utf8ToUtf16(in, true, out);
    return out;
  }
  const size_t unit = codePage == 1200 || codePage == 1201 ? 2 : 1;
  if (charset != nullptr && iconvToUtf16Lossy(in, charset, unit, out)) return out;
  out.clear();
  for (unsigned char c : in) out += c < 0x80 ? char16_t(c) : kReplacement;
  return out;
}

bool utf16ToNarrow(const std::u16string &in, int codePage, std::string &out) {
  const char *charset = codePageCharset(codePage);
  if (charset == nullptr) return false;
  out.clear();
  if (in.empty()) return true;
  if (isUtf8(charset)) {
    // GLib's conversion ends at a NUL: the text is converted piece by piece
    // between NULs so that nothing after one is lost.
    size_t start = 0;
    for (;;) {
      const size_t zero = std::min(in.find(u'\0', start), in.size());
      if (zero > start) {
        glong items = 0;
        gchar *s = g_utf16_to_utf8(reinterpret_cast<const gunichar2 *>(in.data() + start),
                                   static_cast<glong>(zero - start), nullptr, &items, nullptr);
        if (s == nullptr) return false;  // a lone surrogate
        out.append(s, static_cast<size_t>(items));
        g_free(s);
      }
      if (zero == in.size()) return true;
      out += '\0';
      start = zero + 1;
    }
  }
  return convert(reinterpret_cast<const char *>(in.data()), in.size() * 2, charset, kHostUtf16,
                 out);
}

}  // namespace pelnet
