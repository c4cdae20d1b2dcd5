// Following an NPC over its event stream: the head and the hello, live delivery in order to
// every follower, keep-alives, a client that goes away, and where a reconnect starts (also after
// a restart).

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "harness/bridge_process.h"
#include "harness/http_client.h"

namespace {

using namespace std::chrono_literals;
using harness::BridgeProcess;
using harness::SseStream;

constexpr std::string_view STREAM_HEAD =
    "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n"
    "Connection: close\r\n\r\n";

// The next frame with its closing blank line, as it arrived; "" when none comes in time.
std::string next_frame(SseStream& stream, std::chrono::milliseconds timeout = 20s) {
  std::optional<harness::SseFrame> frame = stream.next_frame(timeout);
  return frame ? frame->raw + "\n\n" : "";
}

Json next_event(SseStream& stream) { return stream.next_event(20s).value_or(Json()); }

std::string frame_of(const Json& event) { return "data: " + dump_json(event) + "\n\n"; }

// A stream of `target` opened and its hello read; the hello, null when either fails.
Json open_hello(SseStream& stream, const BridgeProcess& bridge, const std::string& target) {
  return stream.open_target(bridge.port(), target) ? next_event(stream) : Json();
}

// POST /npc/ID/ACTION on an NPC without an agent: "workspace" pushes a "model" and a
// "workspace" event, "model" one "model" event (the model named `model`).
void push(const BridgeProcess& bridge, const std::string& id, const std::string& action,
          const std::string& model = "") {
  Json body = action == "model" ? Json{{"model", model}} : Json::object();
  auto response = harness::http_request(bridge.port(), "POST", "/npc/" + id + "/" + action, body);
  ASSERT_TRUE(response && response->status == 200) << action;
}

std::string instance_of(const BridgeProcess& bridge) {
  auto response = harness::http_request(bridge.port(), "GET", "/health");
  return response ? as_text(response->json(), "instance") : "";
}

Json model_event(const std::string& id, std::uint64_t seq, const std::string& model) {
  return {{"seq", seq},       {"type", "model"},  {"npc", id},     {"model", model},
          {"pending", false}, {"current", model}, {"resolved", ""}};
}

Json workspace_event(const std::string& id, std::uint64_t seq, const std::string& workspace) {
  Json event = {{"seq", seq}, {"type", "workspace"}, {"npc", id}, {"is_default", true}};
  event["workspace"] = workspace;
  return event;
}

TEST(EventStream, FollowersGetTheHeadHelloLiveEventsAndKeepalivesAndALeaverIsNoticed) {
  BridgeProcess bridge;
  ASSERT_TRUE(bridge.start());
  // Timed from before the request, so that a slow start can only make the wait look longer.
  auto quiet_since = std::chrono::steady_clock::now();
  SseStream idle, first, second;
  EXPECT_EQ(open_hello(idle, bridge, "/npc/idle/events")["type"], "hello");
  ASSERT_TRUE(first.open_target(bridge.port(), "/npc/smith/events"));
  EXPECT_EQ(first.head(), STREAM_HEAD);
  Json hello = *parse_json(R"({"seq":0,"type":"hello","npc":"smith","resumed":false,
      "state":"asleep","is_default":true,"session":{"session_id":"","resumed":false,
      "messages":0,"label":"","started":"","bytes":0}})");
  hello["instance"] = instance_of(bridge);
  hello["workspace"] = bridge.workspace();
  EXPECT_EQ(next_frame(first), frame_of(hello));
  EXPECT_TRUE(bridge.wait_for_log("[bridge] npc=smith stream opened since=0"));
  // A second follower gets the same frames; each stream keeps its own place.
  ASSERT_TRUE(second.open_target(bridge.port(), "/npc/smith/events"));
  EXPECT_EQ(next_frame(second), frame_of(hello));

  // One request pushes two events: both frames, in seq order, and nothing in between.
  push(bridge, "smith", "workspace");
  std::string both = frame_of(model_event("smith", 1, "")) +
                     frame_of(workspace_event("smith", 2, bridge.workspace()));
  push(bridge, "smith", "model", "x");
  for (SseStream* stream : {&first, &second}) {
    harness::HttpConnection& c = stream->connection();
    ASSERT_TRUE(c.fill_to(both.size(), std::chrono::steady_clock::now() + 20s));
    EXPECT_EQ(c.take(both.size()), both);
    EXPECT_EQ(next_frame(*stream), frame_of(model_event("smith", 3, "x")));
  }

