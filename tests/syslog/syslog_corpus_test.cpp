// Replays the fuzz target's seed corpus through the parser in every build,
// so the sanitizer build checks those inputs even where libFuzzer is not built.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "file_text.h"
#include "syslog_parser.h"

#ifndef SYSLOG_CORPUS_DIR
#error "SYSLOG_CORPUS_DIR must name the seed corpus"
#endif

TEST(SyslogParserCorpus, EverySeedParses) {
  size_t files = 0;
  for (const auto &entry : std::filesystem::directory_iterator(SYSLOG_CORPUS_DIR)) {
    if (!entry.is_regular_file()) continue;
    const std::string bytes = testsupport::readFileText(entry.path());
    const auto p = pelnet::syslog::parseDatagram(bytes);
    EXPECT_GE(p.facilityCode, 0) << entry.path();
    EXPECT_LE(p.facilityCode, 31) << entry.path();
    EXPECT_LE(p.message.size(), bytes.size()) << entry.path();
    if (p.conforms) {
      EXPECT_GE(p.timestamp.size(), 14u) << entry.path();  // one-digit hours are accepted
      EXPECT_LE(p.timestamp.size(), 15u) << entry.path();
    }
    ++files;
  }
  EXPECT_GE(files, 9u);  // the table's datagrams at least
}
