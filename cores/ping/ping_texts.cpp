#include "ping_texts.h"

#include <iterator>

namespace pelping {
namespace {

// Indexed by the ICMP code of a destination-unreachable message.
constexpr const char *kUnreachableTexts[] = {
    "Network unreachable.",
    "Host unreachable.",
    "Protocol unreachable.",
    "Port unreachable.",
    "Fragmentation needed and DF is set.",
    "Source route failed.",
    "Destination network down.",
    "Destination host unknown.",
    "Source host isolated.",
    "Communication with destination network administratively prohibited.",
    "Communication with destination host administratively prohibited.",
    "Network unreachable for this type of service.",
    "Host unreachable for this type of service.",
};

}  // namespace

std::string unreachableText(int code) {
  if (code >= 0 && code < static_cast<int>(std::size(kUnreachableTexts)))
    return kUnreachableTexts[code];
  return "Destination unreachable: " + std::to_string(code) + ".";
}

}  // namespace pelping
