// Code page numbers mapped onto iconv charset names, and the conversions
// between the host's UTF-16 texts and the core's narrow texts.
#include "pelnet/runtime/codepage.h"

#include <glib.h>
#include <langinfo.h>
#include <strings.h>

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
  if (isUtf8(charset)) {
    // The common case without iconv: validate and convert in one step.
    glong items = 0;
    gunichar2 *w =
        g_utf8_to_utf16(in.data(), static_cast<glong>(in.size()), nullptr, &items, nullptr);
    if (w == nullptr) return false;
    out.assign(reinterpret_cast<const char16_t *>(w), static_cast<size_t>(items));
    g_free(w);
    return true;
  }
  std::string bytes;
  if (!convert(in.data(), in.size(), kHostUtf16, charset, bytes)) return false;
  out.assign(reinterpret_cast<const char16_t *>(bytes.data()), bytes.size() / 2);
  return true;
}

bool utf16ToNarrow(const std::u16string &in, int codePage, std::string &out) {
  const char *charset = codePageCharset(codePage);
  if (charset == nullptr) return false;
  out.clear();
  if (in.empty()) return true;
  if (isUtf8(charset)) {
    glong items = 0;
    gchar *s = g_utf16_to_utf8(reinterpret_cast<const gunichar2 *>(in.data()),
                               static_cast<glong>(in.size()), nullptr, &items, nullptr);
    if (s == nullptr) return false;  // a lone surrogate
    out.assign(s, static_cast<size_t>(items));
    g_free(s);
    return true;
  }
  return convert(reinterpret_cast<const char *>(in.data()), in.size() * 2, charset, kHostUtf16,
                 out);
}

}  // namespace pelnet