  // A client that resets its connection: the next event's write fails at once.
  {
    SseStream leaving;
    EXPECT_EQ(open_hello(leaving, bridge, "/npc/smith/events")["type"], "hello");
    linger abort_on_close{1, 0};
    ASSERT_EQ(::setsockopt(leaving.connection().fd(), SOL_SOCKET, SO_LINGER, &abort_on_close,
                           sizeof abort_on_close),
              0);
  }
  EXPECT_EQ(bridge.count_log("npc=smith stream closed"), 0u);  // nothing was written yet
  push(bridge, "smith", "model", "y");
  EXPECT_TRUE(bridge.wait_for_log("[bridge] npc=smith stream closed"));
  EXPECT_EQ(next_event(first)["seq"], 4);
  EXPECT_EQ(bridge.count_log("npc=smith stream closed"), 1u);

  // Meanwhile the idle NPC's stream had nothing to say: a keep-alive after ten seconds, not
  // before (not a speed target: an earlier one would be a wrong wait), and the stream goes on.
  EXPECT_EQ(next_frame(idle, 30s), ": keepalive\n\n");
  EXPECT_GE(std::chrono::steady_clock::now() - quiet_since, 9500ms);
  push(bridge, "idle", "model", "x");
  EXPECT_EQ(next_frame(idle), frame_of(model_event("idle", 1, "x")));
}

TEST(EventStream, SinceChoosesWhereAReconnectStartsAlsoAfterARestart) {
  BridgeProcess bridge;
  ASSERT_TRUE(bridge.start());
  std::string first_run = instance_of(bridge);
  EXPECT_EQ(first_run.size(), 12u);
  push(bridge, "smith", "workspace");  // events 1, 2
  push(bridge, "smith", "workspace");  // 3, 4

  struct Case {
    std::string query;
    std::uint64_t since;  // the hello's "seq"; the replay starts after it
  };
  const std::vector<Case> cases = {
      {"", 4},  // no since: only what comes next
      {"?since=0", 0},   {"?foo=1&since=2", 2},
      {"?since=abc", 4},  // not a usable starting point: as if none were given
      {"?since=9", 0},    // never reached by this log: an earlier run's, so all of this one's
  };
  std::vector<SseStream> streams(cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].query);
    Json hello = open_hello(streams[i], bridge, "/npc/smith/events" + cases[i].query);
    EXPECT_EQ(hello["seq"], cases[i].since);
    EXPECT_EQ(hello["resumed"], cases[i].since != 0);
    EXPECT_EQ(hello["instance"], first_run);
    EXPECT_TRUE(
        bridge.wait_for_log("npc=smith stream opened since=" + std::to_string(cases[i].since)));
  }
  // Event 5 happens now: every stream replays what it missed, then gets it, all in order.
  push(bridge, "smith", "model", "x");
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].query);
    for (std::uint64_t seq = cases[i].since + 1; seq <= 5; ++seq) {
      Json event = next_event(streams[i]);
      ASSERT_EQ(event["seq"], seq);
      EXPECT_EQ(event["type"], seq % 2 == 1 ? "model" : "workspace");
    }
  }

  // The game's bridge restarts: a new run, whose NPCs number their events from 1 again. The
  // last seq seen in the first run gets the new log from its start, under the new instance.
  bridge.close_stdin();
  ASSERT_EQ(bridge.wait_for_exit(), 0);
  ASSERT_TRUE(bridge.start());
  push(bridge, "smith", "workspace");
  SseStream after;
  Json hello = open_hello(after, bridge, "/npc/smith/events?since=5");
  EXPECT_EQ(hello["seq"], 0);
  EXPECT_EQ(hello["resumed"], false);
  EXPECT_EQ(hello["instance"], instance_of(bridge));
  EXPECT_NE(hello["instance"], first_run);
  EXPECT_EQ(next_event(after), model_event("smith", 1, "x"));  // the model is remembered
  EXPECT_EQ(next_event(after), workspace_event("smith", 2, bridge.workspace()));
}

}  // namespace
