// The text form of a configuration setting ("Name=value", "Name", "Name[3]=x")
// and the readers of its values.
#pragma once

#include <cstddef>
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

// One setting of a socket kind in a table, found by name without regard to
// case.  `assign` stores a value and returns 0 or a code; nullptr makes the
// setting query only, and an assignment goes on to the next layer as if the
// name were unknown.  `query` answers it.
template <class Object>
struct KindSetting {
  const char *name;
  int (*assign)(Object &, const std::string &value);
  std::string (*query)(Object &);
};

// Table entries for a plain field: stores readBool/readInt of the value, answers its text.
template <class Object, bool Object::*Field>
int storeBool(Object &o, const std::string &value) {
  o.*Field = readBool(value);
  return 0;
}
template <class Object, bool Object::*Field>
std::string answerBool(Object &o) {
  return boolText(o.*Field);
}
template <class Object, int Object::*Field>
int storeInt(Object &o, const std::string &value) {
  o.*Field = readInt(value);
  return 0;
}
template <class Object, int Object::*Field>
std::string answerInt(Object &o) {
  return std::to_string(o.*Field);
}

template <class Object, size_t N>
ConfigResult lookupSetting(const KindSetting<Object> (&table)[N], Object &o, const ParsedSetting &s,
                           std::string &answer) {
  for (const KindSetting<Object> &k : table) {
    if (!sameName(s.name, k.name)) continue;
    if (s.query) {
      answer = k.query(o);
      return 0;
    }
    if (k.assign == nullptr) return std::nullopt;
    return k.assign(o, s.value);
  }
  return std::nullopt;
}

}  // namespace pelnet
