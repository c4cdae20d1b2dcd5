// One walk of a game with a bridge that restarts: the read-only views as the game sets the
// policy (and, on a bridge of its own, as the command line sets them); NPCs recalled from the state
// file written before start, the file replaced whole on every change, "--reset-workspaces" and a
// file that cannot be read; a workspace's earlier conversations; following an NPC over its event
// stream; and reconnecting after the restart.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "harness/bridge_process.h"
#include "harness/http_client.h"
#include "harness/transcript_files.h"
#include "util/fd_io.h"
#include "util/test_support.h"

namespace {

using namespace std::chrono_literals;
using harness::BridgeProcess;
using harness::SseStream;

constexpr std::int64_t BASE_TIME = 1767225600;  // 2026-01-01T00:00:00Z
constexpr std::string_view STREAM_HEAD =
    "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n"
    "Connection: close\r\n\r\n";

// The body of GET `path`, or "<no response>".
std::string body_of(const BridgeProcess& bridge, const std::string& path) {
  auto response = harness::http_request(bridge.port(), "GET", path);
  if (!response) return "<no response>";
  EXPECT_EQ(response->status, 200) << path;
  return response->body;
}

int post(const BridgeProcess& bridge, const std::string& path, const Json& body = Json::object()) {
  auto response = harness::http_request(bridge.port(), "POST", path, body);
  return response ? response->status : 0;
}

std::string instance_of(const BridgeProcess& bridge) {
  auto response = harness::http_request(bridge.port(), "GET", "/health");
  return response ? as_text(response->json(), "instance") : "";
}

// The /health body with `mode` and this run's instance, which must be 12 lowercase hex digits.
std::string health(const BridgeProcess& bridge, const std::string& mode) {
  std::string instance = instance_of(bridge);
  EXPECT_EQ(instance.size(), 12u);
  EXPECT_EQ(instance.find_first_not_of("0123456789abcdef"), std::string::npos) << instance;
  return R"({"ask_tools":"Bash","instance":)" + dump_json(Json(instance)) +
         R"(,"ok":true,"permission_mode":")" + mode + R"(","workspace":)" +
         dump_json(Json(bridge.workspace())) + "}";
}

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

Json model_event(const std::string& id, std::uint64_t seq, const std::string& model) {
  return {{"seq", seq},       {"type", "model"},  {"npc", id},     {"model", model},
          {"pending", false}, {"current", model}, {"resolved", ""}};
}

Json workspace_event(const std::string& id, std::uint64_t seq, const std::string& workspace) {
  Json event = {{"seq", seq}, {"type", "workspace"}, {"npc", id}, {"is_default", true}};
  event["workspace"] = workspace;
  return event;
}

Json memory(const std::string& workspace, const std::string& source, const std::string& session,
            const std::string& persona, const std::string& model) {
  Json entry = {{"workspace", workspace}, {"workspace_source", source}, {"session_id", session}};
  entry.update({{"persona", persona}, {"model", model}});
  return entry;
}

TEST(GameRestarts, ViewsMemoryConversationsAndStreamsAcrossARestart) {
  BridgeProcess bridge;
  std::string chosen = bridge.root() + "/chosen", other = bridge.root() + "/other";
  std::string gone = bridge.root() + "/gone";
  ASSERT_TRUE(harness::make_folders(chosen) && harness::make_folders(other));
  // The session's transcript sits in a project folder of some other workspace: a session id
  // is found wherever its file is.
  std::string cwd = bridge.root() + "/elsewhere";
  std::string lines = harness::message_line("user", "Where did the old ferry go, keeper?", cwd,
                                            "sess-remembered", "2026-01-01T00:00:00.000Z") +
                      harness::message_line("assistant", "It sank in the storm.", cwd,
                                            "sess-remembered", "2026-01-01T00:00:05.000Z");
  std::string projects = bridge.home() + "/.claude/projects";
  write_file(projects + "/" + harness::cli_folder_name(cwd) + "/sess-remembered.jsonl", lines);
  Json state = {{"explicit", memory(chosen, "explicit", "", "A tidy clerk.", "opus")},
                {"defaulted", memory(other, "default", "", "", "")},
                {"gone", memory(gone, "explicit", "", "", "sonnet")},
                {"resumer", memory(bridge.workspace(), "default", "sess-remembered", "", "")},
                {"odd", 5}};
  std::string written = dump_json_indented(state);
  write_file(bridge.state_file(), written);
  ASSERT_TRUE(bridge.start());

  // The views of a default bridge, before any NPC exists.
  EXPECT_EQ(body_of(bridge, "/health"), health(bridge, "auto"));
  EXPECT_EQ(body_of(bridge, "/health?verbose=1"), health(bridge, "auto"));
  EXPECT_EQ(body_of(bridge, "/models"),
            R"({"default":"","models":["opus[1m]","opus","sonnet","haiku","fable"]})");
  // The game sets the policy: only the exact names are accepted, after trimming; a refusal
  // changes nothing.
  struct Change {
    std::string body;
    int status;
    std::string answer;
    std::string mode;  // the "permission_mode" of /health afterwards
  };
  for (const Change& c : std::vector<Change>{
           {R"({"policy":"ask"})", 200, R"({"ok":true,"policy":"ask"})", "acceptEdits"},
           {R"({"policy":"Ask"})", 400, R"({"error":"unknown policy 'Ask'","ok":false})",
            "acceptEdits"},
           {R"(["trust"])", 400, R"({"error":"unknown policy ''","ok":false})", "acceptEdits"},
           {R"({"policy":true})", 400, R"({"error":"unknown policy 'True'","ok":false})",
            "acceptEdits"},
           {R"({"policy":" trust "})", 200, R"({"ok":true,"policy":"trust"})", "bypassPermissions"},
           {R"({"policy":"auto"})", 200, R"({"ok":true,"policy":"auto"})", "auto"}}) {
    SCOPED_TRACE(c.body);
    auto response = harness::http_request(bridge.port(), "POST", "/policy", Json::parse(c.body));
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, c.status);
    EXPECT_EQ(response->body, c.answer);
    EXPECT_EQ(body_of(bridge, "/health"), health(bridge, c.mode));
  }
  EXPECT_EQ(body_of(bridge, "/policy"),
            R"({"ask_tools":"Bash","policies":["ask","auto","trust"],"policy":"auto"})");
  ASSERT_TRUE(bridge.wait_for_log("[bridge] policy    : auto (set from the game)"));
  EXPECT_EQ(bridge.count_log("(set from the game)"), 3u);

