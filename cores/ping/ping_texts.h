// The status texts of the ping core's Response event: "OK" and the texts of
// destination-unreachable answers, kept as a table.  (Error texts: ping_errors.h.)
#pragma once

#include <string>

namespace pelping {

// Status text of a destination-unreachable answer with ICMP code `code`.
std::string unreachableText(int code);

inline constexpr const char *kStatusOk = "OK";

}  // namespace pelping
