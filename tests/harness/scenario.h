// What the scenarios with the scripted demo agent share: turns said and read as the game sees them.
#pragma once

#include <gtest/gtest.h>

#include "harness/demo_bridge.h"

namespace harness {

/// Generous bound for a scenario's waits: agents start, and sanitizer builds are slow.
inline constexpr std::chrono::milliseconds SCENARIO_WAIT = std::chrono::seconds(30);

/// A started DemoBridge (with `args`) and `events`, following "smith" past its hello.
class Scenario : public testing::Test {
 protected:
  explicit Scenario(std::vector<std::string> args = {}) : demo(std::move(args)) {}
  void SetUp() override {
    ASSERT_TRUE(demo.start());
    ASSERT_TRUE(open_events(events, demo.port(), "smith"));
  }
  /// The NPC's "state" as GET /npcs shows it.
  std::string state_of(const std::string& npc = "smith") {
    return as_text(npc_row(demo.port(), npc), "state");
  }

  DemoBridge demo;
  SseStream events;
};

/// The `count`th launch once it is logged (and a failure unless it is the last); an empty
/// object past the bound.
inline Json nth_launch(const DemoBridge& demo, std::size_t count) {
  std::vector<Json> launches = demo.wait_for_launches(count, SCENARIO_WAIT);
  EXPECT_EQ(launches.size(), count);
  return launches.size() == count ? launches.back() : Json::object();
}

/// Says `text` to `npc` (expecting 200) and reads `stream` through the first event that matches
/// `done`, by default the turn's "result"; the events read, none (and a failure) past the bound.
inline std::vector<Json> say_and_read(DemoBridge& demo, SseStream& stream, const std::string& npc,
                                      const std::string& text,
                                      std::function<bool(const Json&)> done = nullptr) {
  auto response = demo.say(npc, text);
  EXPECT_TRUE(response && response->status == 200) << text;
  if (!done) done = [](const Json& e) { return as_text(e, "type") == "result"; };
  auto turn = read_until(stream, done, SCENARIO_WAIT);
  EXPECT_TRUE(turn) << "the turn did not end: " << text;
  return turn.value_or(std::vector<Json>{});
}

}  // namespace harness
