// The read-only views: health, policy, model menu and NPC listing, compared as whole bodies,
// and the requests that are no route at all.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "harness/bridge_process.h"
#include "harness/http_client.h"

namespace {

using harness::BridgeOptions;
using harness::BridgeProcess;

// The body of GET `path`, or "<no response>".
std::string body_of(const BridgeProcess& bridge, const std::string& path, int expected = 200) {
  auto response = harness::http_request(bridge.port(), "GET", path);
  if (!response) return "<no response>";
  EXPECT_EQ(response->status, expected) << path;
  return response->body;
}

std::string quoted(const std::string& text) { return dump_json(Json(text)); }

// The run's "instance" as /health gives it, as JSON text, checked for its form: 12 lowercase
// hexadecimal digits.
std::string quoted_instance(const BridgeProcess& bridge) {
  auto response = harness::http_request(bridge.port(), "GET", "/health");
  std::string instance = response ? as_text(response->json(), "instance") : "";
  EXPECT_EQ(instance.size(), 12u);
  EXPECT_EQ(instance.find_first_not_of("0123456789abcdef"), std::string::npos) << instance;
  return dump_json(Json(instance));
}

TEST(ReadEndpoints, ADefaultBridgesViewsRoutesAndPlayground) {
  BridgeProcess bridge;
  ASSERT_TRUE(bridge.start());
  std::string instance = quoted_instance(bridge);
  std::string health = R"({"ask_tools":"Bash","instance":)" + instance +
                       R"(,"ok":true,"permission_mode":"auto","workspace":)" +
                       quoted(bridge.workspace()) + "}";
  EXPECT_EQ(body_of(bridge, "/health"), health);
  EXPECT_EQ(body_of(bridge, "/health?verbose=1"), health);  // the query is not part of the path
  EXPECT_EQ(body_of(bridge, "/policy"),
            R"({"ask_tools":"Bash","policies":["ask","auto","trust"],"policy":"auto"})");
  EXPECT_EQ(body_of(bridge, "/models"),
            R"({"default":"","models":["opus[1m]","opus","sonnet","haiku","fable"]})");

  // The views follow the policy the game sets.
  auto set = harness::http_request(bridge.port(), "POST", "/policy", Json{{"policy", "ask"}});
  ASSERT_TRUE(set);
  ASSERT_EQ(set->status, 200);
  EXPECT_EQ(body_of(bridge, "/health"),
            R"({"ask_tools":"Bash","instance":)" + instance +
                R"(,"ok":true,"permission_mode":"acceptEdits","workspace":)" +
                quoted(bridge.workspace()) + "}");
  EXPECT_EQ(body_of(bridge, "/policy"),
            R"({"ask_tools":"Bash","policies":["ask","auto","trust"],"policy":"ask"})");

  // Only the exact names are accepted (after trimming); a refusal changes nothing.
  struct Refused {
    std::string body;
    std::string answer;
  };
  for (const Refused& c : std::vector<Refused>{
           {R"({"policy":"Ask"})", R"({"error":"unknown policy 'Ask'","ok":false})"},
           {R"({})", R"({"error":"unknown policy ''","ok":false})"},
           {R"(["trust"])", R"({"error":"unknown policy ''","ok":false})"},
           {R"({"policy":true})", R"({"error":"unknown policy 'True'","ok":false})"},
           {R"({"policy":"trusted"})", R"({"error":"unknown policy 'trusted'","ok":false})"}}) {
    harness::HttpConnection connection;
    ASSERT_TRUE(connection.connect(bridge.port()));
    ASSERT_TRUE(connection.send_raw("POST /policy HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                                    std::to_string(c.body.size()) + "\r\n\r\n" + c.body));
    auto response = connection.read_response();
    ASSERT_TRUE(response) << c.body;
    EXPECT_EQ(response->status, 400) << c.body;
    EXPECT_EQ(response->body, c.answer);
  }
  EXPECT_EQ(Json::parse(body_of(bridge, "/policy"))["policy"], "ask");
  ASSERT_TRUE(bridge.wait_for_log("[bridge] policy    : ask (set from the game)"));
  EXPECT_EQ(bridge.count_log("(set from the game)"), 1u);
  auto trimmed =
      harness::http_request(bridge.port(), "POST", "/policy", Json{{"policy", " trust "}});
  ASSERT_TRUE(trimmed);
  EXPECT_EQ(trimmed->status, 200);
  EXPECT_EQ(trimmed->body, R"({"ok":true,"policy":"trust"})");
  EXPECT_EQ(Json::parse(body_of(bridge, "/health"))["permission_mode"], "bypassPermissions");
  auto automatic = harness::http_request(bridge.port(), "POST", "/policy", Json{{"policy", "auto"}});
  ASSERT_TRUE(automatic && automatic->status == 200);
  EXPECT_EQ(Json::parse(body_of(bridge, "/health"))["permission_mode"], "auto");
  ASSERT_TRUE(bridge.wait_for_log("[bridge] policy    : auto (set from the game)"));
  EXPECT_EQ(bridge.count_log("[bridge] policy    : auto (set from the game)"), 1u);

  // Requests outside the route table get 404 and create nothing (the listing at the end).
  struct Case {
    std::string method;
    std::string path;
  };
  for (const Case& c : std::vector<Case>{{"GET", "/health/"},
                                         {"GET", "/Health"},
                                         {"HEAD", "/health"},
                                         {"PUT", "/npcs"},
                                         {"DELETE", "/npc/guard/events"},
                                         {"get", "/health"},
                                         {"GET", "/policies"},
                                         {"GET", "/npcs/"},
                                         {"HEAD", "/"},
                                         {"GET", "/index.html"},
                                         {"GET", "/playground.js/"},
                                         {"GET", "/npc/guard"},
                                         {"GET", "/npc/guard/"},
                                         {"GET", "/npc"},
                                         {"GET", "/nPc/guard/events"}}) {
    SCOPED_TRACE(c.method + " " + c.path);
    auto response = harness::http_request(bridge.port(), c.method, c.path);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 404);
    EXPECT_EQ(response->body, R"({"error":"not found"})");
  }

  // The playground is served only to this machine and never in a frame.
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
    // Only the bridge itself may supply scripts, styles and data, and no page may frame it.
    const std::string& policy = response->headers["content-security-policy"];
    EXPECT_NE(policy.find("default-src 'none'"), std::string::npos) << policy;
    EXPECT_NE(policy.find("script-src 'self'"), std::string::npos) << policy;
    EXPECT_NE(policy.find("connect-src 'self'"), std::string::npos) << policy;
    EXPECT_NE(policy.find("frame-ancestors 'none'"), std::string::npos) << policy;
    EXPECT_EQ(response->headers["x-frame-options"], "DENY");
    EXPECT_EQ(response->headers["x-content-type-options"], "nosniff");
  }

  // Like every route, the page is refused to another site's page.
  harness::HttpConnection connection;
  ASSERT_TRUE(connection.connect(bridge.port()));
  auto foreign = connection.request("GET", "/", std::nullopt, {"Origin: http://evil.example"});
  ASSERT_TRUE(foreign);
  EXPECT_EQ(foreign->status, 403);
  EXPECT_EQ(foreign->body, R"({"error":"forbidden"})");

  // Every NPC path creates the NPC, and the listing shows it; nothing before made one.
  EXPECT_EQ(body_of(bridge, "/npcs"), R"({"npcs":[]})");

  harness::SseStream stream;
  ASSERT_TRUE(stream.open(bridge.port(), "watched"));
  ASSERT_TRUE(stream.next_event());  // the hello: the NPC exists by now
  EXPECT_EQ(body_of(bridge, "/npc/lister/sessions"), R"({"sessions":[]})");
  EXPECT_EQ(body_of(bridge, "/npc/guard/status", 404), R"({"error":"not found"})");
  auto dance = harness::http_request(bridge.port(), "POST", "/npc/guard2/dance", Json::object());
  ASSERT_TRUE(dance);
  EXPECT_EQ(dance->status, 404);
  EXPECT_EQ(dance->body, R"({"error":"not found"})");
  auto model =
      harness::http_request(bridge.port(), "POST", "/npc/chosen/model", Json{{"model", "x"}});
  ASSERT_TRUE(model);
  EXPECT_EQ(model->status, 200);

  auto listing = harness::http_request(bridge.port(), "GET", "/npcs");
  ASSERT_TRUE(listing);
  EXPECT_EQ(listing->status, 200);
  Json body = listing->json();
  ASSERT_EQ(body.size(), 1u);
  Json rows = body["npcs"];
  ASSERT_TRUE(rows.is_array());
  // The registry's order means nothing: compare sorted by id.
  std::vector<Json> sorted(rows.begin(), rows.end());
  std::sort(sorted.begin(), sorted.end(),
            [](const Json& a, const Json& b) { return a["id"] < b["id"]; });
  auto row = [&](const std::string& id, std::uint64_t seq, const std::string& model_name) {
    return Json{{"id", id},
                {"state", "asleep"},
                {"workspace", bridge.workspace()},
                {"workspace_source", "default"},
                {"session_id", ""},
                {"seq", seq},
                {"model", model_name},
                {"resolved_model", ""}};
  };
  std::vector<Json> expected = {row("chosen", 1, "x"), row("guard", 0, ""), row("guard2", 0, ""),
                                row("lister", 0, ""), row("watched", 0, "")};
  EXPECT_EQ(sorted, expected);
}

TEST(ReadEndpoints, SettingsViewsShowTheCommandLine) {
  BridgeOptions options;
  options.args = {"--permission-policy", "trust", "--model", "haiku", "--models", "a,b",
                  "--ask-tools", "Bash|Write"};
  BridgeProcess bridge(options);
  ASSERT_TRUE(bridge.start());
  EXPECT_EQ(body_of(bridge, "/health"),
            R"({"ask_tools":"Bash|Write","instance":)" + quoted_instance(bridge) +
                R"(,"ok":true,"permission_mode":"bypassPermissions","workspace":)" +
                quoted(bridge.workspace()) + "}");
  EXPECT_EQ(body_of(bridge, "/policy"),
            R"({"ask_tools":"Bash|Write","policies":["ask","auto","trust"],"policy":"trust"})");
  EXPECT_EQ(body_of(bridge, "/models"), R"({"default":"haiku","models":["a","b"]})");
  // The banner says the same.
  EXPECT_EQ(bridge.count_log("[bridge] policy    : trust  (--permission-mode bypassPermissions, "
                             "ask in-game: nothing)"),
            1u);
  EXPECT_EQ(bridge.count_log("[bridge] models    : a,b (default: haiku)"), 1u);
  // A new NPC starts on the configured model.
  EXPECT_EQ(body_of(bridge, "/npc/m/status", 404), R"({"error":"not found"})");
  Json rows = Json::parse(body_of(bridge, "/npcs"))["npcs"];
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["model"], "haiku");
}

}  // namespace
