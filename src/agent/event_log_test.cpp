#include "agent/event_log.h"

#include <gtest/gtest.h>

#include "agent/npc.h"

namespace {

Json parsed(const StoredEvent& e) { return *parse_json(e.json()); }

TEST(EventLog, NumbersFromOneAndKeepsTheNewestTwoThousand) {
  Npc npc("smith");
  EXPECT_EQ(last_seq(npc), 0u);
  for (int i = 0; i < 2001; ++i) push_event(npc, "delta", {{"text", std::to_string(i)}});
  EXPECT_EQ(last_seq(npc), 2001u);
  auto all = events_after(npc.events, 0);
  ASSERT_EQ(all.size(), 2000u);
  EXPECT_EQ(all.front().seq, 2u);
  EXPECT_EQ(all.back().seq, 2001u);
  Json first = parsed(all.front());
  EXPECT_EQ(first["seq"], 2u);
  EXPECT_EQ(first["text"], "1");
  // Asking from inside the retained range returns exactly the newer ones.
  auto tail = events_after(npc.events, 1990);
  ASSERT_EQ(tail.size(), 11u);
  EXPECT_EQ(tail.front().seq, 1991u);
  EXPECT_TRUE(events_after(npc.events, 2001).empty());
  EXPECT_TRUE(events_after(npc.events, 5000).empty());
}

TEST(EventLog, WaitReturnsEarlyWhenAnEventArrives) {
  Npc npc("w");
  std::thread pusher([&] { push_event(npc, "said", {{"text", "hi"}}); });
  // Without the wake-up this would wait the whole minute and fail the size check below
  // only after it; with it, the wait ends at the push.
  auto events = wait_events_after(npc.events, 0, std::chrono::minutes(1));
  pusher.join();
  if (events.empty()) events = events_after(npc.events, 0);  // pushed before the wait began
  ASSERT_EQ(events.size(), 1u);
  EXPECT_TRUE(wait_events_after(npc.events, 1, std::chrono::milliseconds(1)).empty());
}

}  // namespace
