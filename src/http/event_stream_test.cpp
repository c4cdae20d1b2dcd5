#include "http/event_stream.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

namespace {

TEST(ParseSince, TheFirstSinceIfItIsANonNegativeSigned64BitDecimal) {
  constexpr std::uint64_t LARGEST = std::numeric_limits<std::int64_t>::max();
  struct Case {
    std::string_view query;
    std::optional<std::uint64_t> since;
  };
  // (since=0, since after another parameter, and a word: the end-to-end EventsStream.)
  for (const Case& c : std::vector<Case>{{"since=+7", 7},
                                         {"since=-0", 0},
                                         {"since=4&since=6", 4},
                                         {"since=9223372036854775807", LARGEST},
                                         {"", std::nullopt},
                                         {"since", std::nullopt},
                                         {"since=", std::nullopt},
                                         {"since=+", std::nullopt},
                                         {"since=-5", std::nullopt},
                                         {"since=7x", std::nullopt},
                                         {"since=%37", std::nullopt},
                                         {"since=9223372036854775808", std::nullopt},
                                         {"xsince=2", std::nullopt}}) {
    EXPECT_EQ(parse_since(c.query), c.since) << c.query;
  }
}

}  // namespace
