// A stream that falls behind a reply written at full speed: the game still gets every event of
// it once, in order, and the agent is not held back meanwhile.

#include "harness/scenario.h"

namespace {

using namespace harness;

class StreamBacklog : public Scenario {};

TEST_F(StreamBacklog, AStreamThatStopsReadingDuringAFloodStillGetsEveryEvent) {
  // 60,000 deltas of 100 characters make about 10 MB of frames: thirty times the events the
  // log keeps for anyone, and more than the socket buffers take from a client that reads nothing.
  SseStream stalled;
  ASSERT_TRUE(open_events(stalled, demo.port(), "smith"));
  auto said = demo.say("smith", "@flood 60000");
  ASSERT_TRUE(said && said->status == 200);
  // Sanitizer builds relay a flood slowly: a bound well past the usual one.
  constexpr auto WAIT = std::chrono::minutes(2);
  auto live = read_until_type(events, "result", WAIT);
  ASSERT_TRUE(live);
  // The agent finished its turn while `stalled` read nothing.
  auto late = read_until_type(stalled, "result", WAIT);
  ASSERT_TRUE(late);
  for (const std::vector<Json>* turn : {&*live, &*late}) {
    EXPECT_GE(of_type(*turn, "delta").size(), 60000u);
    for (std::size_t i = 1; i < turn->size(); ++i)
      ASSERT_EQ((*turn)[i]["seq"], (*turn)[i - 1]["seq"].get<std::uint64_t>() + 1) << "at " << i;
  }
}

}  // namespace
