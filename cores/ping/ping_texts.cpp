#include "ping_texts.h"

#include <iterator>

namespace pelping {
namespace {

struct CodeText {
  int code;
  const char *text;
};

constexpr CodeText kErrorTexts[] = {
    {kNoRemoteAddress, "The RemoteHost address is invalid."},
    {kAlreadyActive, "ICMPPort is already Active."},
    {kLocalHostWhileActive, "Cannot change LocalHost when ICMPPort is Active."},
    {kMustBeActive, "ICMPPort must be Active for this operation."},
    {kMaxSizeWhileActive, "Cannot change MaxPacketSize while ICMPPort is Active."},
    {kRemoteHostWhileConnected,
     "Cannot change RemoteHost when UseConnection is set and ICMPPort is Active."},
    {kUseConnectionWhileActive, "Cannot change UseConnection option while ICMPPort is Active."},
    {kMessageTooLong, "Message can't be longer than MaxMessageSize."},
    {kMessageTooShort, "Message too short."},
    {kNoIcmpHandle, "Can't create ICMP handle."},
    {kBadMac, "Bad MAC address."},
    {kIPv6WithHelper, "IPv6 is not supported when the UseICMPDLL configuration is set to true."},
};

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

const char *pingErrorText(int code) {
  for (const CodeText &e : kErrorTexts)
    if (e.code == code) return e.text;
  return "";
}

std::string unreachableText(int code) {
  if (code >= 0 && code < static_cast<int>(std::size(kUnreachableTexts)))
    return kUnreachableTexts[code];
  return "Destination unreachable: " + std::to_string(code) + ".";
}

}  // namespace pelping
