#include "agent/event_log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "agent/npc.h"

namespace {

Json parsed(const StoredEvent& e) { return *parse_json(*e.json); }

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

TEST(EventLog, EventsCarryEnvelopeAndPayloadWithSortedKeys) {
  Npc npc("guard");
  push_event(npc, "tool_start", {{"name", "Bash"}, {"id", "t1"}});
  push_event(npc, "message_end", Json::array({1, 2}));
  auto events = events_after(npc.events, 0);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(*events[0].json, R"({"id":"t1","name":"Bash","npc":"guard","seq":1,"type":"tool_start"})");
  // A payload that is not an object contributes nothing.
  EXPECT_EQ(*events[1].json, R"({"npc":"guard","seq":2,"type":"message_end"})");
}

TEST(EventLog, NumberingIsPerNpc) {
  Npc a("a"), b("b");
  push_event(a, "said", {{"text", "x"}});
  push_event(a, "said", {{"text", "y"}});
  push_event(b, "said", {{"text", "z"}});
  EXPECT_EQ(last_seq(a), 2u);
  EXPECT_EQ(last_seq(b), 1u);
  EXPECT_EQ(parsed(events_after(b.events, 0).at(0))["seq"], 1u);
}

TEST(EventLog, SetStateEmitsOnlyOnAChange) {
  Npc npc("n");
  std::lock_guard<std::mutex> guard(npc.lock);
  set_state(npc, "asleep");
  EXPECT_EQ(last_seq(npc), 0u);
  set_state(npc, "idle");
  set_state(npc, "idle");
  set_state(npc, "working");
  auto events = events_after(npc.events, 0);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(parsed(events[0])["value"], "idle");
  EXPECT_EQ(parsed(events[1])["value"], "working");
  EXPECT_EQ(npc.state.state, "working");
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

// An agent's reader pushes in batches, as it does per read; `finished` is set at the end.
std::thread batch_pusher(Npc& npc, int batches, int per_batch, std::atomic<bool>& finished) {
  return std::thread([&npc, batches, per_batch, &finished] {
    for (int b = 0; b < batches; ++b) {
      DeferredWakeups batch;
      for (int i = 0; i < per_batch; ++i) push_delta_event(npc, "x");
    }
    finished = true;
  });
}

bool reader_held_back(EventLog& log) {
  std::lock_guard<std::mutex> guard(log.lock);
  return log.held_back > 0;
}

// A stream that only takes events once the agent's reader has run well ahead of it still
// receives every event: the reader waits for it at the end of each read.
TEST(LogFollower, AStreamThatFallsBehindLosesNothing) {
  Npc npc("fast");
  npc.events.follow_wait = std::chrono::minutes(1);
  LogFollower follower(npc.events, 0);
  std::atomic<bool> finished{false};
  const int batches = 10, per_batch = 600;  // ten reads, 6,000 events: three logs' worth
  std::thread pusher = batch_pusher(npc, batches, per_batch, finished);
  std::vector<std::uint64_t> seqs;
  std::vector<StoredEvent> taken;
  while (seqs.size() < static_cast<std::size_t>(batches * per_batch)) {
    // As late as possible: only once the reader waits for this stream, or is done.
    while (!finished && !reader_held_back(npc.events)) std::this_thread::yield();
    bool last_round = finished;
    follower.take(taken, std::chrono::milliseconds(0));
    for (const StoredEvent& e : taken) seqs.push_back(e.seq);
    if (last_round && taken.empty()) break;
  }
  pusher.join();
  ASSERT_EQ(seqs.size(), static_cast<std::size_t>(batches * per_batch));
  for (std::size_t i = 0; i < seqs.size(); ++i) ASSERT_EQ(seqs[i], i + 1);
}

// A stream that goes away, or starts ahead of the log, does not hold the reader.
TEST(LogFollower, OnlyStreamsThatCanCatchUpAreWaitedFor) {
  Npc npc("gone");
  npc.events.follow_wait = std::chrono::minutes(1);
  LogFollower ahead(npc.events, 1'000'000);  // a "since" still to come
  auto behind = std::make_unique<LogFollower>(npc.events, 0);
  std::atomic<bool> finished{false};
  std::thread pusher = batch_pusher(npc, 2, 800, finished);
  while (!finished && !reader_held_back(npc.events)) std::this_thread::yield();
  EXPECT_FALSE(finished);  // waits for `behind`, which has taken nothing of 1,600 events
  behind.reset();
  pusher.join();
  EXPECT_EQ(last_seq(npc), 1600u);
}

}  // namespace