  // Each remembered NPC is recalled when first named: an explicit folder, a default one that
  // gives way to the configured default, a folder that is gone, a conversation to resume.
  auto hello_of = [&](const std::string& id) {
    SseStream stream;
    return open_hello(stream, bridge, "/npc/" + id + "/events");
  };
  auto row_of = [&](const std::string& id) {
    Json rows = harness::http_request(bridge.port(), "GET", "/npcs").value().json()["npcs"];
    auto row = std::find_if(rows.begin(), rows.end(), [&](const Json& r) { return r["id"] == id; });
    return row == rows.end() ? Json() : *row;
  };
  struct Recalled {
    std::string id, workspace, source, model;
  };
  for (const Recalled& r : {Recalled{"explicit", chosen, "explicit", "opus"},
                            Recalled{"defaulted", bridge.workspace(), "default", ""},
                            Recalled{"gone", bridge.workspace(), "default", "sonnet"}}) {
    SCOPED_TRACE(r.id);
    if (r.id == "gone") {
      EXPECT_EQ(bridge.count_log("remembered folder is gone"), 0u);  // only when named
    }
    Json hello = hello_of(r.id);
    EXPECT_EQ(hello["workspace"], r.workspace);
    EXPECT_EQ(hello["is_default"], r.source == "default");
    EXPECT_EQ(row_of(r.id)["workspace_source"], r.source);
    EXPECT_EQ(row_of(r.id)["model"], r.model);
  }
  EXPECT_TRUE(bridge.wait_for_log("[bridge] npc=gone remembered folder is gone (" + gone +
                                  "); using " + bridge.workspace()));
  Json resumer = hello_of("resumer");
  EXPECT_EQ(resumer["resumed"], false);  // the stream's own starting point is 0
  EXPECT_EQ(resumer["session"], Json({{"session_id", "sess-remembered"},
                                      {"resumed", true},
                                      {"messages", 2},
                                      {"label", "Where did the old ferry go, keeper?"},
                                      {"started", "2026-01-01T00:00:00.000Z"},
                                      {"bytes", lines.size()}}));
  EXPECT_EQ(harness::read_text_file(bridge.state_file()), written);  // nothing changed yet

