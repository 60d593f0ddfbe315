// Feeds arbitrary bytes to the ICMP answer readers as a raw socket, a ping
// socket and the error queue would hand them over, and checks what the
// answer handler relies on: a match is ours, and reading it never goes past
// the bytes received.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "echo_packet.h"

using namespace pelping;

namespace {

// The key of the seeds: identifier 0x1234, sequence 1, request id 0x0A0B0C0D.
constexpr EchoKey kKey{
    .identifier = 0x1234, .checkIdentifier = true, .sequence = 1, .tag = 0x0A0B0C0D};

void checkAnswer(const EchoAnswer &a, size_t inputSize) {
  // The answer data is the input's bytes, plus at most the 24 bytes of the
  // raw layout put in front of a quoted request.
  if (a.data.size() > inputSize + 24) std::abort();
  auto in = interpretAnswer(a.type, a.code, ByteReader(a.data));
  if (a.type == kIcmpEchoReply || a.type == kIcmpUnreachable) {
    // Every accepted echo reply or unreachable answer names our request.
    if (in && in->requestId != kKey.tag) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const ByteReader input(data, size);

  // Raw path: whatever the header, the handler's view stays inside the input.
  ByteReader icmp = stripIPv4Header(input);
  if (icmp.size() > size) std::abort();
  if (icmp.size() >= 4) {
    auto in = interpretAnswer(*icmp.u8(0), *icmp.u8(1), icmp.from(4));
    (void)in;
  }

  if (auto a = matchRawDatagram(input, kKey)) checkAnswer(*a, size);
  if (auto a = matchEchoReply(input, kKey)) checkAnswer(*a, size);
  if (size >= 2) {
    if (auto a = answerFromQueuedError(data[0], data[1], input.from(2), kKey))
      checkAnswer(*a, size);
  }
  return 0;
}
