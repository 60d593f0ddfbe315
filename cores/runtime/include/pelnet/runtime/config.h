// The text form of a configuration setting ("Name=value", "Name", "Name[3]=x")
// and the readers of its values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace pelnet {

struct ParsedSetting {
  std::string name;
  int32_t index = -1;  // -1 when no [n] or (n) was given
  std::string value;
  bool query = false;  // true when the text held no "="
};

ParsedSetting parseSetting(const std::string &text);

// True for "TRUE", "yes" or "1" in any case; false for anything else.
bool readBool(const std::string &value);
// Optional sign, then decimal digits up to the first other character; no digits give 0.
int32_t readInt(const std::string &value);
// Case-insensitive ASCII comparison of setting names.
bool sameName(const std::string &a, const char *b);

// The answer of one configuration layer: nullopt = the layer does not know the name
// (the lookup goes on), otherwise the code (0 or an error) with the answer text.
using ConfigResult = std::optional<int>;

inline const char *boolText(bool v) { return v ? "True" : "False"; }

}  // namespace pelnet
