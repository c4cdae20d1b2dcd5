// The game developer's reference in docs/ against the built bridge: every request shown there is
// sent to a bridge whose NPCs the scripted demo agent plays, and the answers and events must have
// the keys and kinds of values the docs show. And every route and event type the code has must
// be documented, so that adding one without its documentation fails here.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <future>
#include <map>
#include <regex>
#include <set>

#include "harness/approval_support.h"
#include "harness/demo_bridge.h"
#include "harness/doc_examples.h"
#include "harness/transcript_files.h"
#include "util/text.h"

namespace {

using namespace std::chrono_literals;
using harness::DemoBridge;
using harness::DocExample;
using harness::SseStream;

const std::string ROOT = SOURCE_DIR;

std::string read_file(const std::string& path) {
  return harness::read_text_file(path).value_or("");
}
const std::vector<std::string> DOC_FILES = {"docs/http-api.md", "docs/events.md",
                                            "docs/embedding.md"};

// Examples that need a bridge on a port the system chose and its run's instance; the start-up
// scenario runs them, the other scenario every other one.
const std::set<std::string> START_UP_EXAMPLES = {"health", "turn"};

struct Docs {
  std::map<std::string, DocExample> examples;  // by name
  std::vector<std::string> problems;
};

Docs load_docs() {
  Docs docs;
  for (const std::string& file : DOC_FILES) {
    std::string text = read_file(ROOT + "/" + file);
    if (text.empty()) docs.problems.push_back(file + " cannot be read");
    for (DocExample& example : harness::read_examples(text, file, docs.problems)) {
      std::string name = example.name;
      if (!docs.examples.emplace(name, std::move(example)).second) {
        docs.problems.push_back("two examples are named " + name);
      }
    }
  }
  return docs;
}

/// Sends documented examples to one bridge and checks their answers.
class ExampleRunner {
 public:
  ExampleRunner(const Docs& docs, std::uint16_t port) : docs_(docs), port_(port) {}

  /// The answer's body (null when no answer came); a failure for each difference.
  Json run(const std::string& name, const Json& replace = Json::object()) {
    auto found = docs_.examples.find(name);
    if (found == docs_.examples.end()) {
      ADD_FAILURE() << "no example named " << name << " in the docs";
      return Json();
    }
    const DocExample& example = found->second;
    {
      std::lock_guard<std::mutex> hold(lock_);
      ran_.insert(name);
    }
    std::optional<harness::HttpResponse> answer = harness::send_example(example, port_, replace);
    if (!answer) {
      ADD_FAILURE() << example.where << " (" << name << "): no answer";
      return Json();
    }
    for (const std::string& difference : harness::answer_differences(example, *answer)) {
      ADD_FAILURE() << example.where << " (" << name << "): " << difference;
    }
    return answer->json();
  }

  bool ran(const std::string& name) {
    std::lock_guard<std::mutex> hold(lock_);
    return ran_.count(name) != 0;
  }

