// Folding of header values when they are written: plain folding at a line
// length, and the address and subject forms that switch to encoded words for
// Japanese text.
#pragma once

#include <string>
#include <string_view>

namespace pelsmtp {

// Breaks a value at the first space, TAB or comma that is the
// `maxLength`-th byte of its line or later: a space or TAB becomes CR LF
// space, a comma stays before the break.  CR and LF count as spaces.  A
// final space or TAB is dropped.  `maxLength` 0 leaves the text as it is.
std::string foldPlain(std::string_view text, unsigned maxLength);

// From, ReplyTo, To and Cc: plain folding, or with `charsetMode` non-zero and
// a byte of 128 or more in the text, the Japanese address encoding first.
std::string foldAddressHeader(std::string_view text, unsigned maxLength, int charsetMode);

// Subject: plain folding, or with `charsetMode` non-zero and a byte of 128 or
// more in the text, the Japanese subject encoding (which folds by itself).
std::string foldSubject(std::string_view text, unsigned maxLength, int charsetMode);

}  // namespace pelsmtp
