#include "http/event_stream.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

TEST(ParseSince, TheFirstSinceIfItIsANonNegativeSigned64BitDecimal) {
  // (since=0, since after another parameter, and a word: the end-to-end GameRestarts.)
  const std::vector<std::pair<std::string_view, std::uint64_t>> parsed = {
      {"since=+7", 7},
      {"since=-0", 0},
      {"since=4&since=6", 4},
      {"since=9223372036854775807", std::numeric_limits<std::int64_t>::max()}};
  for (const auto& [query, since] : parsed) EXPECT_EQ(parse_since(query), since) << query;
  for (const char* query : {"", "since", "since=", "since=+", "since=-5", "since=7x", "since=%37",
                            "since=9223372036854775808", "xsince=2"}) {
    EXPECT_EQ(parse_since(query), std::nullopt) << query;
  }
}
