// The header list of a composition and the header block made from it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace pelsmtp {

// One pair of the header list.
struct HeaderField {
  std::string field;
  std::string value;
  bool operator==(const HeaderField &) const = default;
};

// Appends (name, value) unless the value is empty; with a non-empty
// `charset` a value holding bytes outside 32..126, CR, LF and TAB goes in as
// encoded words.
void appendHeader(std::vector<HeaderField> &list, std::string_view charset, std::string_view name,
                  std::string_view value);

// Each pair as field ": " value CR LF, then one more CR LF.
std::string formatHeaderBlock(const std::vector<HeaderField> &list);

}  // namespace pelsmtp