 private:
  const Docs& docs_;
  std::uint16_t port_;
  std::mutex lock_;
  std::set<std::string> ran_;
};

// Every event the streams read, hellos included.
std::vector<Json> all_seen(const std::vector<const SseStream*>& streams) {
  std::vector<Json> out;
  for (const SseStream* stream : streams) out.insert(out.end(), stream->seen().begin(), stream->seen().end());
  return out;
}

// The documented events (of `types`, or of every type but those when `except` is set) must each
// have a counterpart of the same shape among `seen`.
void expect_documented_events_seen(const std::vector<std::pair<std::string, Json>>& shown,
                                   const std::vector<Json>& seen, const std::set<std::string>& types,
                                   bool except) {
  for (const auto& [where, event] : shown) {
    std::string type = event.is_object() ? as_text(event, "type") : "";
    if ((types.count(type) != 0) == except) continue;
    std::string why;
    EXPECT_TRUE(harness::matching_event(event, seen, why)) << where << ": " << why;
  }
}

Json wait_event(SseStream& stream, const std::string& type, const Json& fields = Json::object()) {
  std::optional<Json> event = harness::wait_for_event(stream, type, fields);
  EXPECT_TRUE(event) << "no " << type << " event with " << dump_json(fields);
  return event ? *event : Json();
}

void say(std::uint16_t port, const std::string& npc, const std::string& text) {
  std::optional<harness::HttpResponse> answer = harness::npc_post(port, npc, "say", {{"text", text}});
  ASSERT_TRUE(answer);
  ASSERT_EQ(answer->status, 200) << answer->body;
}

const std::string BASH_TOOL = R"(@tool Bash {"command":"ls -la","description":"List the forge"})";

TEST(GameReference, AGameTalksApprovesAndChangesSettings) {
  Docs docs = load_docs();
  for (const std::string& problem : docs.problems) ADD_FAILURE() << problem;
  DemoBridge demo;
  ASSERT_TRUE(demo.start());
  std::uint16_t port = demo.port();
  ExampleRunner examples(docs, port);
  SseStream smith, hermit, innkeeper;
  ASSERT_TRUE(harness::open_events(smith, port, "smith"));

  examples.run("policy-view");
  examples.run("models");

  // A first conversation, then the lists it shows up in.
  examples.run("say");
  wait_event(smith, "result");
  ASSERT_TRUE(smith.wait_for(harness::is_state("idle")));
  examples.run("npcs");
  examples.run("sessions");
  examples.run("say-blank");

  // A model now, and one while a turn runs (its clock ticks meanwhile).
  examples.run("model");
  wait_event(smith, "model", {{"pending", false}});
  say(port, "smith", "@wait-file " + demo.hold_path("anvil"));
  ASSERT_TRUE(smith.wait_for(harness::is_state("working")));
  examples.run("model-pending");
  wait_event(smith, "usage");
  demo.release("anvil");
  wait_event(smith, "model", {{"pending", false}});

  // Approvals: allowed, refused with a reason, answered too late; the hook's own request.
  examples.run("policy");
  wait_event(smith, "policy");
  say(port, "smith", BASH_TOOL);
  std::string allowed = as_text(wait_event(smith, "permission_request"), "request_id");
  examples.run("permission-allow", {{"request_id", allowed}});
  wait_event(smith, "tool_end", {{"ok", true}});
  wait_event(smith, "result");
  say(port, "smith", BASH_TOOL);
  std::string refused = as_text(wait_event(smith, "permission_request"), "request_id");
  examples.run("permission-refuse", {{"request_id", refused}});
  wait_event(smith, "tool_end", {{"ok", false}});
  wait_event(smith, "result");
  examples.run("permission-gone", {{"request_id", allowed}});

  auto hook = std::async(std::launch::async, [&] { return examples.run("hook"); });
  std::string asked = as_text(wait_event(smith, "permission_request"), "request_id");
  ASSERT_EQ(harness::npc_post(port, "smith", "permission", {{"request_id", asked}, {"allow", true}})->status, 200);
  hook.get();

  // An interrupt refuses the waiting approval without a "permission_answered".
  say(port, "smith", BASH_TOOL);
  std::string dropped = as_text(wait_event(smith, "permission_request"), "request_id");
  examples.run("interrupt");
  wait_event(smith, "interrupted");
  std::optional<std::vector<Json>> stopped = harness::read_until(smith, harness::is_state("asleep"));
  ASSERT_TRUE(stopped);
  for (const Json& event : *stopped) EXPECT_NE(as_text(event, "type"), "permission_answered");
  EXPECT_EQ(harness::npc_post(port, "smith", "permission", {{"request_id", dropped}, {"allow", true}})->status, 409);

  examples.run("policy-unknown");
  ASSERT_EQ(demo.post("/policy", {{"policy", "auto"}})->status, 200);
  say(port, "smith", "@mode default");
  wait_event(smith, "policy_downgraded");
  wait_event(smith, "result");
  say(port, "smith", "@fail The forge is cold.");
  wait_event(smith, "error");
  examples.run("sleep");
  ASSERT_TRUE(smith.wait_for(harness::is_state("asleep")));

  // An NPC whose folder was deleted cannot be started.
  std::string hermitage = demo.scratch() + "/hermitage";
  ASSERT_TRUE(std::filesystem::create_directory(hermitage));
  ASSERT_TRUE(harness::open_events(hermit, port, "hermit"));
  ASSERT_EQ(demo.post("/npc/hermit/workspace", {{"workspace", hermitage}})->status, 200);
  std::filesystem::remove(hermitage);
  examples.run("say-unavailable");
  wait_event(hermit, "error");

  // Folders and a persona.
  ASSERT_TRUE(std::filesystem::create_directories(demo.bridge().home() + "/quillhaven/forge"));
  examples.run("workspace");
  wait_event(smith, "workspace", {{"is_default", false}});
  examples.run("bind-persona");
  examples.run("workspace-default");
  wait_event(smith, "workspace", {{"is_default", true}});
  examples.run("workspace-missing");

  // Conversations: leave one, come back to it, and try one another NPC is in.
  say(port, "smith", "Good morning! What are you forging today?");
  wait_event(smith, "result");
  Json left = examples.run("new-session");
  std::string first = as_text(left["previous"], "session_id");
  ASSERT_FALSE(first.empty());
  examples.run("session", {{"session_id", first}});
  wait_event(smith, "session", {{"session_id", first}, {"resumed", true}});
  examples.run("session-unknown");
  ASSERT_TRUE(harness::open_events(innkeeper, port, "innkeeper"));
  say(port, "innkeeper", "A room for the night, please.");
  Json theirs = wait_event(innkeeper, "session");
  wait_event(innkeeper, "result");
  examples.run("session-in-use", {{"session_id", as_text(theirs, "session_id")}});

  examples.run("not-found");
  examples.run("forbidden-origin");
  examples.run("forbidden-host");
  examples.run("page");

  std::string events_md = read_file(ROOT + "/docs/events.md");
  expect_documented_events_seen(harness::shown_events(events_md, "docs/events.md"),
                                all_seen({&smith, &hermit, &innkeeper}), {"hello"}, true);
  for (const auto& [name, example] : docs.examples) {
    if (START_UP_EXAMPLES.count(name) == 0) {
      EXPECT_TRUE(examples.ran(name)) << example.where << ": example " << name << " is not run";
    }
  }
}

// The lines of the text block of `markdown` that holds `marker`.
std::vector<std::string> text_block_with(const std::string& markdown, const std::string& marker) {
  for (const harness::FencedBlock& block : harness::fenced_blocks(markdown)) {
    if (block.info != "text" || block.text.find(marker) == std::string::npos) continue;
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = block.text.find('\n', start)) != std::string::npos; start = end + 1) {
      lines.push_back(block.text.substr(start, end - start));
    }
    return lines;
  }
  return {};
}

