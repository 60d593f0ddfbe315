// Replays the answer fuzz target's seed corpus in every build, and checks
// that the seeds are what their names say, so the corpus keeps covering the
// interesting paths.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "corpus_replay.h"
#include "echo_packet.h"

#ifndef PING_CORPUS_DIR
#error "PING_CORPUS_DIR must name the seed corpus"
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

std::string readSeed(const std::string &name) {
  return testsupport::readFileText(std::string(PING_CORPUS_DIR) + "/" + name);
}

const pelping::EchoKey kKey{
    .identifier = 0x1234, .checkIdentifier = true, .sequence = 1, .tag = 0x0A0B0C0D};

}  // namespace

TEST(AnswerCorpus, EverySeedReplays) {
  const size_t seeds =
      testsupport::replayCorpus(PING_CORPUS_DIR, LLVMFuzzerTestOneInput,
                                std::map<std::string, int>{}, [](const std::string &, int) {});
  EXPECT_GE(seeds, 10u);
}

TEST(AnswerCorpus, SeedsAreWhatTheirNamesSay) {
  using pelping::ByteReader;
  struct Row {
    const char *seed;
    bool rawMatch;
    int type;
  } rows[] = {
      {"echo_reply_datagram", true, 0},   {"unreachable_host_quoting_ours", true, 3},
      {"unreachable_code_13", true, 3},   {"time_exceeded_8_byte_quote", true, 11},
      {"quote_with_ip_options", true, 3}, {"someone_elses_request", false, 0},
      {"lying_header_length", false, 0},  {"three_byte_message", false, 0},
  };
  for (const Row &r : rows) {
    std::string s = readSeed(r.seed);
    ASSERT_FALSE(s.empty()) << r.seed;
    auto a = pelping::matchRawDatagram(ByteReader(s), kKey);
    ASSERT_EQ(a.has_value(), r.rawMatch) << r.seed;
    if (a) {
      EXPECT_EQ(a->type, r.type) << r.seed;
    }
  }
  std::string queued = readSeed("queued_error_unreachable");
  EXPECT_TRUE(pelping::answerFromQueuedError(static_cast<uint8_t>(queued[0]),
                                             static_cast<uint8_t>(queued[1]),
                                             ByteReader(queued).from(2), kKey));
  EXPECT_TRUE(pelping::matchEchoReply(ByteReader(readSeed("ping_socket_reply")), kKey));
}
