// The line layer without sockets: line assembly, the bounded reply line and
// the traffic record's script text.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "connection/reply_reader.h"
#include "connection/traffic_record.h"
#include "file_text.h"

#ifndef SMTP_REPLY_CORPUS_DIR
#error "SMTP_REPLY_CORPUS_DIR must name the reply reader's seed corpus"
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

using pelnet::smtp::LineBuffer;
using pelnet::smtp::ReplyLine;

namespace {

// A delivered piece as text: its bytes, then "|" when it ends a line.
std::string shown(const pelnet::smtp::LinePiece &p) {
  return std::string(p.bytes) + (p.lineEnd ? "|" : "");
}

// Feeds the chunks as reads of the socket would, taking every piece the
// buffer offers after each read.
std::vector<std::string> assemble(const std::vector<std::string> &chunks, size_t capacity,
                                  bool split = true) {
  LineBuffer b;
  EXPECT_EQ(b.reset(capacity), 0);
  b.splitLines = split;
  std::vector<std::string> pieces;
  for (const std::string &chunk : chunks) {
    size_t off = 0;
    while (off < chunk.size()) {
      char *room = b.space();
      const size_t n = std::min(b.spaceSize(), chunk.size() - off);
      std::copy_n(chunk.data() + off, n, room);
      b.commit(n);
      off += n;
      while (auto p = b.next()) pieces.push_back(shown(*p));
    }
  }
  return pieces;
}

// The lines that the pieces make, as the dialogue joins them.
std::vector<std::string> lines(const std::vector<std::string> &pieces) {
  std::vector<std::string> out;
  std::string line;
  for (const std::string &p : pieces) {
    if (!p.empty() && p.back() == '|') {
      out.push_back(line + p.substr(0, p.size() - 1));
      line.clear();
    } else {
      line += p;
    }
  }
  return out;
}

struct AssemblyCase {
  const char *name;
  std::vector<std::string> chunks;
  size_t capacity;
  bool split;
  std::vector<std::string> pieces;
};

const AssemblyCase kAssemblyCases[] = {
    {"crlf", {"220 a\r\n250 b\r\n"}, 2048, true, {"220 a|", "250 b|"}},
    {"lf only", {"220 a\n250 b\n"}, 2048, true, {"220 a|", "250 b|"}},
    {"cr only", {"220 a\r250 b\r"}, 2048, true, {"220 a|", "250 b|"}},
    {"lf cr pair is one end", {"220 a\n\r250 b\n\r"}, 2048, true, {"220 a|", "250 b|"}},
    {"cr lf cr is two ends", {"a\r\n\rb\r\n"}, 2048, true, {"a|", "|", "b|"}},
    {"two crs are two ends", {"a\r\rb\n"}, 2048, true, {"a|", "|", "b|"}},
    {"cr at the end of one read, lf at the start of the next",
     {"220 a\r", "\n250 b\r\n"},
     2048,
     true,
     {"220 a|", "250 b|"}},
    {"lf at the end of one read, cr at the start of the next",
     {"220 a\n", "\r250 b\n"},
     2048,
     true,
     {"220 a|", "250 b|"}},
    {"a lone lf after a cr-lf pair is a line of its own",
     {"a\r\n", "\nb\n"},
     2048,
     true,
     {"a|", "|", "b|"}},
    {"empty lines", {"\r\n\r\n"}, 2048, true, {"|", "|"}},
    {"line without end stays", {"220 a\r\n250 b"}, 2048, true, {"220 a|"}},
    {"full buffer leaves as a partial piece", {"abcdefghij\r\n"}, 4, true, {"abcd", "efgh", "ij|"}},
    {"line of exactly the capacity", {"abcd\r\n"}, 4, true, {"abcd", "|"}},
    {"nul bytes are line bytes",
     {std::string("220 a\0b\r\n", 9)},
     2048,
     true,
     {std::string("220 a\0b|", 8)}},
    {"capacity one", {"ab\r\nc\n"}, 1, true, {"a", "b", "|", "c", "|"}},
    {"no split: delivered as they come", {"220 a\r\n", "250"}, 2048, false, {"220 a\r\n", "250"}},
};

class LineAssembly : public testing::TestWithParam<AssemblyCase> {};

TEST_P(LineAssembly, DeliversThePiecesOfTheCase) {
  const AssemblyCase &c = GetParam();
  EXPECT_EQ(assemble(c.chunks, c.capacity, c.split), c.pieces);
}

INSTANTIATE_TEST_SUITE_P(Cases, LineAssembly, testing::ValuesIn(kAssemblyCases),
                         [](const testing::TestParamInfo<AssemblyCase> &info) {
                           std::string n;
                           for (const char *p = info.param.name; *p; ++p)
                             n += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                           return n;
                         });

// A slow peer gives the same lines as a fast one, wherever its reads are cut.
TEST(LineAssembly, EveryCutGivesTheSameLines) {
  const std::string reply =
      "220-first\r\n220 second\n250-x\n\r250 done\r\n" + std::string(3000, 'y') + "\r\n";
  const std::vector<std::string> whole = lines(assemble({reply}, 2048));
  ASSERT_EQ(whole.size(), 5u);
  EXPECT_EQ(whole[4], std::string(3000, 'y'));
  for (size_t cut = 0; cut <= reply.size(); ++cut)
    EXPECT_EQ(lines(assemble({reply.substr(0, cut), reply.substr(cut)}, 2048)), whole)
        << "cut after byte " << cut;
  std::vector<std::string> bytes;
  for (char ch : reply) bytes.emplace_back(1, ch);
  EXPECT_EQ(lines(assemble(bytes, 2048)), whole);
}

TEST(LineAssembly, LongLineArrivesInPiecesOfTheCapacity) {
  const std::vector<std::string> pieces = assemble({std::string(5000, 'z') + "\r\n"}, 2048);
  ASSERT_EQ(pieces.size(), 3u);
  EXPECT_EQ(pieces[0].size(), 2048u);
  EXPECT_EQ(pieces[1].size(), 2048u);
  EXPECT_EQ(pieces[2], std::string(904, 'z') + "|");
  EXPECT_EQ(lines(pieces), std::vector<std::string>{std::string(5000, 'z')});
}

TEST(LineAssembly, ClearForgetsContentAndHalfSeenPair) {
  LineBuffer b;
  b.commit(0);
  std::copy_n("a\r", 2, b.space());
  b.commit(2);
  ASSERT_TRUE(b.next().has_value());
  b.clear();
  std::copy_n("\nb\n", 3, b.space());
  b.commit(3);
  auto first = b.next();
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(shown(*first), "|");  // the LF is a line end of its own after clear()
}

TEST(LineAssembly, CommitBeyondTheRoomIsIgnored) {
  LineBuffer b;
  ASSERT_EQ(b.reset(4), 0);
  std::copy_n("abcd", 4, b.space());
  b.commit(100);
  EXPECT_EQ(b.size(), 4u);
  EXPECT_TRUE(b.full());
  EXPECT_EQ(b.spaceSize(), 0u);
}

// ---------------------------------------------------------------- the bounded reply line

TEST(ReplyLineTest, KeepsTheFirst64KiBAndCountsTheRest) {
  ReplyLine r;
  const std::string piece(2048, 'x');
  uint64_t total = 0;
  // 40 MB in pieces of the line buffer's size, the way an endless line arrives.
  for (int i = 0; i < 20480; ++i, total += piece.size()) {
    ASSERT_TRUE(r.append(piece, false));
    ASSERT_FALSE(r.complete());
  }
  EXPECT_EQ(r.text().size(), ReplyLine::kReplyLineKeep);
  EXPECT_LE(r.text().capacity(), 2 * ReplyLine::kReplyLineKeep);
  EXPECT_EQ(r.dropped(), total - ReplyLine::kReplyLineKeep);
  ASSERT_TRUE(r.append("tail", true));
  EXPECT_TRUE(r.complete());
  EXPECT_EQ(r.text(), std::string(ReplyLine::kReplyLineKeep, 'x'));
}

TEST(ReplyLineTest, PiecesMakeOneLineAndTheNextStartsAfresh) {
  ReplyLine r;
  r.append("250-", false);
  r.append("first", false);
  r.append("", true);
  EXPECT_TRUE(r.complete());
  EXPECT_EQ(r.text(), "250-first");
  EXPECT_EQ(r.dropped(), 0u);
  r.append("250 next", true);
  EXPECT_EQ(r.text(), "250 next");
  r.clear();
  EXPECT_EQ(r.text(), "");
  EXPECT_FALSE(r.complete());
}

// ---------------------------------------------------------------- the traffic record

struct EscapeCase {
  std::string bytes;
  std::string escaped;
};

TEST(TrafficRecordText, EscapesEveryByteAsTheScriptNeeds) {
  const EscapeCase cases[] = {
      {std::string("\0", 1), "\\000"},
      {"\r\n", "\r\n"},
      {"plain text ~!", "plain text ~!"},
      {"\\", "\\\\"},
      {"$", "\\$"},
      {"\"", "\\\""},
      {"{}[]", "\\{\\}\\[\\]"},
      {"\t", "\\011"},
      {"\x1b", "\\033"},
      {"\x7f", "\\177"},
      {"\x80", "\\200"},
      {"\xff", "\\377"},
  };
  for (const EscapeCase &c : cases) {
    std::string out;
    pelnet::smtp::appendEscaped(out, c.bytes);
    EXPECT_EQ(out, c.escaped) << "for byte " << static_cast<int>(c.bytes[0]);
  }
  // Every byte value once: printable bytes stay one byte (or two), the rest become four.
  for (int b = 0; b < 256; ++b) {
    std::string out;
    pelnet::smtp::appendEscaped(out, std::string(1, static_cast<char>(b)));
    const bool plain = b == '\r' || b == '\n' || (b >= 32 && b <= 126);
    if (!plain) {
      ASSERT_EQ(out.size(), 4u) << b;
      EXPECT_EQ(std::stoi(out.substr(1), nullptr, 8), b);
    }
  }
}

TEST(TrafficRecordText, BlocksAreScriptLines) {
  EXPECT_EQ(pelnet::smtp::recordBlockText(false, "220 ready\r\n"),
            "\r\nsend -nonewline \"220 ready\r\n\"\r\n");
  EXPECT_EQ(pelnet::smtp::recordBlockText(true, "MAIL FROM:<a@b>\r\n"),
            "\r\nexpect -exact \"MAIL FROM:<a@b>\r\n\"\r\n");
}

// ---------------------------------------------------------------- the fuzz target's seeds

TEST(ReplyReaderCorpus, EverySeedReplays) {
  size_t seeds = 0;
  for (const auto &entry : std::filesystem::directory_iterator(SMTP_REPLY_CORPUS_DIR)) {
    const std::string bytes = testsupport::readFileText(entry.path());
    EXPECT_EQ(LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size()),
              0)
        << entry.path();
    ++seeds;
  }
  EXPECT_GE(seeds, 10u);
}

