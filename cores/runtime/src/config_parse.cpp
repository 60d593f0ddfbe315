// Parsing of configuration texts ("Name=value", "Name", "Name[3]=x") and the
// readers of Boolean and integer values.
#include <strings.h>

#include <cstdint>
#include <limits>

#include "pelnet/runtime/config.h"

namespace pelnet {

ParsedSetting parseSetting(const std::string &text) {
  ParsedSetting s;
  size_t eq = text.find('=');
  std::string head = text.substr(0, eq);

  // The name, with any bracketed index taken out of it.
  bool inIndex = false;
  std::string indexText;
  for (char c : head) {
    if (c == '[' || c == '(') {
      inIndex = true;
      indexText.clear();
    } else if (c == ']' || c == ')') {
      if (inIndex) s.index = readInt(indexText);
      inIndex = false;
    } else if (inIndex) {
      indexText += c;
    } else {
      s.name += c;
    }
  }
  if (inIndex) s.index = readInt(indexText);  // an index that was never closed still counts

  if (eq == std::string::npos) {
    s.query = true;
    return s;
  }
  std::string value = text.substr(eq + 1);
  size_t start = value.find_first_not_of(' ');
  value = start == std::string::npos ? std::string() : value.substr(start);
  if (!value.empty() && value.front() == '"') value.erase(0, 1);
  size_t end = value.find_last_not_of(' ');
  value.resize(end == std::string::npos ? 0 : end + 1);
  if (!value.empty() && value.back() == '"') value.pop_back();
  s.value = std::move(value);
  return s;
}

bool readBool(const std::string &value) {
  return strcasecmp(value.c_str(), "TRUE") == 0 || strcasecmp(value.c_str(), "yes") == 0 ||
         value == "1";
}

int32_t readInt(const std::string &value) {
  size_t i = 0;
  bool negative = false;
  if (i < value.size() && (value[i] == '-' || value[i] == '+')) negative = value[i++] == '-';
  // Accumulate in 64 bits and saturate, so that long digit strings cannot overflow.
  int64_t n = 0;
  const int64_t limit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
    n = n * 10 + (value[i] - '0');
    if (n > limit) n = limit;
  }
  if (negative) n = -n;
  if (n > std::numeric_limits<int32_t>::max()) n = std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(n);
}

bool sameName(const std::string &a, const char *b) { return strcasecmp(a.c_str(), b) == 0; }

}  // namespace pelnet