  // A change replaces the file whole, so a crash mid-write never leaves half a file: a reader
  // that opened the old file still reads all of it. Other entries are carried over, and no
  // temporary file is left beside it.
  int held = ::open(bridge.state_file().c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(post(bridge, "/npc/newbie/workspace"), 200);
  std::string held_text;
  EXPECT_EQ(read_to_end(held, held_text, 1 << 20), 0);
  ::close(held);
  EXPECT_EQ(held_text, written);
  state["newbie"] = memory(bridge.workspace(), "default", "", "", "");
  EXPECT_EQ(parse_json(harness::read_text_file(bridge.state_file()).value_or("")), state);
  std::string folder = bridge.root() + "/state";
  EXPECT_EQ(harness::folder_names(folder), std::vector<std::string>{"bridge_state.json"});

  // --reset-workspaces forgets folders and sessions but keeps the rest, before listening: a
  // start that then fails on a taken port has rewritten the file by then.
  harness::RunResult reset =
      harness::run_bridge({"--reset-workspaces", "--state-file", bridge.state_file(), "--port",
                           std::to_string(bridge.port()), "--claude", bridge.claude_path()});
  EXPECT_EQ(reset.status, 1);
  EXPECT_NE(reset.err.find("[bridge] forgot 6 remembered folder(s)\n"), std::string::npos);
  Json kept = {{"explicit", {{"persona", "A tidy clerk."}, {"model", "opus"}}},
               {"defaulted", {{"persona", ""}, {"model", ""}}},
               {"gone", {{"persona", ""}, {"model", "sonnet"}}},
               {"resumer", {{"persona", ""}, {"model", ""}}},
               {"newbie", {{"persona", ""}, {"model", ""}}},
               {"odd", 5}};
  EXPECT_EQ(harness::read_text_file(bridge.state_file()), dump_json_indented(kept));

  // A file that holds no JSON object is kept under a new name before the next write replaces
  // it, so what it held is not lost; the new file has the indented form.
  write_file(bridge.state_file(), "{not json");
  ASSERT_EQ(post(bridge, "/npc/x/workspace"), 200);
  std::vector<std::string> names = harness::folder_names(folder);
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[1].rfind("bridge_state.json.unreadable-", 0), 0u) << names[1];
  EXPECT_EQ(harness::read_text_file(folder + "/" + names[1]), "{not json");
  EXPECT_TRUE(bridge.wait_for_log("[bridge] kept the unreadable state file aside as " + folder +
                                  "/" + names[1]));
  EXPECT_EQ(harness::read_text_file(bridge.state_file()),
            dump_json_indented(Json{{"x", memory(bridge.workspace(), "default", "", "", "")}}));
  // Later writes find a readable file and keep nothing else aside.
  ASSERT_EQ(post(bridge, "/npc/y/workspace"), 200);
  EXPECT_EQ(harness::folder_names(folder).size(), 2u);

