// Encoded header words ("=?charset?B?...?=") and the base64 they carry.
#pragma once

#include <string>
#include <string_view>

namespace pelsmtp {

// RFC 4648 base64 with padding.  When the input is longer than 48 bytes a
// CR LF follows every 64 output characters (none at the very end).
std::string base64Lines(std::string_view bytes);

// "=?" charset "?B?" base64Lines(bytes) "?=".
std::string encodedWord(std::string_view charset, std::string_view bytes);

// True when every byte is 32 to 126, CR, LF or TAB.
bool isPlainHeaderText(std::string_view value);

// The value as it goes into the header list: unchanged when `charset` is
// empty or the value is plain; otherwise split into words, each word holding
// other bytes becoming one encoded word, with folds kept.
std::string encodeHeaderValue(std::string_view charset, std::string_view value);

}  // namespace pelsmtp
