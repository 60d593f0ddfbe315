// Conversion between the host's UTF-16 texts and the core's narrow texts in
// its code page (CodePage 0 = the locale's charset).
#pragma once

#include <string>

namespace pelnet {

// The iconv name of a code page number; nullptr when unknown.  0 gives the locale's charset.
const char *codePageCharset(int codePage);
// The code page number of the locale's charset (65001 for UTF-8, 932 for Shift_JIS, ...).
int localeCodePage();

bool narrowToUtf16(const std::string &in, int codePage, std::u16string &out);
bool utf16ToNarrow(const std::u16string &in, int codePage, std::string &out);

}  // namespace pelnet
