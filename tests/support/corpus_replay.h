// Replays a fuzz target's seed corpus in every build: each seed goes through
// the target, which must take it without complaint, and each seed a test
// names is checked for what its name says, so the corpus keeps covering the
// cases it was seeded with.  Seeds the fuzzer found are replayed, not named.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

#include "file_text.h"

namespace testsupport {

using FuzzTarget = int (*)(const uint8_t *data, size_t size);

// Every seed of `dir` through `target`; `check(bytes, expected)` for each
// seed whose file name `named` holds, and every named seed must be there.
// Returns how many seeds were replayed.
template <class Expected, class Check>
size_t replayCorpus(const char *dir, FuzzTarget target,
                    const std::map<std::string, Expected> &named, Check check) {
  size_t seeds = 0;
  size_t found = 0;
  for (const auto &entry : std::filesystem::directory_iterator(dir)) {
    const std::string bytes = readFileText(entry.path());
    EXPECT_EQ(target(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size()), 0)
        << entry.path();
    ++seeds;
    const auto it = named.find(entry.path().filename().string());
    if (it == named.end()) continue;
    ++found;
    SCOPED_TRACE(entry.path().string());
    check(bytes, it->second);
  }
  EXPECT_EQ(found, named.size()) << "a named seed is missing from " << dir;
  return seeds;
}

}  // namespace testsupport
