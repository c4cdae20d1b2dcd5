// One walk of a game whose bridge restarts: its views, the state file it recalls NPCs from and
// rewrites, a workspace's earlier conversations, and event streams before and after the restart.

#include <fcntl.h>

#include <array>
#include <regex>

#include "harness/http_client.h"
#include "harness/transcript_files.h"

namespace {

using namespace std::chrono_literals;
using namespace harness;

constexpr std::int64_t BASE_TIME = 1767225600;  // 2026-01-01T00:00:00Z
constexpr const char* STARTED = "2026-01-01T00:00:01.000Z";

// The body of GET `path`, or "<no response>".
std::string body_of(const BridgeProcess& bridge, const std::string& path) {
  auto response = http_request(bridge.port(), "GET", path);
  if (!response) return "<no response>";
  EXPECT_EQ(response->status, 200) << path;
  return response->body;
}

int post(const BridgeProcess& bridge, const std::string& path, const Json& body = Json::object()) {
  auto response = http_request(bridge.port(), "POST", path, body);
  return response ? response->status : 0;
}

std::string instance_of(const BridgeProcess& bridge) {
  return as_text(parse_json(body_of(bridge, "/health")).value_or(Json()), "instance");
}

// The /health body with `mode` and this run's instance, which must be 12 lowercase hex digits.
std::string health(const BridgeProcess& bridge, const std::string& mode) {
  std::string instance = instance_of(bridge);
  EXPECT_TRUE(std::regex_match(instance, std::regex("[0-9a-f]{12}"))) << instance;
  Json body = {{"ask_tools", "Bash|Write"}, {"instance", instance}, {"ok", true}};
  body.update({{"permission_mode", mode}, {"workspace", bridge.workspace()}});
  return dump_json(body);
}

// The next frame with its closing blank line, as it arrived; "" when none comes in time.
std::string next_frame(SseStream& stream, std::chrono::milliseconds timeout = 20s) {
  std::optional<SseFrame> frame = stream.next_frame(timeout);
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

// An NPC's row in the /npcs listing, without its id; and the listing by id.
Json npc_row(const std::string& workspace, const std::string& source, const std::string& session,
             const std::string& model) {
  Json row = {{"workspace", workspace}, {"workspace_source", source}, {"session_id", session}};
  row.update({{"state", "asleep"}, {"seq", 0}, {"model", model}, {"resolved_model", ""}});
  return row;
}
Json npcs_by_id(const BridgeProcess& bridge) {
  Json listing = parse_json(body_of(bridge, "/npcs")).value_or(Json());
  EXPECT_EQ(listing.size(), 1u);
  Json by_id = Json::object();
  for (Json row : listing["npcs"]) {
    std::string id = as_text(row, "id");
    row.erase("id");
    by_id[id] = row;
  }
  return by_id;
}

TEST(GameRestarts, ViewsMemoryConversationsAndStreamsAcrossARestart) {
  BridgeProcess bridge(
      {.args = {"--model", "haiku", "--models", "a,b", "--ask-tools", "Bash|Write"}});
  std::string chosen = bridge.root() + "/chosen", gone = bridge.root() + "/gone";
  std::string projects = bridge.home() + "/.claude/projects";
  // Before the start: a state file, and a workspace's conversations in a folder named by
  // replacing only "/" (the CLI's own naming of "." and "_": GameReference's "sessions").
  std::string plain = bridge.root() + "/plain", slashes = plain;
  std::replace(slashes.begin(), slashes.end(), '/', '-');
  ASSERT_TRUE(make_folders(chosen) && make_folders(plain));
  ASSERT_NE(slashes, cli_folder_name(plain));  // so only this naming can find it
  // Writes a transcript of one user message, modified at BASE_TIME + `mtime` and a half second;
  // the listing's entry for it, as alice sees it while `user` has that conversation.
  auto lay_out = [&](const std::string& sid, const std::string& words, std::int64_t mtime,
                     const std::string& user, const std::string& title = "") {
    Json line = {{"type", "user"}, {"cwd", plain}, {"sessionId", sid}};
    line.update({{"message", {{"role", "user"}, {"content", words}}}, {"timestamp", STARTED}});
    std::string text = dump_json(line) + "\n";
    if (!title.empty()) text += R"({"type":"custom-title","customTitle":")" + title + "\"}\n";
    std::string path = projects + "/" + slashes + "/" + sid + ".jsonl";
    write_file(path, text);
    timespec at = {static_cast<time_t>(BASE_TIME + mtime), 500000000}, times[2] = {at, at};
    EXPECT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
    Json entry = {{"session_id", sid}, {"label", words}, {"title", title}, {"bytes", text.size()}};
    entry.update({{"messages", 1}, {"started", STARTED}, {"modified", BASE_TIME + mtime + 0.5}});
    entry.update({{"current", user == "alice"}, {"in_use_by", user == "alice" ? "" : user}});
    return entry;
  };
  Json older = lay_out("s-older", "Tell me about the old lighthouse", 100, "alice");
  Json newest = lay_out("s-newest", "Where is the blacksmith shop?", 300, "bob", "Smithy");
  Json middle = lay_out("s-middle", "What is for supper tonight?", 200, "resumer");
  write_file(projects + "/" + slashes + "/notes.txt", "not a transcript by name");
  Json state = {{"explicit", memory(chosen, "explicit", "", "A tidy clerk.", "opus")},
                {"gone", memory(gone, "explicit", "", "", "sonnet")},
                {"resumer", memory(bridge.workspace(), "default", "s-middle", "", "")},
                {"odd", 5}};
  std::string written = dump_json_indented(state);
  write_file(bridge.state_file(), written);
  ASSERT_TRUE(bridge.start());

  // The views and the banner as the command line sets them, under the default policy.
  EXPECT_EQ(body_of(bridge, "/models"), R"({"default":"haiku","models":["a","b"]})");
  EXPECT_EQ(bridge.count_log("[bridge] policy    : auto  (--permission-mode auto, "
                             "ask in-game: nothing)"),
            1u);
  EXPECT_EQ(bridge.count_log("[bridge] models    : a,b (default: haiku)"), 1u);

  // The game sets the policy: exact names only, after trimming; a refusal changes nothing.
  for (const auto& [body, answer, mode] : std::vector<std::array<std::string, 3>>{
           {R"({"policy":"Ask"})", R"({"error":"unknown policy 'Ask'","ok":false})", "auto"},
           {R"({"policy":" trust "})", R"({"ok":true,"policy":"trust"})", "bypassPermissions"}}) {
    auto response = http_request(bridge.port(), "POST", "/policy", Json::parse(body));
    EXPECT_EQ(response.value_or(HttpResponse{}).body, answer) << body;
    EXPECT_EQ(body_of(bridge, "/health"), health(bridge, mode)) << body;
  }
  ASSERT_TRUE(bridge.wait_for_log("[bridge] policy    : trust (set from the game)"));
  EXPECT_EQ(bridge.count_log("(set from the game)"), 1u);
  EXPECT_EQ(body_of(bridge, "/policy"),
            R"({"ask_tools":"Bash|Write","policies":["ask","auto","trust"],"policy":"trust"})");

  // Off the route table: 404; but a GET or POST to /npc/ID/ACTION makes the NPC (listing below).
  for (const std::string request :
       {"HEAD /health", "GET /index.html", "GET /playground.js/", "DELETE /npc/deleted/events",
        "GET /npc/bare", "GET /npc/guard/status", "POST /npc/guard2/dance"}) {
    std::size_t space = request.find(' ');
    auto response =
        http_request(bridge.port(), request.substr(0, space), request.substr(space + 1));
    EXPECT_EQ(response.value_or(HttpResponse{}).body, R"({"error":"not found"})") << request;
  }
  // The playground's script and style (the page: the game reference's "page" example).
  for (const auto& [path, type, excerpt] : std::vector<std::array<std::string, 3>>{
           {"/playground.js", "text/javascript", "new EventSource("},
           {"/playground.css", "text/css", ".approval"}}) {
    auto response = http_request(bridge.port(), "GET", path);
    ASSERT_TRUE(response) << path;
    EXPECT_EQ(response->headers["content-type"], type + "; charset=utf-8");
    EXPECT_NE(response->body.find(excerpt), std::string::npos) << path;
  }

  // Each remembered NPC is recalled when first named. (Entries not applied: state_file_test.)
  EXPECT_EQ(bridge.count_log("remembered folder is gone"), 0u);  // only when named
  std::map<std::string, Json> hellos;
  for (const char* id : {"explicit", "gone", "resumer"}) {
    SseStream stream;
    hellos[id] = open_hello(stream, bridge, "/npc/" + std::string(id) + "/events");
  }
  EXPECT_EQ(hellos["explicit"]["is_default"], false);
  std::string ws = bridge.workspace();
  EXPECT_EQ(npcs_by_id(bridge), (Json{{"explicit", npc_row(chosen, "explicit", "", "opus")},
                                      {"gone", npc_row(ws, "default", "", "sonnet")},
                                      {"resumer", npc_row(ws, "default", "s-middle", "")},
                                      {"guard", npc_row(ws, "default", "", "haiku")},
                                      {"guard2", npc_row(ws, "default", "", "haiku")}}));
  EXPECT_TRUE(bridge.wait_for_log("[bridge] npc=gone remembered folder is gone (" + gone +
                                  "); using " + bridge.workspace()));
  Json session = middle;  // found outside the resumer's own folder
  for (const char* key : {"title", "modified", "current", "in_use_by"}) session.erase(key);
  session["resumed"] = true;
  EXPECT_EQ(hellos["resumer"]["session"], session);

  // Recalling wrote nothing; a change replaces the file whole (never half a file after a crash):
  // a reader of the old file reads all of it. Other entries are kept; no temporary file is left.
  std::ifstream held(bridge.state_file());
  ASSERT_TRUE(held.is_open());
  ASSERT_EQ(post(bridge, "/npc/newbie/workspace"), 200);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(held), {}), written);
  state["newbie"] = memory(bridge.workspace(), "default", "", "", "haiku");
  EXPECT_EQ(parse_json(read_text_file(bridge.state_file()).value_or("")), state);
  std::string folder = bridge.root() + "/state";
  EXPECT_EQ(folder_names(folder), std::vector<std::string>{"bridge_state.json"});

  // --reset-workspaces forgets folders and sessions but keeps the rest, before listening: a
  // start that then fails on a taken port has rewritten the file by then.
  RunResult reset = run_bridge({"--reset-workspaces", "--state-file", bridge.state_file(), "--port",
                                std::to_string(bridge.port()), "--claude", bridge.claude_path()});
  EXPECT_EQ(reset.status, 1);
  EXPECT_NE(reset.err.find("[bridge] forgot 5 remembered folder(s)\n"), std::string::npos);
  for (Json& entry : state) {
    for (const char* key : {"workspace", "workspace_source", "session_id"})
      if (entry.is_object()) entry.erase(key);
  }
  EXPECT_EQ(read_text_file(bridge.state_file()), dump_json_indented(state));

  // A file holding no JSON object is kept aside (not lost) by the next write, and by that alone.
  write_file(bridge.state_file(), "{not json");
  ASSERT_EQ(post(bridge, "/npc/x/workspace"), 200);
  ASSERT_EQ(post(bridge, "/npc/y/workspace"), 200);
  std::vector<std::string> names = folder_names(folder);
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[1].rfind("bridge_state.json.unreadable-", 0), 0u) << names[1];
  EXPECT_EQ(read_text_file(folder + "/" + names[1]), "{not json");
  EXPECT_TRUE(bridge.wait_for_log("[bridge] kept the unreadable state file aside as " + folder +
                                  "/" + names[1]));
  Json fresh_entry = memory(bridge.workspace(), "default", "", "", "haiku");
  EXPECT_EQ(read_text_file(bridge.state_file()),
            dump_json_indented(Json{{"x", fresh_entry}, {"y", fresh_entry}}));

  // A workspace's earlier conversations, newest first, and which NPC uses which.
  for (const auto& [npc, sid] : {std::pair("alice", "s-older"), std::pair("bob", "s-newest")}) {
    ASSERT_EQ(post(bridge, "/npc/" + std::string(npc) + "/workspace", {{"workspace", plain}}), 200);
    ASSERT_EQ(post(bridge, "/npc/" + std::string(npc) + "/session", {{"session_id", sid}}), 200);
  }
  EXPECT_EQ(parse_json(body_of(bridge, "/npc/alice/sessions")),
            (Json{{"sessions", {newest, middle, older}}}));

  // Following an NPC: the exact head and hello. The keep-alive below is timed from before the
  // request, so that a slow start can only make the wait look longer.
  auto quiet_since = std::chrono::steady_clock::now();
  SseStream idle, first;
  ASSERT_TRUE(idle.open_target(bridge.port(), "/npc/idle/events"));
  ASSERT_TRUE(first.open_target(bridge.port(), "/npc/smith/events"));
  EXPECT_EQ(first.head(),
            "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n"
            "Connection: close\r\n\r\n");
  Json hello = *parse_json(R"({"seq":0,"type":"hello","npc":"smith","resumed":false,
      "state":"asleep","is_default":true,"session":{"session_id":"","resumed":false,
      "messages":0,"label":"","started":"","bytes":0}})");
  std::string first_run = instance_of(bridge);
  hello["instance"] = first_run;
  hello["workspace"] = bridge.workspace();
  EXPECT_EQ(next_frame(first), frame_of(hello));
  // One request pushes two events: both frames, in seq order, and nothing in between.
  ASSERT_EQ(post(bridge, "/npc/smith/workspace"), 200);
  std::string both = frame_of(model_event("smith", 1, "haiku")) +
                     frame_of(workspace_event("smith", 2, bridge.workspace()));
  ASSERT_EQ(post(bridge, "/npc/smith/model", {{"model", "x"}}), 200);
  ASSERT_TRUE(first.connection().fill_to(both.size(), std::chrono::steady_clock::now() + 20s));
  EXPECT_EQ(first.connection().take(both.size()), both);
  EXPECT_EQ(next_frame(first), frame_of(model_event("smith", 3, "x")));
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

  // Where a reconnect starts: after the hello's "seq" (none, or a word: only what comes next);
  // a since this log never reached is an earlier run's (after the restart below).
  const std::vector<std::pair<std::string, std::uint64_t>> cases = {
      {"", 4}, {"?since=0", 0}, {"?foo=1&since=2", 2}, {"?since=abc", 4}};
  std::vector<SseStream> streams(cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const auto& [query, since] = cases[i];
    Json opened = open_hello(streams[i], bridge, "/npc/smith/events" + query);
    EXPECT_EQ(opened["seq"], since) << query;
    EXPECT_EQ(opened["resumed"], since != 0) << query;
    EXPECT_EQ(opened["instance"], first_run) << query;
    EXPECT_TRUE(bridge.wait_for_log("npc=smith stream opened since=" + std::to_string(since)));
  }
  // Event 5 happens now: every stream replays what it missed, then gets it, all in order.
  ASSERT_EQ(post(bridge, "/npc/smith/model", {{"model", "z"}}), 200);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    for (std::uint64_t seq = cases[i].second + 1; seq <= 5; ++seq) {
      Json event = next_event(streams[i]);
      ASSERT_EQ(event["seq"], seq) << cases[i].first;
      EXPECT_EQ(event["type"], seq == 2 ? "workspace" : "model") << cases[i].first;
    }
  }

  // Meanwhile the idle NPC's stream had nothing to say: a keep-alive after ten seconds, not
  // before (not a speed target: an earlier one would be a wrong wait), and the stream goes on.
  EXPECT_EQ(next_event(idle)["type"], "hello");
  EXPECT_EQ(next_frame(idle, 30s), ": keepalive\n\n");
  EXPECT_GE(std::chrono::steady_clock::now() - quiet_since, 9500ms);
  ASSERT_EQ(post(bridge, "/npc/idle/model", {{"model", "x"}}), 200);
  EXPECT_EQ(next_frame(idle), frame_of(model_event("idle", 1, "x")));

  // A restart: a new instance whose log starts at 1 again, sent whole to a since of the old run.
  bridge.close_stdin();
  ASSERT_EQ(bridge.wait_for_exit(), 0);
  std::string log = bridge.output(true);
  std::size_t closed = log.find("[bridge] the game closed our stdin; shutting down\n");
  EXPECT_NE(closed, std::string::npos) << log;
  EXPECT_NE(log.find("[bridge] bye\n", closed), std::string::npos) << "bye comes after";
  ASSERT_TRUE(bridge.start());
  ASSERT_EQ(post(bridge, "/npc/smith/workspace"), 200);
  SseStream after;
  hello = open_hello(after, bridge, "/npc/smith/events?since=5");
  EXPECT_EQ(hello["seq"], 0);
  EXPECT_EQ(hello["instance"], instance_of(bridge));
  EXPECT_NE(hello["instance"], first_run);
  EXPECT_EQ(next_event(after), model_event("smith", 1, "z"));  // the model is remembered
  EXPECT_EQ(next_event(after), workspace_event("smith", 2, bridge.workspace()));
}

}  // namespace