// The seeds are what their names say: their header (capacity, mode) and the lines they make.
TEST(ReplyReaderCorpus, SeedsAreWhatTheirNamesSay) {
  struct Row {
    const char *seed;
    size_t capacity;
    bool split;
    std::vector<std::string> lines;
  };
  const Row rows[] = {
      {"greeting_crlf", 2048, true, {"220 mail.test ESMTP ready"}},
      {"multiline_ehlo",
       2048,
       true,
       {"250-mail.test", "250-SIZE 1000", "250-8BITMIME", "250 HELP"}},
      {"lf_only", 2048, true, {"220 ready", "250 ok", "354 go"}},
      {"lf_cr_pairs", 2048, true, {"220 a", "250 b", ""}},
      {"lone_crs", 2048, true, {"220 a", "250 b", ""}},
      {"long_line_small_buffer", 16, true, {"250 " + std::string(100, 'x'), "250 y"}},
      {"line_of_buffer_size", 8, true, {"12345678", "1234567"}},
      {"nul_bytes", 2048, true, {std::string("250 a\0b\0", 8), std::string(1, '\0')}},
      {"no_split", 64, false, {}},
      {"line_without_end", 2048, true, {}},
      {"capacity_one", 1, true, {"ab", "c", "d"}},
  };
  for (const Row &r : rows) {
    const std::string seed =
        testsupport::readFileText(std::filesystem::path(SMTP_REPLY_CORPUS_DIR) / r.seed);
    ASSERT_GE(seed.size(), 3u) << r.seed;
    const size_t capacity =
        1 + ((static_cast<uint8_t>(seed[0]) | (static_cast<uint8_t>(seed[1]) << 8)) % 4096);
    const bool split = (static_cast<uint8_t>(seed[2]) & 1) == 0;
    EXPECT_EQ(capacity, r.capacity) << r.seed;
    EXPECT_EQ(split, r.split) << r.seed;
    EXPECT_EQ(lines(assemble({seed.substr(3)}, capacity, split)), r.lines) << r.seed;
  }
}

}  // namespace
