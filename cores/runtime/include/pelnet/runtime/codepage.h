// Conversion between the host's UTF-16 texts and the core's narrow texts in
// its code page (CodePage 0 = the locale's charset).
#pragma once

#include <string>
#include <string_view>

namespace pelnet {

// The iconv name of a code page number; nullptr when unknown.  0 gives the locale's charset.
const char *codePageCharset(int codePage);
// The code page number of the locale's charset (65001 for UTF-8, 932 for Shift_JIS, ...).
int localeCodePage();

// All bytes of `in`, zero bytes included; false when any byte sequence is not
// a character of the code page.
bool narrowToUtf16(const std::string &in, int codePage, std::u16string &out);
// The same for received texts, which must arrive whatever they hold: every
// valid character is converted and each byte that is not part of one becomes
// one U+FFFD (two bytes for a UTF-16 code page, its unit).  In UTF-8 overlong
// forms, encoded surrogates and values above U+10FFFF are not characters.
// An unknown code page keeps ASCII and replaces every other byte.
std::u16string narrowToUtf16Lossy(std::string_view in, int codePage);
bool utf16ToNarrow(const std::u16string &in, int codePage, std::string &out);

}  // namespace pelnet
