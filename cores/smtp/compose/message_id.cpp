#include "compose/message_id.h"

#include <atomic>
#include <cinttypes>
#include <cstdio>

namespace pelsmtp {

std::string_view fromDomain(std::string_view from) {
  const size_t at = from.find('@');
  if (at == std::string_view::npos) return {};
  size_t end = at + 1;
  while (end < from.size() && static_cast<unsigned char>(from[end]) > 32 && from[end] != '>') ++end;
  return from.substr(at, end - at);
}

std::string formatMessageId(uint64_t n1, uint32_t n2, uint64_t n3, uint32_t n4,
                            std::string_view domain) {
  char numbers[96];
  const int n = std::snprintf(numbers, sizeof numbers,
                              "<%" PRIu64 "l.%" PRIu32 "l%" PRIu64 "l%" PRIu32 "l", n1, n2, n3, n4);
  std::string id(numbers, n > 0 ? static_cast<size_t>(n) : 0);
  id += domain;
  id += '>';
  return id;
}

uint32_t nextMessageIdSequence() {
  // Shared by every instance in the process, so two instances created in the
  // same millisecond at reused addresses still differ.
  static std::atomic<uint32_t> sequence{0};
  return sequence.fetch_add(1, std::memory_order_relaxed) + 1;
}

std::string normaliseMessageId(std::string_view id, std::string_view domain) {
  const bool hasAt = id.find('@') != std::string_view::npos;
  if (hasAt && id.starts_with('<') && id.find('>') != std::string_view::npos)
    return std::string(id);
  std::string out;
  if (!id.starts_with('<')) out += '<';
  out += id;
  if (hasAt) {
    if (!out.ends_with('>')) out += '>';
  } else {
    out += domain;
    out += '>';
  }
  return out;
}

}  // namespace pelsmtp