  // A workspace's earlier conversations, newest first, and which NPC uses which. (How one
  // transcript is described: src/store/transcripts_test.cpp.)
  auto sessions_of = [&](const std::string& id) {
    Json body = Json::parse(body_of(bridge, "/npc/" + id + "/sessions"));
    EXPECT_EQ(body.size(), 1u);
    return body["sessions"];
  };
  // Writes a transcript of one user message into `folder`, modified at BASE_TIME + `mtime` and
  // a half second; the listing's entry for it.
  auto lay_out = [&](const std::string& folder, const std::string& cwd, const std::string& sid,
                     const std::string& words, std::int64_t mtime, const std::string& title = "") {
    std::string text = harness::message_line("user", words, cwd, sid, "2026-01-01T00:00:01.000Z");
    if (!title.empty()) {
      text += dump_json(Json{{"type", "custom-title"}, {"customTitle", title}}) + "\n";
    }
    std::string path = projects + "/" + folder + "/" + sid + ".jsonl";
    write_file(path, text);
    EXPECT_TRUE(harness::set_mtime(path, BASE_TIME + mtime, 500000000));
    return Json{{"session_id", sid},
                {"messages", 1},
                {"label", words},
                {"title", title},
                {"started", "2026-01-01T00:00:01.000Z"},
                {"bytes", text.size()},
                {"modified", static_cast<double>(BASE_TIME + mtime) + 0.5}};
  };
  // The entry as `npc` sees it while `user` has that conversation.
  auto seen = [](Json entry, const std::string& npc, const std::string& user) {
    entry["current"] = user == npc;
    entry["in_use_by"] = user == npc ? "" : user;
    return entry;
  };
  // The folder named by replacing only "/" (the bridge's root has "." and "_" in its name).
  std::string ws = bridge.root() + "/plain";
  ASSERT_TRUE(harness::make_folders(ws));
  std::string slashes = ws;
  std::replace(slashes.begin(), slashes.end(), '/', '-');
  ASSERT_NE(slashes, harness::cli_folder_name(ws));  // so only this naming can find it
  Json older = lay_out(slashes, ws, "s-older", "Tell me about the old lighthouse", 100);
  Json newest = lay_out(slashes, ws, "s-newest", "Where is the blacksmith shop?", 300, "Smithy");
  Json middle = lay_out(slashes, ws, "s-middle", "What is for supper tonight?", 200);
  write_file(projects + "/" + slashes + "/notes.txt", "not a transcript by name");
  for (const char* npc : {"alice", "bob"}) {
    ASSERT_EQ(post(bridge, "/npc/" + std::string(npc) + "/workspace", {{"workspace", ws}}), 200);
  }
  ASSERT_EQ(post(bridge, "/npc/alice/session", {{"session_id", "s-older"}}), 200);
  ASSERT_EQ(post(bridge, "/npc/bob/session", {{"session_id", "s-newest"}}), 200);
  EXPECT_EQ(post(bridge, "/npc/alice/session", {{"session_id", "s-newest"}}), 409);  // bob's
  for (const char* npc : {"alice", "bob"}) {
    EXPECT_EQ(sessions_of(npc), Json::array({seen(newest, npc, "bob"), seen(middle, npc, ""),
                                             seen(older, npc, "alice")}))
        << npc;
  }
  // Touching a file reorders the listing.
  ASSERT_TRUE(harness::set_mtime(projects + "/" + slashes + "/s-middle.jsonl", BASE_TIME + 500));
  Json listing = sessions_of("alice");
  ASSERT_EQ(listing.size(), 3u);
  EXPECT_EQ(listing[0]["session_id"], "s-middle");
  EXPECT_EQ(listing[0]["modified"], static_cast<double>(BASE_TIME + 500));
  // An NPC of another workspace sees its own folder, also once the CLI creates it with the
  // workspace's first conversation (named the CLI's way: spaces, dots, underscores).
  std::string fresh = bridge.root() + "/my ws.v2_x";
  ASSERT_TRUE(harness::make_folders(fresh));
  ASSERT_EQ(post(bridge, "/npc/finn/workspace", {{"workspace", fresh}}), 200);
  EXPECT_EQ(sessions_of("finn"), Json::array());
  Json first_talk =
      lay_out(harness::cli_folder_name(fresh), fresh, "s-first", "Good evening, innkeeper!", 50);
  EXPECT_EQ(sessions_of("finn"), Json::array({seen(first_talk, "finn", "")}));