// What a game meets when it starts the bridge itself: a port the system chose, named on
// standard error; the run's instance; a followed turn; a port that is taken; the end. (Since,
// reconnecting and restarts: EventStream.)
TEST(GameReference, AGameStartsTheBridgeFollowsAndReconnects) {
  Docs docs = load_docs();
  std::string embedding = read_file(ROOT + "/docs/embedding.md");
  DemoBridge demo({"--permission-policy", "ask"}, {}, 0);  // the harness reads the port
  ASSERT_TRUE(demo.start());
  ASSERT_TRUE(demo.bridge().wait_for_log("playground: "));
  std::vector<std::string> log = demo.bridge().log_lines();
  std::uint16_t port = demo.port();
  ASSERT_NE(port, 0) << "the listening line names the port the system chose";

  // The banner as the docs show it: the same labels in the same order, the playground last.
  std::vector<std::string> banner = text_block_with(embedding, "[bridge] listening : ");
  ASSERT_FALSE(banner.empty());
  ASSERT_GE(log.size(), banner.size());
  for (std::size_t i = 0; i < banner.size(); ++i) {
    std::string label = banner[i].substr(0, banner[i].find(": ") + 2);
    EXPECT_EQ(log[i].substr(0, label.size()), label) << "banner line " << i + 1;
  }
  // And each with the values of this run.
  std::string url = "http://127.0.0.1:" + std::to_string(port);
  EXPECT_EQ(log[0], "[bridge] claude    : " + demo.bridge().claude_path());
  EXPECT_EQ(log[1], "[bridge] workspace : " + demo.bridge().workspace());
  EXPECT_EQ(log[2], banner[2]);
  EXPECT_EQ(log[3], banner[3]);
  EXPECT_EQ(log[4], "[bridge] listening : " + url);
  EXPECT_EQ(log[5], "[bridge] playground: " + url + "/");

  ExampleRunner examples(docs, port);
  std::string instance = as_text(examples.run("health"), "instance");
  EXPECT_EQ(instance.size(), 12u);

  // A turn with an approval, followed from the start of the log.
  SseStream follow;
  ASSERT_TRUE(follow.open(port, "smith", 0));
  Json hello = follow.next_event().value_or(Json());
  EXPECT_EQ(as_text(hello, "instance"), instance);
  say(port, "smith", BASH_TOOL);
  std::string rid = as_text(wait_event(follow, "permission_request"), "request_id");
  ASSERT_EQ(harness::npc_post(port, "smith", "permission", {{"request_id", rid}, {"allow", true}})->status, 200);
  wait_event(follow, "result");
  ASSERT_TRUE(follow.wait_for(harness::is_state("idle")));
  auto turn = docs.examples.find("turn");
  ASSERT_NE(turn, docs.examples.end()) << "docs/events.md shows no turn";
  for (const auto& [where, frame] : harness::stream_frames(turn->second)) {
    std::string why;
    EXPECT_TRUE(harness::matching_event(frame, follow.seen(), why)) << where << ": " << why;
  }
  std::string events_md = read_file(ROOT + "/docs/events.md");
  expect_documented_events_seen(harness::shown_events(events_md, "docs/events.md"), follow.seen(),
                                {"hello"}, false);

  // A second bridge on the same port: the message the docs show, and status 1.
  std::vector<std::string> taken_text = text_block_with(embedding, "error: cannot listen on");
  ASSERT_EQ(taken_text.size(), 2u);
  harness::RunResult taken =
      harness::run_bridge({"--port", std::to_string(port), "--claude", demo.bridge().claude_path()});
  EXPECT_EQ(taken.status, 1);
  std::string shown_head = taken_text[0].substr(0, taken_text[0].find(":8787"));
  EXPECT_EQ(taken.err.rfind(shown_head + ":" + std::to_string(port) + " (", 0), 0u) << taken.err;
  EXPECT_TRUE(taken.err.ends_with(").\n" + taken_text[1] + "\n")) << taken.err;
  EXPECT_EQ(std::count(taken.err.begin(), taken.err.end(), '\n'), 2) << taken.err;
  EXPECT_TRUE(harness::http_request(port, "GET", "/health")) << "the first bridge is unharmed";

  // The game quits: its end of standard input closes.
  demo.bridge().close_stdin();
  EXPECT_EQ(demo.bridge().wait_for_exit(), 0);
  log = demo.bridge().log_lines();
  auto closed = std::find(log.begin(), log.end(), "[bridge] the game closed our stdin; shutting down");
  EXPECT_NE(closed, log.end());
  EXPECT_NE(std::find(closed, log.end(), "[bridge] bye"), log.end()) << "bye comes last";
}

