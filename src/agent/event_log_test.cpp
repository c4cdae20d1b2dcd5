#include "agent/event_log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <thread>

#include "agent/npc.h"

// A stream or a hook that waits is woken by the push itself, batched or not: without the
// wake-up it would sleep out its whole wait (a stream's keep-alive), one event at a time.
TEST(EventLog, APushWakesEveryWaiterAtOnce) {
  using namespace std::chrono_literals;
  auto eventually = [](auto done) {  // polls for up to 10 s
    for (int i = 0; i < 2000 && !done(); ++i) std::this_thread::sleep_for(5ms);
    return done();
  };
  Npc npc("w");
  for (int round = 0; round < 3; ++round) {
    LogReader reader(npc.events, last_seq(npc));
    std::uint64_t since = last_seq(npc);
    std::atomic<int> started = 0, woke = 0;
    std::thread stream([&] { ++started, woke += !reader.take(30s).empty(); });
    std::thread hook(
        [&] { ++started, woke += !wait_events_after(npc.events, since, 30s).empty(); });
    // Polling lets both begin their wait before the push, so the push must wake them.
    EXPECT_TRUE(eventually([&] { return started == 2; }));
    {
      std::optional<DeferredWakeups> batch;
      if (round == 1) batch.emplace();
      push_event(npc, "said", {{"text", "hi"}});
    }
    EXPECT_TRUE(eventually([&] { return woke == 2; })) << "round " << round;
    stream.join();
    hook.join();
  }
}

// (A stalled stream gets every event of a flood: the end-to-end StreamBacklog.)
TEST(EventLog, ConnectedReadersMissNothingWithinTheBacklogBudget) {
  using namespace std::chrono_literals;
  Npc npc("r");
  {
    LogReader fast(npc.events, 0), slow(npc.events, 0);
    // A reader that stops taking holds at most the budget's worth of frames past the newest
    // 2000; it then misses the oldest, and `fast` still gets everything.
    std::size_t fast_got = 0;
    for (int i = 0; i < 40; ++i) {
      for (int j = 0; j < 100; ++j) push_event(npc, "said", {{"text", std::string(10000, 'b')}});
      fast_got += fast.take(0ms).size();
    }
    EXPECT_EQ(fast_got, 4000u);
    std::vector<StoredEvent> all = events_after(npc.events, 0);
    std::size_t backlog = 0;
    for (std::size_t i = 0; i + MAX_EVENTS < all.size(); ++i) backlog += all[i].size;
    EXPECT_LE(backlog, EventLog::MAX_BACKLOG_BYTES);
    EXPECT_GT(backlog + 10100, EventLog::MAX_BACKLOG_BYTES);
    EXPECT_EQ(slow.take(0ms).front().seq, all.front().seq);
  }
  // Gone readers hold nothing back: the newest 2000 are kept, still numbered from 1 on.
  push_event(npc, "said", {{"text", "x"}});
  std::vector<StoredEvent> all = events_after(npc.events, 0);
  ASSERT_EQ(all.size(), 2000u);
  EXPECT_EQ(*parse_json(all.back().json()),
            (Json{{"seq", 4001}, {"type", "said"}, {"npc", "r"}, {"text", "x"}}));
  EXPECT_EQ(events_after(npc.events, 3990).front().seq, 3991u);
  EXPECT_TRUE(events_after(npc.events, 4001).empty());
}