  // Following an NPC: the exact head and hello, to every follower.
  // Timed from before the request, so that a slow start can only make the wait look longer.
  auto quiet_since = std::chrono::steady_clock::now();
  SseStream idle, first, second;
  EXPECT_EQ(open_hello(idle, bridge, "/npc/idle/events")["type"], "hello");
  ASSERT_TRUE(first.open_target(bridge.port(), "/npc/smith/events"));
  EXPECT_EQ(first.head(), STREAM_HEAD);
  Json hello = *parse_json(R"({"seq":0,"type":"hello","npc":"smith","resumed":false,
      "state":"asleep","is_default":true,"session":{"session_id":"","resumed":false,
      "messages":0,"label":"","started":"","bytes":0}})");
  std::string first_run = instance_of(bridge);
  hello["instance"] = first_run;
  hello["workspace"] = bridge.workspace();
  EXPECT_EQ(next_frame(first), frame_of(hello));
  EXPECT_TRUE(bridge.wait_for_log("[bridge] npc=smith stream opened since=0"));
  ASSERT_TRUE(second.open_target(bridge.port(), "/npc/smith/events"));
  EXPECT_EQ(next_frame(second), frame_of(hello));
  // One request pushes two events: both frames, in seq order, and nothing in between.
  ASSERT_EQ(post(bridge, "/npc/smith/workspace"), 200);
  std::string both = frame_of(model_event("smith", 1, "")) +
                     frame_of(workspace_event("smith", 2, bridge.workspace()));
  ASSERT_EQ(post(bridge, "/npc/smith/model", {{"model", "x"}}), 200);
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
  ASSERT_EQ(post(bridge, "/npc/smith/model", {{"model", "y"}}), 200);
  EXPECT_TRUE(bridge.wait_for_log("[bridge] npc=smith stream closed"));
  EXPECT_EQ(next_event(first)["seq"], 4);
  EXPECT_EQ(bridge.count_log("npc=smith stream closed"), 1u);

  // Where a reconnect starts.
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
    Json opened = open_hello(streams[i], bridge, "/npc/smith/events" + cases[i].query);
    EXPECT_EQ(opened["seq"], cases[i].since);
    EXPECT_EQ(opened["resumed"], cases[i].since != 0);
    EXPECT_EQ(opened["instance"], first_run);
    EXPECT_TRUE(
        bridge.wait_for_log("npc=smith stream opened since=" + std::to_string(cases[i].since)));
  }
  // Event 5 happens now: every stream replays what it missed, then gets it, all in order.
  ASSERT_EQ(post(bridge, "/npc/smith/model", {{"model", "z"}}), 200);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].query);
    for (std::uint64_t seq = cases[i].since + 1; seq <= 5; ++seq) {
      Json event = next_event(streams[i]);
      ASSERT_EQ(event["seq"], seq);
      EXPECT_EQ(event["type"], seq == 2 ? "workspace" : "model");
    }
  }

  // Meanwhile the idle NPC's stream had nothing to say: a keep-alive after ten seconds, not
  // before (not a speed target: an earlier one would be a wrong wait), and the stream goes on.
  EXPECT_EQ(next_frame(idle, 30s), ": keepalive\n\n");
  EXPECT_GE(std::chrono::steady_clock::now() - quiet_since, 9500ms);
  ASSERT_EQ(post(bridge, "/npc/idle/model", {{"model", "x"}}), 200);
  EXPECT_EQ(next_frame(idle), frame_of(model_event("idle", 1, "x")));

  // The game's bridge restarts: a new run, whose NPCs number their events from 1 again. The
  // last seq seen in the first run gets the new log from its start, under the new instance.
  bridge.close_stdin();
  ASSERT_EQ(bridge.wait_for_exit(), 0);
  ASSERT_TRUE(bridge.start());
  ASSERT_EQ(post(bridge, "/npc/smith/workspace"), 200);
  SseStream after;
  hello = open_hello(after, bridge, "/npc/smith/events?since=5");
  EXPECT_EQ(hello["seq"], 0);
  EXPECT_EQ(hello["resumed"], false);
  EXPECT_EQ(hello["instance"], instance_of(bridge));
  EXPECT_NE(hello["instance"], first_run);
  EXPECT_EQ(next_event(after), model_event("smith", 1, "z"));  // the model is remembered
  EXPECT_EQ(next_event(after), workspace_event("smith", 2, bridge.workspace()));
}

