// OtherHeaders: the caller's extra header lines.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "compose/header_list.h"

namespace pelsmtp {

// Rewritten so that the text ends with exactly one CR LF (trailing CR LF
// pairs reduced to one, a final bare LF made CR LF, a missing line end added).
// An empty text stays empty.
std::string normaliseOtherHeaders(std::string_view text);

// True when the text starts with CR LF: its headers replace the standard ones.
bool isRawOtherHeaders(std::string_view text);

// Appends the headers of a normalised text to `list` (one leading CR LF
// dropped).  A field runs to the first colon of the rest, even one on a later
// line, so the written lines come out as they were; a rest without any colon
// is a continuation of the last pair of the list.  Values go through
// appendHeader, so empty ones are left out.
void appendOtherHeaders(std::vector<HeaderField> &list, std::string_view normalised,
                        std::string_view charset);

}  // namespace pelsmtp
