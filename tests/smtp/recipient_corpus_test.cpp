// Replays the recipient header fuzz target's seed corpus in every build (the
// sanitizer build checks those inputs even where libFuzzer is not built), and
// checks that the seeds are what their names say, so the corpus keeps
// covering the cases it was made for.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "compose/recipients.h"
#include "file_text.h"

#ifndef SMTP_RECIPIENT_CORPUS_DIR
#error "SMTP_RECIPIENT_CORPUS_DIR must name the seed corpus"
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

TEST(RecipientCorpus, EverySeedReplays) {
  size_t seeds = 0;
  for (const auto &entry : std::filesystem::directory_iterator(SMTP_RECIPIENT_CORPUS_DIR)) {
    const std::string bytes = testsupport::readFileText(entry.path());
    EXPECT_EQ(LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size()),
              0)
        << entry.path();
    ++seeds;
  }
  EXPECT_GE(seeds, 15u);
}

TEST(RecipientCorpus, SeedsAreWhatTheirNamesSay) {
  struct Row {
    const char *seed;
    size_t entries;
    const char *someName;  // a name one entry must have, or nullptr
  } rows[] = {
      {"semicolon_quoted_comma", 2, "Smith, John"},
      {"trailing_comma", 1, nullptr},
      {"double_comma", 3, nullptr},
      {"comma_and_blank", 2, nullptr},
      {"escaped_quote_in_name", 2, "Q \\\"x, y\\\" R"},
      {"unterminated_quote", 1, "Open name, still <o@x.org>"},
      {"line_break_in_name", 1, "Mary"},
      {"long_list_folded_at_16", 12, nullptr},
      {"utf8_names_encoded", 2, "J\xC3\xBCrgen Gro\xC3\x9F"},
      {"empty_text", 0, nullptr},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.seed);
    const std::string bytes =
        testsupport::readFileText(std::filesystem::path(SMTP_RECIPIENT_CORPUS_DIR) / r.seed);
    ASSERT_GE(bytes.size(), 2u);
    const auto list =
        pelsmtp::parseRecipientText(std::string_view(bytes).substr(2), pelsmtp::RecipientType::To);
    EXPECT_EQ(list.size(), r.entries);
    if (r.someName) {
      bool found = false;
      for (const auto &e : list) found = found || e.name == r.someName;
      EXPECT_TRUE(found);
    }
  }
}

}  // namespace
