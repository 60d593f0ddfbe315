#include "echo_packet.h"

#include <cstring>

namespace pelping {

uint32_t checksumPartial(const void *data, size_t len, uint32_t sum) {
  const auto *p = static_cast<const uint8_t *>(data);
  size_t i = 0;
  for (; i + 1 < len; i += 2) {
    sum += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
    // Fold early so long messages cannot overflow the accumulator.
    if (sum & 0x80000000u) sum = (sum & 0xFFFF) + (sum >> 16);
  }
  if (i < len) sum += static_cast<uint32_t>(p[i] << 8);
  return sum;
}

uint16_t checksumFinish(uint32_t sum) {
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

uint16_t internetChecksum(const void *data, size_t len, uint32_t seed) {
  return checksumFinish(checksumPartial(data, len, seed));
}

std::string requestBody(uint16_t packetSize) {
  return std::string(requestBodySize(packetSize), kFillerByte);
}

void stampBody(std::string &body, uint32_t requestId, uint32_t sendTime) {
  // A PacketSize below 12 leaves no room for the whole send time; write what fits.
  char stamp[8];
  std::memcpy(stamp, &requestId, 4);
  std::memcpy(stamp + 4, &sendTime, 4);
  std::memcpy(body.data(), stamp, body.size() < 8 ? body.size() : 8);
}

std::string buildMessage(uint8_t type, uint8_t code, std::string_view body) {
  std::string msg;
  buildMessageInto(msg, type, code, {}, body);
  return msg;
}

void buildMessageInto(std::string &out, uint8_t type, uint8_t code, std::string_view head,
                      std::string_view body) {
  out.clear();
  out.reserve(4 + head.size() + body.size());
  out.push_back(static_cast<char>(type));
  out.push_back(static_cast<char>(code));
  out.append(2, '\0');
  out.append(head);
  out.append(body);
  uint16_t sum = internetChecksum(out.data(), out.size());
  out[2] = static_cast<char>(sum >> 8);
  out[3] = static_cast<char>(sum & 0xFF);
}

std::optional<Interpreted> interpretAnswer(uint8_t type, uint8_t code, ByteReader data) {
  Interpreted out{};
  switch (type) {
    case kIcmpEchoReply:
    case kIcmp6EchoReply:
      if (data.size() < 8) return std::nullopt;
      out.kind = Interpreted::Kind::EchoReply;
      out.requestId = *data.host32(0);
      out.sendTime = *data.host32(4);
      return out;
    case kIcmpUnreachable:
      // 4 unused bytes and the 20-byte IPv4 header of the invoking packet come
      // before the quoted request, whose id is at its offset 4.
      if (data.size() < 32) return std::nullopt;
      out.kind = Interpreted::Kind::Unreachable;
      out.requestId = *data.host32(28);
      out.code = code;
      return out;
    case kIcmp6Unreachable:
      // The same, after a 40-byte IPv6 header.
      if (data.size() < 52) return std::nullopt;
      out.kind = Interpreted::Kind::Unreachable;
      out.requestId = *data.host32(48);
      out.code = code;
      return out;
    default:
      return std::nullopt;
  }
}

std::optional<Interpreted> interpretShortEchoReply(uint8_t type, ByteReader data) {
  if ((type != kIcmpEchoReply && type != kIcmp6EchoReply) || data.size() < 4 || data.size() >= 8)
    return std::nullopt;
  Interpreted out{};
  out.kind = Interpreted::Kind::EchoReply;
  out.requestId = *data.host32(0);
  out.hasSendTime = false;
  return out;
}

ByteReader stripIPv4Header(ByteReader datagram) {
  if (datagram.size() >= 20 && datagram.u8(0) == 0x45) return datagram.from(20);
  return datagram;
}

namespace {

// The IPv4 header length of a datagram, or nullopt when it is not a whole IPv4 header.
std::optional<size_t> ipv4HeaderLength(ByteReader datagram) {
  auto b0 = datagram.u8(0);
  if (!b0 || (*b0 >> 4) != 4) return std::nullopt;
  size_t ihl = static_cast<size_t>(*b0 & 0x0F) * 4;
  if (ihl < 20 || !datagram.has(0, ihl)) return std::nullopt;
  return ihl;
}

// True when `quoted` (an ICMP message, header first) is our echo request.
// Routers may quote only the 8-byte header; the tag is checked when it is there.
bool isOurRequest(ByteReader quoted, const EchoKey &key) {
  auto ident = quoted.be16(4);
  if (quoted.u8(0) != kIcmpEchoRequest || !ident ||
      (key.checkIdentifier && *ident != key.identifier) || quoted.be16(6) != key.sequence)
    return false;
  auto tag = quoted.host32(8);
  return !tag || *tag == key.tag;
}

// The answer data of an ICMP error in the raw path's layout: 4 unused bytes,
// a 20-byte IPv4 header, then the quoted request with our tag at its offset 4.
std::string quoteInRawLayout(std::string_view ipHeader20, ByteReader quoted, uint32_t tag) {
  std::string data(4, '\0');
  data.append(ipHeader20);
  data.append(quoted.view().substr(0, 4));
  char t[4];
  std::memcpy(t, &tag, 4);
  data.append(t, 4);
  ByteReader rest = quoted.from(12);
  data.append(rest.view());
  return data;
}

bool isErrorType(uint8_t type) { return type == kIcmpUnreachable || type == kIcmpTimeExceeded; }

}  // namespace

std::optional<EchoAnswer> matchEchoReply(ByteReader message, const EchoKey &key) {
  auto ident = message.be16(4);
  if (message.u8(0) != kIcmpEchoReply || !ident ||
      (key.checkIdentifier && *ident != key.identifier) || message.be16(6) != key.sequence ||
      message.host32(8) != key.tag)
    return std::nullopt;
  EchoAnswer a;
  a.type = kIcmpEchoReply;
  a.code = *message.u8(1);
  a.data = std::string(message.from(kIcmpHeaderSize).view());
  return a;
}

std::optional<EchoAnswer> matchRawDatagram(ByteReader datagram, const EchoKey &key) {
  auto ihl = ipv4HeaderLength(datagram);
  if (!ihl) return std::nullopt;
  ByteReader icmp = datagram.from(*ihl);
  auto type = icmp.u8(0);
  if (!type || !icmp.has(0, kIcmpHeaderSize)) return std::nullopt;
  if (*type == kIcmpEchoReply) return matchEchoReply(icmp, key);
  if (!isErrorType(*type)) return std::nullopt;
  ByteReader quotedIp = icmp.from(kIcmpHeaderSize);
  auto qihl = ipv4HeaderLength(quotedIp);
  if (!qihl) return std::nullopt;
  ByteReader quoted = quotedIp.from(*qihl);
  if (!isOurRequest(quoted, key)) return std::nullopt;
  EchoAnswer a;
  a.type = *type;
  a.code = *icmp.u8(1);
  a.data = quoteInRawLayout(quotedIp.view().substr(0, 20), quoted, key.tag);
  return a;
}

std::optional<EchoAnswer> answerFromQueuedError(uint8_t type, uint8_t code, ByteReader quoted,
                                                const EchoKey &key) {
  if (!isErrorType(type) || !isOurRequest(quoted, key)) return std::nullopt;
  // The kernel gives the quoted request without its IP header; a plain one stands in.
  static constexpr char kHeader[20] = {0x45};
  EchoAnswer a;
  a.type = type;
  a.code = code;
  a.data = quoteInRawLayout(std::string_view(kHeader, 20), quoted, key.tag);
  return a;
}

}  // namespace pelping
