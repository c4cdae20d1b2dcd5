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

TEST(ReadEndpoints, SettingsViewsWithDefaultsAreExact) {
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
  // A new NPC starts on the configured model.
  EXPECT_EQ(body_of(bridge, "/npc/m/status", 404), R"({"error":"not found"})");
  Json rows = Json::parse(body_of(bridge, "/npcs"))["npcs"];
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["model"], "haiku");
}

TEST(ReadEndpoints, RequestsOutsideTheRouteTableGet404AndCreateNothing) {
  BridgeProcess bridge;
  ASSERT_TRUE(bridge.start());
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
  // None of them was an NPC path, so no NPC exists.
  EXPECT_EQ(body_of(bridge, "/npcs"), R"({"npcs":[]})");
}

TEST(ReadEndpoints, ThePlaygroundIsServedOnlyToThisMachineAndNeverInAFrame) {
  BridgeProcess bridge;
  ASSERT_TRUE(bridge.start());
  struct Case {
    std::string path;
    std::string type;
    std::string excerpt;
  };
  for (const Case& c : std::vector<Case>{
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
  // Serving it created no NPC.
  EXPECT_EQ(body_of(bridge, "/npcs"), R"({"npcs":[]})");
}

TEST(ReadEndpoints, EveryNpcPathCreatesTheNpcAndTheListingShowsIt) {
  BridgeProcess bridge;
  ASSERT_TRUE(bridge.start());
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

}  // namespace
