// The wake-up body for a MAC address: 6 bytes 0xFF, then the 6 address
// bytes 16 times (102 bytes).
#pragma once

#include <optional>
#include <string>

namespace pelping {

inline constexpr size_t kWakeBodySize = 102;

// The 6 address bytes from a MAC text: its hexadecimal digits in order, every
// other character skipped; nullopt unless there are exactly 12 digits.
std::optional<std::string> macBytes(const std::string &text);
// The wake-up body for the MAC text, or nullopt when the text is not a MAC address.
std::optional<std::string> wakeBody(const std::string &macText);

}  // namespace pelping
