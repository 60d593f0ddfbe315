// Generated and normalised Message-Id values.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pelsmtp {

// "@" and the bytes after it up to the first byte 0..32 or ">"; "" when
// `from` has no "@".
std::string_view fromDomain(std::string_view from);

// "<" n1 "l." n2 "l" n3 "l" n4 "l" domain ">".
std::string formatMessageId(uint64_t n1, uint32_t n2, uint64_t n3, uint32_t n4,
                            std::string_view domain);

// The next value of the process-wide sequence (1, 2, ...); thread-safe.
uint32_t nextMessageIdSequence();

// A caller's Message-Id made into "<...@domain>" form (see message_id.cpp).
std::string normaliseMessageId(std::string_view id, std::string_view domain);

}  // namespace pelsmtp
