// The game developer's reference in docs/ against a bridge of scripted demo agents: every example
// is sent, and its answer and events must have the keys and kinds of values shown; every route and
// event type must be documented. An example is a ```sh block marked "example=NAME" with one curl
// command (and maybe a "# 404 Not Found" status line), directly followed by its answer.

#include <future>
#include <regex>
#include <set>

#include "harness/scenario.h"
#include "harness/transcript_files.h"
#include "util/text.h"

namespace {

using namespace harness;

std::string source(const std::string& path) { return read_file(SOURCE_DIR "/" + path); }

// One fenced block; `follows` when only blank lines separate it from the block before.
struct Block {
  std::string info, text, where;
  bool follows = false;
};

std::vector<Block> blocks_of(const std::string& file) {
  std::vector<Block> blocks;
  std::optional<Block> open;
  bool adjacent = false;
  int number = 0;
  for (const std::string& line : lines_of(source(file))) {
    bool fence = line.starts_with("```");
    std::string where = file + ":" + std::to_string(++number);
    if (open && fence) {
      blocks.push_back(std::move(*open));
      open.reset();
      adjacent = true;
    } else if (open) {
      open->text += line + "\n";
    } else if (fence) {
      open = Block{trim(line.substr(3)), "", where, adjacent};
    } else if (!trim(line).empty()) {
      adjacent = false;
    }
  }
  return blocks;
}

std::vector<std::string> text_block_with(const std::string& file, const std::string& marker) {
  for (const Block& block : blocks_of(file)) {
    if (block.info == "text" && block.text.find(marker) != std::string::npos)
      return lines_of(block.text);
  }
  return {};
}

struct Example {
  std::string where, method = "GET", target, answer;
  std::optional<Json> body;
  std::vector<std::string> headers = {"Connection: close"};
  int status = 200;
  bool head_only = false;  // the answer shows the response head
};

struct Docs {
  std::map<std::string, Example> examples;  // by name
  std::vector<std::string> problems;
  // The events shown, in docs/events.md and as an example's stream: where ("file:line"), what.
  std::vector<std::pair<std::string, Json>> events;
};

// Reads one curl line (after "curl") into `example`; what is left is an option not understood.
std::string read_curl(std::string rest, Example& example) {
  static const std::regex option(R"re(\s+(-X (\S+)|-d '([^']*)'|-H '([^']*)'|-s|-N|)re"
                                 R"re(-D - -o /dev/null|'?http://[^/\s']+(/[^\s']*)'?))re");
  for (std::smatch o; std::regex_search(rest, o, option, std::regex_constants::match_continuous);
       rest = o.suffix()) {
    if (o[2].matched) example.method = o[2];
    if (o[3].matched) example.body = parse_json(o[3].str()).value_or(Json("not JSON"));
    if (o[3].matched && example.method == "GET") example.method = "POST";  // as curl -d does
    if (o[4].matched) example.headers.push_back(o[4]);
    if (o[5].matched) example.target = o[5];
    example.head_only |= o[1].str().starts_with("-D");
  }
  return trim(rest);
}

// The examples, and the events shown in docs/events.md; read once.
const Docs& docs() {
  static const Docs loaded = [] {
    static const std::regex named(R"((^|\s)example=([A-Za-z0-9_-]+))");
    static const std::regex status(R"(#\s*([0-9]{3})\b.*)");
    Docs docs;
    for (const std::string file : {"docs/http-api.md", "docs/events.md", "docs/embedding.md"}) {
      std::vector<Block> blocks = blocks_of(file);
      if (blocks.empty()) docs.problems.push_back(file + " cannot be read");
      for (std::size_t i = 0; i < blocks.size(); ++i) {
        const Block& block = blocks[i];
        bool answered = i + 1 < blocks.size() && blocks[i + 1].follows;
        auto problem = [&](const std::string& what) {
          docs.problems.push_back(block.where + ": " + what);
        };
        std::optional<Json> shown = block.info == "json" ? parse_json(block.text) : std::nullopt;
        std::smatch name;
        if (std::regex_search(block.info, name, named)) {
          Example example;
          example.where = block.where;
          if (answered) example.answer = blocks[++i].text;
          int curls = 0;
          for (const std::string& line : lines_of(block.text)) {
            std::smatch code;
            std::string rest = trim(line);
            if (std::regex_match(line, code, status)) {
              example.status = std::stoi(code[1]);
              rest.clear();
            } else if (line.starts_with("curl ")) {
              ++curls;
              rest = read_curl(line.substr(4), example);
            }
            if (!rest.empty()) problem("not understood: " + rest);
          }
          if (curls != 1 || !answered) problem("not one curl command and its answer");
          for (const std::string& frame : lines_of(example.answer)) {
            if (frame.starts_with("data: "))
              docs.events.emplace_back(block.where, parse_json(frame.substr(6)).value_or(Json()));
          }
          if (!docs.examples.emplace(name[2], std::move(example)).second) problem("a second one");
        } else if (file == "docs/events.md" && shown && shown->contains("type")) {
          docs.events.emplace_back(block.where, *shown);  // (examples' answers are skipped above)
        } else if (block.info == "sh" && answered &&
                   ("\n" + block.text).find("\ncurl ") != std::string::npos) {
          problem("a curl command with an answer, not marked as an example");
        }
      }
    }
    return docs;
  }();
  return loaded;
}

// Keys whose text is the same in every run, so the documentation must show it exactly.
const std::regex FIXED_TEXT(
    "error|type|policy|value|category|workspace_source|in_use_by|"
    "hookEventName|permissionDecision(Reason)?");

// How `got` differs in shape from `shown`: keys missing or extra, values of another JSON kind
// (all numbers are one kind), booleans of another value, FIXED_TEXT values other than shown;
// each element of an array against the first one shown, and some where some are shown.
void compare(const Json& shown, const Json& got, const std::string& at, const std::string& key,
             std::vector<std::string>& out) {
  std::string place = at.empty() ? "the answer" : at;
  auto inner = [&](const std::string& name) { return at.empty() ? name : at + "." + name; };
  if (std::string(shown.type_name()) != got.type_name()) {
    out.push_back(place + ": documented a " + shown.type_name() + ", got " + dump_json(got));
  } else if (shown.is_object()) {
    for (const auto& [name, value] : shown.items()) {
      if (!got.contains(name)) out.push_back(inner(name) + ": documented, but missing");
      if (got.contains(name)) compare(value, got.at(name), inner(name), name, out);
    }
    for (const auto& [name, value] : got.items())
      if (!shown.contains(name)) out.push_back(inner(name) + ": present, but not documented");
  } else if (shown.is_array()) {
    if (!shown.empty() && got.empty()) out.push_back(place + ": documented items, got none");
    for (std::size_t i = 0; !shown.empty() && i < got.size(); ++i)
      compare(shown[0], got[i], at + "[" + std::to_string(i) + "]", key, out);
  } else if ((shown.is_boolean() || (shown.is_string() && std::regex_match(key, FIXED_TEXT))) &&
             shown != got) {
    out.push_back(place + ": documented " + dump_json(shown) + ", got " + dump_json(got));
  }
}

// Whether one of `seen` has the type and shape of `shown`.
bool seen_like(const Json& shown, const std::vector<Json>& seen) {
  return std::any_of(seen.begin(), seen.end(), [&](const Json& event) {
    std::vector<std::string> found;
    compare(shown, event, "", "", found);
    return found.empty();
  });
}

// Sends documented examples to one bridge and checks their answers.
struct Examples {
  std::uint16_t port;
  std::set<std::string> ran = {};

