// Following an NPC over its event stream: the response head and the hello frame, where a
// replay starts, live delivery in order, keep-alives, and a client that goes away.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "harness/bridge_process.h"
#include "harness/http_client.h"

namespace {

using namespace std::chrono_literals;
using harness::BridgeProcess;
using harness::HttpConnection;
using harness::SseStream;
using Clock = std::chrono::steady_clock;

constexpr std::string_view STREAM_HEAD =
    "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n"
    "Connection: close\r\n\r\n";

constexpr std::chrono::milliseconds WAIT = 20s;

// The next frame with its closing blank line, as it arrived; "" when none comes in time.
std::string next_frame(SseStream& stream, std::chrono::milliseconds timeout = WAIT) {
  std::optional<harness::SseFrame> frame = stream.next_frame(timeout);
  return frame ? frame->raw + "\n\n" : "";
}

// The next event; null when none comes in time.
Json next_event(SseStream& stream) { return stream.next_event(WAIT).value_or(Json()); }

std::optional<harness::HttpResponse> post(const BridgeProcess& bridge, const std::string& path,
                                          const Json& body) {
  return harness::http_request(bridge.port(), "POST", path, body);
}

// Two events on an NPC without an agent: "model", then "workspace".
void push_two_events(const BridgeProcess& bridge, const std::string& id) {
  auto response = post(bridge, "/npc/" + id + "/workspace", Json::object());
  ASSERT_TRUE(response);
  ASSERT_EQ(response->status, 200);
}

// One "model" event: the model flips between two names, so every call really changes it.
void push_one_event(const BridgeProcess& bridge, const std::string& id, const std::string& model) {
  auto response = post(bridge, "/npc/" + id + "/model", Json{{"model", model}});
  ASSERT_TRUE(response);
  ASSERT_EQ(response->status, 200);
}

// The run's "instance" as /health gives it; "" when there is no answer.
std::string instance_of(const BridgeProcess& bridge) {
  auto response = harness::http_request(bridge.port(), "GET", "/health");
  return response ? as_text(response->json(), "instance") : "";
}

std::string frame_of(const Json& event) { return "data: " + dump_json(event) + "\n\n"; }

Json model_event(const std::string& id, std::uint64_t seq, const std::string& model) {
  return {{"seq", seq},     {"type", "model"},    {"npc", id},      {"model", model},
          {"pending", false}, {"current", model}, {"resolved", ""}};
}

Json workspace_event(const std::string& id, std::uint64_t seq, const std::string& workspace) {
  return {{"seq", seq},
          {"type", "workspace"},
          {"npc", id},
          {"workspace", workspace},
          {"is_default", true}};
}

TEST(EventStream, NewNpcGetsTheExactHeadAndHelloThenLiveEventsInOrder) {
  BridgeProcess bridge;
  ASSERT_TRUE(bridge.start());
  SseStream first, second;
  ASSERT_TRUE(first.open_target(bridge.port(), "/npc/smith/events"));
  EXPECT_EQ(first.head(), STREAM_HEAD);
  EXPECT_EQ(first.head().size(), 96u);

  Json session = {{"session_id", ""}, {"resumed", false}, {"messages", 0},
                  {"label", ""},      {"started", ""},    {"bytes", 0}};
  Json hello = {{"seq", 0},
                {"type", "hello"},
                {"npc", "smith"},
                {"resumed", false},
                {"instance", instance_of(bridge)},
                {"state", "asleep"},
                {"workspace", bridge.workspace()},
                {"is_default", true},
                {"session", session}};
  EXPECT_EQ(next_frame(first), frame_of(hello));
  EXPECT_TRUE(bridge.wait_for_log("[bridge] npc=smith stream opened since=0"));

  // A second follower of the same NPC gets the same frames; each stream keeps its own place.
  ASSERT_TRUE(second.open_target(bridge.port(), "/npc/smith/events"));
  EXPECT_EQ(next_frame(second), frame_of(hello));

  // One request pushes two events: both frames, in seq order, and nothing in between.
  push_two_events(bridge, "smith");
  std::string both = frame_of(model_event("smith", 1, "")) +
                     frame_of(workspace_event("smith", 2, bridge.workspace()));
  for (SseStream* stream : {&first, &second}) {
    HttpConnection& c = stream->connection();
    ASSERT_TRUE(c.fill_to(both.size(), Clock::now() + WAIT));
    EXPECT_EQ(c.take(c.pending().size()), both);
  }

  push_one_event(bridge, "smith", "x");
  EXPECT_EQ(next_frame(first), frame_of(model_event("smith", 3, "x")));
  EXPECT_EQ(next_frame(second), frame_of(model_event("smith", 3, "x")));
}

TEST(EventStream, SinceChoosesWhereTheReplayStarts) {
  BridgeProcess bridge;
  ASSERT_TRUE(bridge.start());
  for (int i = 0; i < 5; ++i) push_two_events(bridge, "smith");  // events 1 to 10

  struct Case {
    std::string query;
    std::uint64_t since;  // the hello's "seq"; replay starts after it
  };
  const std::vector<Case> cases = {
      {"", 10},  // no query: only what comes next
      {"?since=0", 0},
      {"?since=+7", 7},
      {"?since=10", 10},
      {"?since=-0", 0},
      {"?foo=1&since=3", 3},
      {"?since=4&since=6", 4},  // the first one counts
      // Not a usable starting point: the same as no since at all.
      {"?since=-5", 10},
      {"?since=abc", 10},
      {"?since=", 10},
      {"?since=+", 10},
      {"?since=9223372036854775808", 10},
      {"?since=7x", 10},
      {"?since=%37", 10},
      {"?xsince=2", 10},
      {"?since", 10},
  };
  std::vector<SseStream> streams(cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].query);
    ASSERT_TRUE(streams[i].open_target(bridge.port(), "/npc/smith/events" + cases[i].query));
    Json hello = next_event(streams[i]);
    ASSERT_TRUE(hello.is_object());
    EXPECT_EQ(hello["type"], "hello");
    EXPECT_EQ(hello["seq"], cases[i].since);
    EXPECT_EQ(hello["resumed"], cases[i].since != 0);
  }
  // Log lines are in order: once a later stream's line is there, all of these are too.
  SseStream marker;
  ASSERT_TRUE(marker.open_target(bridge.port(), "/npc/marker/events"));
  ASSERT_TRUE(bridge.wait_for_log("npc=marker stream opened since=0"));
  EXPECT_EQ(bridge.count_log("npc=smith stream opened since=10"), 11u);
  EXPECT_EQ(bridge.count_log("npc=smith stream opened since=0"), 2u);
  EXPECT_EQ(bridge.count_log("npc=smith stream opened since=3"), 1u);
  EXPECT_EQ(bridge.count_log("npc=smith stream opened since=4"), 1u);
  EXPECT_EQ(bridge.count_log("npc=smith stream opened since=7"), 1u);

  // Event 11 happens now: every stream replays what it missed, then gets it, all in order.
  push_one_event(bridge, "smith", "x");
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].query);
    for (std::uint64_t seq = cases[i].since + 1; seq <= 11; ++seq) {
      Json event = next_event(streams[i]);
      ASSERT_TRUE(event.is_object());
      ASSERT_EQ(event["seq"], seq);
      EXPECT_EQ(event["type"], seq == 11 || seq % 2 == 1 ? "model" : "workspace");
    }
  }

  // The largest signed 64-bit value is read, but the log never reached it: everything it holds.
  SseStream far;
  ASSERT_TRUE(far.open_target(bridge.port(), "/npc/smith/events?since=9223372036854775807"));
  Json hello = next_event(far);
  EXPECT_EQ(hello["seq"], 0);
  EXPECT_EQ(hello["resumed"], false);
  EXPECT_EQ(next_event(far)["seq"], 1);
}

