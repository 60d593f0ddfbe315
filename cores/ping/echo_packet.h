// ICMP echo messages: the request layout, the RFC 1071 checksum, and the
// bounds-checked reading of answers (echo replies and the errors that quote
// one of our requests).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "pelnet/runtime/byte_reader.h"

namespace pelping {

inline constexpr uint8_t kIcmpEchoReply = 0;
inline constexpr uint8_t kIcmpUnreachable = 3;
inline constexpr uint8_t kIcmpEchoRequest = 8;
inline constexpr uint8_t kIcmpTimeExceeded = 11;
inline constexpr uint8_t kIcmp6Unreachable = 1;
inline constexpr uint8_t kIcmp6EchoRequest = 128;
inline constexpr uint8_t kIcmp6EchoReply = 129;
inline constexpr size_t kIcmpHeaderSize = 8;
inline constexpr char kFillerByte = '*';

// Received bytes are read through the runtime's bounds-checked reader.
using pelnet::ByteReader;

// RFC 1071 one's-complement sum, folded and complemented; `seed` carries a
// pseudo-header's partial sum.
uint16_t internetChecksum(const void *data, size_t len, uint32_t seed = 0);
// Partial (unfolded) sum, for combining a pseudo-header with the message.
uint32_t checksumPartial(const void *data, size_t len, uint32_t sum = 0);
uint16_t checksumFinish(uint32_t sum);

// The request body: PacketSize - 4 filler bytes (the message from offset 4 on).
std::string requestBody(uint16_t packetSize);
inline size_t requestBodySize(uint16_t packetSize) { return packetSize > 4 ? packetSize - 4u : 0u; }
// Writes the request id and send time into body bytes 0..7 (as far as the body reaches).
void stampBody(std::string &body, uint32_t requestId, uint32_t sendTime);
// type, code, checksum, then the body; the checksum covers the whole message.
std::string buildMessage(uint8_t type, uint8_t code, std::string_view body);
// The same message with `head` before the body, written into `out` so that a
// caller sending one message after another reuses its storage.
void buildMessageInto(std::string &out, uint8_t type, uint8_t code, std::string_view head,
                      std::string_view body);

// What the answer handler makes of one ICMP message, given its type, code and
// the bytes from offset 4 on.
struct Interpreted {
  enum class Kind { EchoReply, Unreachable } kind;
  uint32_t requestId = 0;
  uint32_t sendTime = 0;    // echo replies only
  bool hasSendTime = true;  // false: the reply is timed from the request's send instead
  int code = 0;             // unreachable only
};
std::optional<Interpreted> interpretAnswer(uint8_t type, uint8_t code, ByteReader data);
// An echo reply whose data holds the request id but not the whole send time
// (PacketSize 8 to 11): matched by its id like any other, without a send time.
std::optional<Interpreted> interpretShortEchoReply(uint8_t type, ByteReader data);

// Strips the 20-byte IPv4 header a raw IPv4 socket delivers (first byte 0x45).
ByteReader stripIPv4Header(ByteReader datagram);

// One answer to a request sent as echo data (the synchronous exchange): an
// echo reply carrying our echo data, or an ICMP error quoting our request.
struct EchoAnswer {
  uint8_t type = 0;
  uint8_t code = 0;
  std::string data;  // the answer's bytes from ICMP offset 4 on, in the raw path's layout
};

// What identifies the one request of a synchronous exchange: the echo
// header's identifier and sequence, and the request id that starts its echo data.
struct EchoKey {
  uint16_t identifier = 0;
  bool checkIdentifier = true;  // false where the kernel has matched it already (ping sockets)
  uint16_t sequence = 0;
  uint32_t tag = 0;
};

// `message` is an ICMP message, header first.  An echo reply matches when its
// identifier, sequence and the first four bytes of its data are ours; the
// answer data is the echo data.
std::optional<EchoAnswer> matchEchoReply(ByteReader message, const EchoKey &key);
// A full IPv4 datagram from a raw socket: an echo reply as above, or a
// destination-unreachable / time-exceeded message that quotes our request.
std::optional<EchoAnswer> matchRawDatagram(ByteReader datagram, const EchoKey &key);
// An ICMP error taken from a ping socket's error queue, where the kernel hands
// back the quoted request (header first).
std::optional<EchoAnswer> answerFromQueuedError(uint8_t type, uint8_t code, ByteReader quoted,
                                                const EchoKey &key);

}  // namespace pelping