  // Sends the example with the body members of `replace` for the documented ones; the answer's
  // body (null when none came), and a failure for each way its status, body or head differs.
  Json run(const std::string& name, const Json& replace = Json::object()) {
    ran.insert(name);
    auto found = docs().examples.find(name);
    if (found == docs().examples.end()) {
      ADD_FAILURE() << "no example named " << name << " in the docs";
      return Json();
    }
    const Example& example = found->second;
    std::optional<Json> body = example.body;
    for (const auto& [key, value] : replace.items())
      if (body && body->contains(key)) (*body)[key] = value;
    HttpConnection connection;
    std::optional<HttpResponse> got;
    if (connection.connect(port))
      got = connection.request(example.method, example.target, body, example.headers);
    std::vector<std::string> wrong;
    if (!got) wrong.push_back("no answer");
    if (got && got->status != example.status)
      wrong.push_back("status " + std::to_string(got->status) + ", documented " +
                      std::to_string(example.status) + " (body " + got->body + ")");
    if (got && !example.head_only)
      compare(parse_json(example.answer).value_or(Json()), got->json(), "", "", wrong);
    // Each header as shown but the length, which the page's own size decides.
    for (const std::string& line :
         got&& example.head_only ? lines_of(example.answer) : std::vector<std::string>{}) {
      std::size_t colon = line.find(": ");
      if (line.starts_with("HTTP/") || colon == std::string::npos) continue;
      std::string header = ascii_lower(line.substr(0, colon)), value = line.substr(colon + 2);
      std::string had = got->headers.count(header) ? got->headers.at(header) : "nothing";
      if (had != value && header != "content-length")
        wrong.push_back("header " + header + ": documented " + value + ", got " + had);
    }
    for (const std::string& what : wrong)
      ADD_FAILURE() << example.where << " (" << name << "): " << what;
    return got ? got->json() : Json();
  }
};

Json wait_event(SseStream& stream, const std::string& type, const Json& fields = Json::object()) {
  std::optional<Json> event = wait_for_event(stream, type, fields);
  EXPECT_TRUE(event) << "no " << type << " event with " << dump_json(fields);
  return event.value_or(Json());
}

// Says a Bash tool use to smith; the id of the approval it asks for.
std::string ask(DemoBridge& demo, SseStream& stream) {
  demo.say("smith", R"(@tool Bash {"command":"ls -la","description":"List the forge"})");
  return as_text(wait_event(stream, "permission_request"), "request_id");
}

int answer(std::uint16_t port, const std::string& request_id) {
  auto answered =
      npc_post(port, "smith", "permission", {{"request_id", request_id}, {"allow", true}});
  return answered ? answered->status : 0;
}

// The game starts the bridge on a port the system chose (named on standard error), and uses it.
TEST(GameReference, AGameStartsTheBridgeTalksApprovesAndChangesSettings) {
  DemoBridge demo({"--permission-policy", "ask"});
  ASSERT_TRUE(demo.start());
  ASSERT_TRUE(demo.bridge().wait_for_log("playground: "));
  std::uint16_t port = demo.port();
  ASSERT_NE(port, 0) << "the listening line names the port the system chose";
  for (const std::string& problem : docs().problems) ADD_FAILURE() << problem;

  // The banner as shown: the same labels in the same order, the playground last, this run's values.
  std::vector<std::string> banner = text_block_with("docs/embedding.md", "[bridge] listening : ");
  std::vector<std::string> log = demo.bridge().log_lines();
  ASSERT_EQ(banner.size(), 6u);
  ASSERT_GE(log.size(), banner.size());
  std::string url = "http://127.0.0.1:" + std::to_string(port);
  std::vector<std::string> values = {
      demo.bridge().claude_path(), demo.bridge().workspace(), "", "", url, url + "/"};
  for (std::size_t i = 0; i < banner.size(); ++i) {
    std::string label = banner[i].substr(0, banner[i].find(": ") + 2);
    EXPECT_EQ(log[i], values[i].empty() ? banner[i] : label + values[i]) << "banner line " << i + 1;
  }

  Examples examples{port};
  SseStream smith, hermit, innkeeper;
  ASSERT_TRUE(open_events(smith, port, "smith"));
  for (const char* name : {"health", "models"}) examples.run(name);

  // A first conversation, then the lists it shows up in.
  examples.run("say");
  wait_event(smith, "result");
  ASSERT_TRUE(smith.wait_for(is_state("idle")));
  for (const char* name : {"npcs", "sessions", "say-blank"}) examples.run(name);

  // A model now, and one while a turn runs (its clock ticks meanwhile).
  examples.run("model");
  wait_event(smith, "model", {{"pending", false}});
  ASSERT_EQ(demo.say("smith", "@wait-file " + demo.hold_path("anvil"))->status, 200);
  ASSERT_TRUE(smith.wait_for(is_state("working")));
  examples.run("model-pending");
  wait_event(smith, "usage");
  demo.release("anvil");
  wait_event(smith, "model", {{"pending", false}});

  // Approvals: allowed, refused with a reason, answered too late; the hook's own request.
  examples.run("policy");
  wait_event(smith, "policy");
  std::string allowed = ask(demo, smith);
  examples.run("permission-allow", {{"request_id", allowed}});
  wait_event(smith, "tool_end", {{"ok", true}});
  wait_event(smith, "result");
  examples.run("permission-refuse", {{"request_id", ask(demo, smith)}});
  wait_event(smith, "tool_end", {{"ok", false}});
  wait_event(smith, "result");
  examples.run("permission-gone", {{"request_id", allowed}});
  auto hook = std::async(std::launch::async, [&] { return examples.run("hook"); });
  ASSERT_EQ(answer(port, as_text(wait_event(smith, "permission_request"), "request_id")), 200);
  hook.get();

  // An interrupt refuses the waiting approval without a "permission_answered".
  std::string dropped = ask(demo, smith);
  examples.run("interrupt");
  wait_event(smith, "interrupted");
  std::optional<std::vector<Json>> stopped = read_until(smith, is_state("asleep"));
  ASSERT_TRUE(stopped);
  EXPECT_TRUE(of_type(*stopped, "permission_answered").empty());
  EXPECT_EQ(answer(port, dropped), 409);

  examples.run("policy-unknown");
  ASSERT_EQ(demo.post("/policy", {{"policy", "auto"}})->status, 200);
  examples.run("policy-view");
  say_and_read(demo, smith, "smith", "@mode default");
  ASSERT_EQ(demo.say("smith", "@fail The forge is cold.")->status, 200);
  wait_event(smith, "error");
  examples.run("sleep");
  ASSERT_TRUE(smith.wait_for(is_state("asleep")));

  // An NPC whose folder was deleted cannot be started.
  std::string hermitage = demo.scratch() + "/hermitage";
  ASSERT_TRUE(std::filesystem::create_directory(hermitage));
  ASSERT_TRUE(open_events(hermit, port, "hermit"));
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
  say_and_read(demo, smith, "smith", "Good morning! What are you forging today?");
  std::string first = as_text(examples.run("new-session")["previous"], "session_id");
  ASSERT_FALSE(first.empty());
  examples.run("session", {{"session_id", first}});
  wait_event(smith, "session", {{"session_id", first}, {"resumed", true}});
  examples.run("session-unknown");
  ASSERT_TRUE(open_events(innkeeper, port, "innkeeper"));
  std::string theirs =
      session_of(say_and_read(demo, innkeeper, "innkeeper", "A room for the night, please."));
  examples.run("session-in-use", {{"session_id", theirs}});

  for (const char* name : {"not-found", "forbidden-origin", "forbidden-host", "page"})
    examples.run(name);

  // Every event shown was seen (smith's stream began with the log, as the whole turn shown does),
  // and every example ran but that turn, whose answer is those events.
  std::vector<Json> seen;
  for (const SseStream* stream : {&smith, &hermit, &innkeeper})
    seen.insert(seen.end(), stream->seen().begin(), stream->seen().end());
  for (const auto& [where, event] : docs().events)
    EXPECT_TRUE(seen_like(event, seen)) << where << ": no event like " << dump_json(event);
  for (const auto& [name, example] : docs().examples) {
    EXPECT_TRUE(examples.ran.count(name) || name == "turn")
        << example.where << ": " << name << " is not run";
  }

  // A second bridge on the same port: the message the docs show, and status 1.
  std::vector<std::string> taken_text =
      text_block_with("docs/embedding.md", "error: cannot listen on");
  ASSERT_EQ(taken_text.size(), 2u);
  RunResult taken =
      run_bridge({"--port", std::to_string(port), "--claude", demo.bridge().claude_path()});
  EXPECT_EQ(taken.status, 1);
  std::string shown_head = taken_text[0].substr(0, taken_text[0].find(":8787"));
  EXPECT_TRUE(taken.err.starts_with(shown_head + ":" + std::to_string(port) + " (")) << taken.err;
  EXPECT_TRUE(taken.err.ends_with(").\n" + taken_text[1] + "\n")) << taken.err;
  EXPECT_EQ(std::count(taken.err.begin(), taken.err.end(), '\n'), 2) << taken.err;
  EXPECT_TRUE(http_request(port, "GET", "/health")) << "the first bridge is unharmed";
}

std::set<std::string> matches(const std::string& text, const std::regex& pattern) {
  std::set<std::string> out;
  for (std::sregex_iterator it(text.begin(), text.end(), pattern), end; it != end; ++it)
    out.insert((*it)[1]);
  return out;
}

// Every route the router answers, as "METHOD PATH" (NPC paths: /npc/{id}/ACTION), and web/ files.
std::set<std::string> routes_in_code() {
  static const std::regex fixed_path(R"re(request\.path == "([^"]+)")re");
  static const std::regex action(R"re(action == "([a-z_]+)")re");
  std::set<std::string> routes;
  std::string method = "POST";
  for (const std::string& line : lines_of(source("src/http/router.cpp"))) {
    if (line.find("request.method == \"POST\"") != std::string::npos) method = "POST";
    if (line.find("request.method != \"GET\"") != std::string::npos) method = "GET";
    for (const std::string& path : matches(line, fixed_path)) routes.insert(method + " " + path);
    for (const std::string& name : matches(line, action))
      routes.insert(method + " /npc/{id}/" + name);
  }
  for (const std::string& name : matches(source("src/http/commands.cpp"), action))
    routes.insert("POST /npc/{id}/" + name);
  for (const auto& entry : std::filesystem::directory_iterator(SOURCE_DIR "/web")) {
    std::string name = entry.path().filename().string();
    if (name.front() != '.') routes.insert("GET /" + (name == "index.html" ? "" : name));
  }
  return routes;
}

// Every event type pushed anywhere in src/, and "hello", which the stream writes itself.
std::set<std::string> event_types_in_code() {
  static const std::regex pushed(R"re(push_event\(\s*[^,()]+,\s*"([a-z_]+)")re");
  static const std::regex framed(R"re(\{"type",\s*"([a-z_]+)"\})re");
  std::set<std::string> types = matches(source("src/http/event_stream.cpp"), framed);
  for (const auto& entry : std::filesystem::recursive_directory_iterator(SOURCE_DIR "/src")) {
    std::string name = entry.path().filename().string();
    if (!name.ends_with(".cpp") || name.ends_with("_test.cpp")) continue;
    types.merge(matches(read_file(entry.path().string()), pushed));
  }
  return types;
}

TEST(GameReference, EveryRouteAndEventTypeIsDocumented) {
  std::string api = source("docs/http-api.md");
  std::set<std::string> routes = routes_in_code();
  EXPECT_GE(routes.size(), 20u) << "the route scan found too little; has the router changed shape?";
  EXPECT_EQ(matches(api, std::regex(R"(`((?:GET|POST) /[^`\s]*)`)")), routes)
      << "the routes docs/http-api.md names, and those the bridge has";

  std::set<std::string> types = event_types_in_code();
  EXPECT_GE(types.size(), 15u) << "the event scan found too little; has push_event changed shape?";
  std::set<std::string> shown;
  for (const auto& [where, event] : docs().events) shown.insert(as_text(event, "type"));
  EXPECT_EQ(shown, types) << "the event types docs/events.md shows, and those the bridge sends";
}

}  // namespace