TEST(EventStream, AfterARestartTheOldSinceGetsTheNewLogFromItsStart) {
  BridgeProcess bridge;
  ASSERT_TRUE(bridge.start());
  std::string first_run = instance_of(bridge);
  EXPECT_EQ(first_run.size(), 12u);
  SseStream before;
  ASSERT_TRUE(before.open_target(bridge.port(), "/npc/smith/events?since=0"));
  EXPECT_EQ(next_event(before)["instance"], first_run);
  push_two_events(bridge, "smith");  // 1, 2
  push_two_events(bridge, "smith");  // 3, 4
  for (std::uint64_t seq = 1; seq <= 4; ++seq) ASSERT_EQ(next_event(before)["seq"], seq);

  // The game's bridge restarts: a new run, whose NPCs number their events from 1 again.
  bridge.close_stdin();
  ASSERT_EQ(bridge.wait_for_exit(), 0);
  ASSERT_TRUE(bridge.start());
  std::string second_run = instance_of(bridge);
  EXPECT_EQ(second_run.size(), 12u);
  EXPECT_NE(second_run, first_run);
  push_two_events(bridge, "smith");  // 1, 2 of the new run

  // Reconnecting with the last seq seen in the first run: the hello says where the stream
  // starts (not resumed, a new instance) and the new log follows at once.
  SseStream after;
  ASSERT_TRUE(after.open_target(bridge.port(), "/npc/smith/events?since=4"));
  Json hello = next_event(after);
  EXPECT_EQ(hello["seq"], 0);
  EXPECT_EQ(hello["resumed"], false);
  EXPECT_EQ(hello["instance"], second_run);
  EXPECT_EQ(next_event(after), model_event("smith", 1, ""));
  EXPECT_EQ(next_event(after), workspace_event("smith", 2, bridge.workspace()));
  EXPECT_TRUE(bridge.wait_for_log("[bridge] npc=smith stream opened since=0"));

  // A since the new log has reached is a resumption as before.
  SseStream caught_up;
  ASSERT_TRUE(caught_up.open_target(bridge.port(), "/npc/smith/events?since=2"));
  hello = next_event(caught_up);
  EXPECT_EQ(hello["seq"], 2);
  EXPECT_EQ(hello["resumed"], true);
  push_one_event(bridge, "smith", "x");
  EXPECT_EQ(next_event(caught_up), model_event("smith", 3, "x"));
}

