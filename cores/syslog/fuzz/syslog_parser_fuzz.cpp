// Feeds arbitrary bytes to the datagram parser and checks the promises its
// callers rely on: codes in range, and fields that are pieces of the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "syslog_parser.h"
#include "syslog_tables.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string_view in(reinterpret_cast<const char *>(data), size);
  const pelnet::syslog::ParsedDatagram p = pelnet::syslog::parseDatagram(in);
  if (p.facilityCode < 0 || p.facilityCode > 31 || p.severityCode < 0 || p.severityCode > 7)
    std::abort();
  if (p.message.size() > size || p.hostname.size() > size) std::abort();
  if (!p.message.empty() && in.find(p.message) == std::string_view::npos) std::abort();
  // Conforming: "Mmm dd hh:mm:ss", or one character less with a one-digit hour.
  if (p.conforms && p.timestamp.size() != 15 && p.timestamp.size() != 14) std::abort();
  // The name tables must answer for every code the parser can produce.
  if (!pelnet::syslog::facilityName(p.facilityCode) ||
      !pelnet::syslog::severityName(p.severityCode))
    std::abort();
  return 0;
}
