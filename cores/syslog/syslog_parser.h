// Lenient parser of received syslog datagrams: whatever the bytes are, the
// result carries the fields that could be read and says whether the packet
// conforms to the BSD syslog form.  Pure function, no allocation beyond the
// result's strings, every read bounds-checked.
#pragma once

#include <string>
#include <string_view>

namespace pelnet::syslog {

struct ParsedDatagram {
  int facilityCode = 1;  // user-level when the datagram has no priority part
  int severityCode = 5;  // notice
  std::string timestamp;
  std::string hostname;
  std::string message;
  bool conforms = false;
};

ParsedDatagram parseDatagram(std::string_view data);

}  // namespace pelnet::syslog