std::vector<std::filesystem::path> sources_under(const std::string& folder) {
  std::vector<std::filesystem::path> out;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    std::string name = entry.path().filename().string();
    if (entry.is_regular_file() && name.ends_with(".cpp") && !name.ends_with("_test.cpp")) {
      out.push_back(entry.path());
    }
  }
  return out;
}

std::set<std::string> matches(const std::string& text, const std::regex& pattern) {
  std::set<std::string> out;
  for (std::sregex_iterator it(text.begin(), text.end(), pattern), end; it != end; ++it) {
    out.insert((*it)[1]);
  }
  return out;
}

// Every route the router answers, as "METHOD PATH" with NPC paths as /npc/{id}/ACTION.
std::set<std::string> routes_in_code() {
  static const std::regex fixed_path(R"re(request\.path == "([^"]+)")re");
  static const std::regex action(R"re(action == "([a-z_]+)")re");
  std::set<std::string> routes;
  std::string method = "POST";
  std::string router = read_file(ROOT + "/src/http/router.cpp");
  std::size_t start = 0;
  for (std::size_t end; (end = router.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = router.substr(start, end - start);
    if (line.find("request.method == \"POST\"") != std::string::npos) method = "POST";
    if (line.find("request.method != \"GET\"") != std::string::npos) method = "GET";
    for (const std::string& path : matches(line, fixed_path)) routes.insert(method + " " + path);
    for (const std::string& name : matches(line, action)) routes.insert(method + " /npc/{id}/" + name);
  }
  for (const std::string& name : matches(read_file(ROOT + "/src/http/commands.cpp"), action)) {
    routes.insert("POST /npc/{id}/" + name);
  }
  // The playground's files: index.html at "/", the others under their names.
  for (const auto& entry : std::filesystem::directory_iterator(ROOT + "/web")) {
    std::string name = entry.path().filename().string();
    if (name.front() != '.') routes.insert("GET /" + (name == "index.html" ? "" : name));
  }
  return routes;
}

TEST(GameReference, EveryRouteAndEventTypeIsDocumented) {
  std::string api = read_file(ROOT + "/docs/http-api.md");
  std::set<std::string> routes = routes_in_code();
  EXPECT_GE(routes.size(), 20u) << "the route scan found too little; has the router changed shape?";
  for (const std::string& route : routes) {
    EXPECT_NE(api.find("`" + route + "`"), std::string::npos) << route << " is not in docs/http-api.md";
  }
  static const std::regex documented_route(R"(`((?:GET|POST) /[^`\s]*)`)");
  for (const std::string& route : matches(api, documented_route)) {
    EXPECT_EQ(routes.count(route), 1u) << "docs/http-api.md names " << route << ", which the bridge has not";
  }

  static const std::regex pushed(R"re(push_event\(\s*[^,()]+,\s*"([a-z_]+)")re");
  static const std::regex framed(R"re(\{"type",\s*"([a-z_]+)"\})re");
  std::set<std::string> types;
  for (const auto& path : sources_under(ROOT + "/src")) {
    for (const std::string& type : matches(read_file(path.string()), pushed)) types.insert(type);
  }
  // "hello" is written by the stream itself, not pushed to the log.
  for (const std::string& type : matches(read_file(ROOT + "/src/http/event_stream.cpp"), framed)) {
    types.insert(type);
  }
  EXPECT_GE(types.size(), 15u) << "the event scan found too little; has push_event changed shape?";
  std::string events_md = read_file(ROOT + "/docs/events.md");
  std::set<std::string> shown;
  for (const auto& [where, event] : harness::shown_events(events_md, "docs/events.md")) {
    shown.insert(as_text(event, "type"));
  }
  for (const std::string& type : types) {
    EXPECT_EQ(shown.count(type), 1u) << "event type " << type << " has no example in docs/events.md";
    EXPECT_NE(events_md.find("### `" + type + "`"), std::string::npos)
        << "event type " << type << " has no section in docs/events.md";
  }
  for (const std::string& type : shown) {
    EXPECT_EQ(types.count(type), 1u) << "docs/events.md shows a " << type << " event, which the bridge never sends";
  }
}

}  // namespace