// The views as the command line sets them, the playground's files, and the requests that are
// no route at all.
TEST(ReadEndpoints, RoutesPageAndListingAsTheCommandLineSetsThem) {
  harness::BridgeOptions options;
  options.args = {"--permission-policy", "trust",     "--model", "haiku", "--models", "a,b",
                  "--ask-tools",         "Bash|Write"};
  BridgeProcess bridge(options);
  ASSERT_TRUE(bridge.start());
  Json health = Json::parse(body_of(bridge, "/health"));
  EXPECT_EQ(health["ask_tools"], "Bash|Write");
  EXPECT_EQ(health["permission_mode"], "bypassPermissions");
  EXPECT_EQ(body_of(bridge, "/policy"),
            R"({"ask_tools":"Bash|Write","policies":["ask","auto","trust"],"policy":"trust"})");
  EXPECT_EQ(body_of(bridge, "/models"), R"({"default":"haiku","models":["a","b"]})");
  // The banner says the same.
  EXPECT_EQ(bridge.count_log("[bridge] policy    : trust  (--permission-mode bypassPermissions, "
                             "ask in-game: nothing)"),
            1u);
  EXPECT_EQ(bridge.count_log("[bridge] models    : a,b (default: haiku)"), 1u);

  // Requests outside the route table get 404 and create nothing; every NPC path creates the
  // NPC, whatever its action (the listing at the end).
  for (const std::string request :
       {"GET /health/", "GET /Health", "HEAD /health", "get /health", "PUT /npcs", "GET /npcs/",
        "GET /index.html", "GET /playground.js/", "DELETE /npc/deleted/events", "GET /npc/bare",
        "GET /npc/guard/status", "POST /npc/guard2/dance"}) {
    std::size_t space = request.find(' ');
    auto response =
        harness::http_request(bridge.port(), request.substr(0, space), request.substr(space + 1));
    ASSERT_TRUE(response) << request;
    EXPECT_EQ(response->status, 404) << request;
    EXPECT_EQ(response->body, R"({"error":"not found"})") << request;
  }
  harness::SseStream stream;
  ASSERT_TRUE(stream.open(bridge.port(), "watched"));
  ASSERT_TRUE(stream.next_event());  // the hello: the NPC exists by now
  EXPECT_EQ(body_of(bridge, "/npc/lister/sessions"), R"({"sessions":[]})");
  auto model =
      harness::http_request(bridge.port(), "POST", "/npc/chosen/model", Json{{"model", "x"}});
  ASSERT_TRUE(model && model->status == 200);

  // The playground is served to this machine only, and never in a frame.
  struct Page {
    std::string path;
    std::string type;
    std::string excerpt;
  };
  for (const Page& c : std::vector<Page>{
           {"/", "text/html; charset=utf-8", R"(<script type="module" src="/playground.js">)"},
           {"/playground.js", "text/javascript; charset=utf-8", "new EventSource("},
           {"/playground.css", "text/css; charset=utf-8", ".approval"}}) {
    SCOPED_TRACE(c.path);
    auto response = harness::http_request(bridge.port(), "GET", c.path);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 200);
    EXPECT_EQ(response->headers["content-type"], c.type);
    EXPECT_EQ(response->headers["content-length"], std::to_string(response->body.size()));
    EXPECT_NE(response->body.find(c.excerpt), std::string::npos);
    EXPECT_EQ(response->headers["content-security-policy"],
              "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
              "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'");
    EXPECT_EQ(response->headers["x-frame-options"], "DENY");
    EXPECT_EQ(response->headers["x-content-type-options"], "nosniff");
  }

  Json body = Json::parse(body_of(bridge, "/npcs"));
  ASSERT_EQ(body.size(), 1u);
  // The registry's order means nothing: compare sorted by id.
  std::vector<Json> rows(body["npcs"].begin(), body["npcs"].end());
  std::sort(rows.begin(), rows.end(),
            [](const Json& a, const Json& b) { return a["id"] < b["id"]; });
  auto row = [&](const std::string& id, std::uint64_t seq, const std::string& model_name) {
    Json row = *parse_json(R"({"state":"asleep","workspace_source":"default","session_id":"",
        "resolved_model":""})");
    row.update(
        {{"id", id}, {"workspace", bridge.workspace()}, {"seq", seq}, {"model", model_name}});
    return row;
  };
  EXPECT_EQ(rows, (std::vector<Json>{row("chosen", 1, "x"), row("guard", 0, "haiku"),
                                     row("guard2", 0, "haiku"), row("lister", 0, "haiku"),
                                     row("watched", 0, "haiku")}));
}

}  // namespace
