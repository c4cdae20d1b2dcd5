#include "agent/permissions.h"

#include <gtest/gtest.h>

#include <cmath>
#include <future>
#include <thread>

#include "agent/life.h"
#include "hook/decision.h"
#include "config/config.h"

namespace {

Json parsed(const StoredEvent& e) { return *parse_json(e.json()); }

// Waits (bounded) until the NPC has a pending request and returns its id.
std::string wait_for_request(Npc& npc, std::size_t count = 1) {
  for (int i = 0; i < 2000; ++i) {
    if (npc.locked([](NpcState& s) { return s.pending_permissions.size(); }) >= count) {
      std::string newest;
      for (const StoredEvent& e : events_after(npc.events, 0)) {
        Json j = parsed(e);
        if (j["type"] == "permission_request") newest = j["request_id"];
      }
      return newest;
    }
    wait_events_after(npc.events, last_seq(npc), std::chrono::milliseconds(10));
  }
  return "";
}

void use_timeout(double seconds) {
  Config cfg;
  cfg.permission_timeout = seconds;
  store_config(cfg);
}

TEST(Permissions, AnAnswerReachesTheWaitingRequestWithFallbackReasons) {
  use_timeout(60);
  auto npc = std::make_shared<Npc>("p");
  npc->locked([&](NpcState& s) {
    s.workspace = "/w";
    set_activity(*npc, s, Activity::Working);
  });
  auto waiting = std::async(std::launch::async, [&] {
    return request_permission(*npc, "Read", {{"file_path", "/w/src/a.txt"}});
  });
  std::string id = wait_for_request(*npc);
  ASSERT_EQ(id.size(), 12u);
  EXPECT_EQ(npc->view().activity, Activity::Asking);
  EXPECT_TRUE(answer_permission(*npc, id, true, ""));
  PermissionDecision d = waiting.get();
  EXPECT_EQ(d.word, "allow");
  EXPECT_EQ(d.reason, "Approved by the player.");
  EXPECT_EQ(npc->view().activity, Activity::Working);
  EXPECT_FALSE(answer_permission(*npc, id, true, ""));  // no longer pending

  auto events = events_after(npc->events, 0);
  Json request, answered;
  for (auto& e : events) {
    Json j = parsed(e);
    if (j["type"] == "permission_request") request = j;
    if (j["type"] == "permission_answered") answered = j;
  }
  EXPECT_EQ(request["category"], "read");
  EXPECT_EQ(request["detail"], "src/a.txt");
  EXPECT_EQ(answered["reason"], "");
  EXPECT_EQ(answered["allow"], true);
}

TEST(Permissions, ZeroNegativeAndNanTimeOutsRefuseAtOnce) {
  for (double t : {0.0, -5.0, std::nan("")}) {
    use_timeout(t);
    Npc npc("t");
    PermissionDecision d = request_permission(npc, "Bash", {{"command", "ls"}});
    EXPECT_EQ(d.word, "deny");
    EXPECT_EQ(d.reason, "Nobody answered in time.");
    Json last = parsed(events_after(npc.events, 0).back());
    EXPECT_EQ(last["type"], "permission_answered");
    EXPECT_EQ(last["reason"], "timeout");
    EXPECT_EQ(npc.view().activity, Activity::Asleep);
  }
}

TEST(Permissions, TwoRequestsWaitAndAreAnsweredSeparately) {
  use_timeout(60);
  auto npc = std::make_shared<Npc>("two");
  auto first = std::async(std::launch::async, [&] { return request_permission(*npc, "Bash", {{"command", "a"}}); });
  std::string id1 = wait_for_request(*npc, 1);
  auto second = std::async(std::launch::async, [&] { return request_permission(*npc, "Bash", {{"command", "b"}}); });
  std::string id2 = wait_for_request(*npc, 2);
  ASSERT_NE(id1, id2);
  EXPECT_TRUE(answer_permission(*npc, id2, false, "not now"));
  PermissionDecision d2 = second.get();
  EXPECT_EQ(d2.word, "deny");
  EXPECT_EQ(d2.reason, "not now");
  EXPECT_EQ(first.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  // The NPC asks for as long as any approval waits.
  EXPECT_EQ(npc->view().activity, Activity::Asking);
  EXPECT_TRUE(answer_permission(*npc, id1, false, ""));
  EXPECT_EQ(first.get().reason, "The player refused.");
}

TEST(Permissions, StoppingTheAgentEndsEveryWaitingRequest) {
  use_timeout(std::numeric_limits<double>::infinity());
  auto npc = std::make_shared<Npc>("stop");
  auto waiting = std::async(std::launch::async, [&] { return request_permission(*npc, "Bash", {}); });
  wait_for_request(*npc);
  {
    MutexLock section(npc->control);
    stop_agent(*npc, true);
  }
  PermissionDecision d = waiting.get();
  EXPECT_EQ(d.word, "deny");
  EXPECT_EQ(d.reason, "The conversation ended.");
  EXPECT_EQ(npc->view().activity, Activity::Asleep);
  for (auto& e : events_after(npc->events, 0)) EXPECT_NE(parsed(e)["type"], "permission_answered");
}

TEST(Permissions, HookDecisionShape) {
  EXPECT_EQ(dump_json(hook_decision("deny", "no")),
            R"({"hookSpecificOutput":{"hookEventName":"PreToolUse","permissionDecision":"deny","permissionDecisionReason":"no"}})");
}

}  // namespace