TEST(EventStream, AClientThatLeftIsNoticedAtTheNextWrite) {
  BridgeProcess bridge;
  ASSERT_TRUE(bridge.start());
  SseStream staying;
  ASSERT_TRUE(staying.open_target(bridge.port(), "/npc/leaver/events"));
  EXPECT_EQ(next_event(staying)["type"], "hello");

  // A client that resets its connection: the next event's write fails at once.
  {
    SseStream leaving;
    ASSERT_TRUE(leaving.open_target(bridge.port(), "/npc/leaver/events"));
    EXPECT_EQ(next_event(leaving)["type"], "hello");
    linger abort_on_close{1, 0};
    ASSERT_EQ(::setsockopt(leaving.connection().fd(), SOL_SOCKET, SO_LINGER, &abort_on_close,
                           sizeof abort_on_close),
              0);
  }
  EXPECT_EQ(bridge.count_log("npc=leaver stream closed"), 0u);  // nothing was written yet
  push_one_event(bridge, "leaver", "x");
  EXPECT_TRUE(bridge.wait_for_log("[bridge] npc=leaver stream closed", WAIT));
  EXPECT_EQ(next_event(staying)["seq"], 1);

  // A client that closes in order: the first write after it may still be accepted by the
  // system, so events keep coming until the bridge notices.
  {
    SseStream leaving;
    ASSERT_TRUE(leaving.open_target(bridge.port(), "/npc/quiet/events"));
    EXPECT_EQ(next_event(leaving)["type"], "hello");
  }
  bool noticed = false;
  for (int i = 0; i < 80 && !noticed; ++i) {
    push_one_event(bridge, "quiet", i % 2 == 0 ? "x" : "y");
    noticed = bridge.wait_for_log("[bridge] npc=quiet stream closed", 250ms);
  }
  EXPECT_TRUE(noticed);
  EXPECT_EQ(bridge.count_log("npc=leaver stream closed"), 1u);
  EXPECT_EQ(bridge.count_log("npc=quiet stream closed"), 1u);
}

TEST(EventStream, AQuietStreamGetsAKeepaliveAfterTenSeconds) {
  BridgeProcess bridge;
  ASSERT_TRUE(bridge.start());
  SseStream stream;
  // Timed from before the request, so that a slow start can only make the wait look longer.
  auto start = Clock::now();
  ASSERT_TRUE(stream.open_target(bridge.port(), "/npc/idle/events"));
  EXPECT_EQ(next_event(stream)["type"], "hello");
  EXPECT_EQ(next_frame(stream, 30s), ": keepalive\n\n");
  // Not a speed target: a keep-alive before ten seconds of silence would be a wrong wait.
  EXPECT_GE(Clock::now() - start, 9500ms);
  // The stream goes on after it.
  push_one_event(bridge, "idle", "x");
  EXPECT_EQ(next_frame(stream), frame_of(model_event("idle", 1, "x")));
}

TEST(EventStream, ExtraSegmentsAndEmptyIdsStillNameAnNpcStream) {
  BridgeProcess bridge;
  ASSERT_TRUE(bridge.start());
  struct Case {
    std::string target;
    std::string npc;
  };
  for (const Case& c : std::vector<Case>{{"/npc/guard/events/anything", "guard"},
                                         {"/npc/guard/events/", "guard"},
                                         {"//npc/guard/events", "guard"},
                                         {"/npc//events", ""},
                                         {"/npc/Guard/events", "Guard"}}) {
    SCOPED_TRACE(c.target);
    SseStream stream;
    ASSERT_TRUE(stream.open_target(bridge.port(), c.target));
    EXPECT_EQ(stream.head(), STREAM_HEAD);
    Json hello = next_event(stream);
    EXPECT_EQ(hello["type"], "hello");
    EXPECT_EQ(hello["npc"], c.npc);
  }
  auto listing = harness::http_request(bridge.port(), "GET", "/npcs");
  ASSERT_TRUE(listing);
  Json body = listing->json();
  std::vector<std::string> ids;
  for (const Json& row : body["npcs"]) ids.push_back(row["id"]);
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<std::string>{"", "Guard", "guard"}));
}

}  // namespace
