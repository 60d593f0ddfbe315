#include "compose/header_list.h"

#include "compose/encoded_words.h"

namespace pelsmtp {

void appendHeader(std::vector<HeaderField> &list, std::string_view charset, std::string_view name,
                  std::string_view value) {
  if (value.empty()) return;
  HeaderField h{std::string(name), {}};
  if (charset.empty() || isPlainHeaderText(value))
    h.value.assign(value);
  else
    h.value = encodeHeaderValue(charset, value);
  list.push_back(std::move(h));
}

std::string formatHeaderBlock(const std::vector<HeaderField> &list) {
  size_t size = 2;
  for (const HeaderField &h : list) size += h.field.size() + h.value.size() + 4;
  std::string block;
  block.reserve(size);
  for (const HeaderField &h : list) {
    block += h.field;
    block += ": ";
    block += h.value;
    block += "\r\n";
  }
  block += "\r\n";
  return block;
}

}  // namespace pelsmtp
