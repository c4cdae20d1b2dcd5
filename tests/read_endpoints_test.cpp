// The read-only views: health, policy, model menu and NPC listing, compared as whole bodies as
// the settings change, the playground's files, and the requests that are no route at all.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "harness/bridge_process.h"
#include "harness/http_client.h"

namespace {

using harness::BridgeProcess;

// The body of GET `path`, or "<no response>".
std::string body_of(const BridgeProcess& bridge, const std::string& path, int expected = 200) {
  auto response = harness::http_request(bridge.port(), "GET", path);
  if (!response) return "<no response>";
  EXPECT_EQ(response->status, expected) << path;
  return response->body;
}

// The /health body of this bridge with `tools`, `mode` and its run's instance, which must be
// 12 lowercase hexadecimal digits.
std::string health(const BridgeProcess& bridge, const std::string& tools, const std::string& mode) {
  auto response = harness::http_request(bridge.port(), "GET", "/health");
  std::string instance = response ? as_text(response->json(), "instance") : "";
  EXPECT_EQ(instance.size(), 12u);
  EXPECT_EQ(instance.find_first_not_of("0123456789abcdef"), std::string::npos) << instance;
  return R"({"ask_tools":")" + tools + R"(","instance":)" + dump_json(Json(instance)) +
         R"(,"ok":true,"permission_mode":")" + mode + R"(","workspace":)" +
         dump_json(Json(bridge.workspace())) + "}";
}

std::string policy_view(const std::string& tools, const std::string& policy) {
  return R"({"ask_tools":")" + tools + R"(","policies":["ask","auto","trust"],"policy":")" +
         policy + R"("})";
}

TEST(ReadEndpoints, ADefaultBridgesViewsFollowThePolicyTheGameSets) {
  BridgeProcess bridge;
  ASSERT_TRUE(bridge.start());
  EXPECT_EQ(body_of(bridge, "/health"), health(bridge, "Bash", "auto"));
  EXPECT_EQ(body_of(bridge, "/health?verbose=1"), health(bridge, "Bash", "auto"));
  EXPECT_EQ(body_of(bridge, "/policy"), policy_view("Bash", "auto"));
  EXPECT_EQ(body_of(bridge, "/models"),
            R"({"default":"","models":["opus[1m]","opus","sonnet","haiku","fable"]})");

  // Only the exact names are accepted, after trimming; a refusal changes nothing.
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
    harness::HttpConnection connection;
    ASSERT_TRUE(connection.connect(bridge.port()));
    ASSERT_TRUE(connection.send_raw("POST /policy HTTP/1.1\r\nContent-Length: " +
                                    std::to_string(c.body.size()) + "\r\n\r\n" + c.body));
    auto response = connection.read_response();
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, c.status);
    EXPECT_EQ(response->body, c.answer);
    EXPECT_EQ(body_of(bridge, "/health"), health(bridge, "Bash", c.mode));
  }
  EXPECT_EQ(body_of(bridge, "/policy"), policy_view("Bash", "auto"));
  ASSERT_TRUE(bridge.wait_for_log("[bridge] policy    : auto (set from the game)"));
  EXPECT_EQ(bridge.count_log("(set from the game)"), 3u);
}

TEST(ReadEndpoints, RoutesPageAndListingAsTheCommandLineSetsThem) {
  harness::BridgeOptions options;
  options.args = {"--permission-policy", "trust",     "--model", "haiku", "--models", "a,b",
                  "--ask-tools",         "Bash|Write"};
  BridgeProcess bridge(options);
  ASSERT_TRUE(bridge.start());
  EXPECT_EQ(body_of(bridge, "/health"), health(bridge, "Bash|Write", "bypassPermissions"));
  EXPECT_EQ(body_of(bridge, "/policy"), policy_view("Bash|Write", "trust"));
  EXPECT_EQ(body_of(bridge, "/models"), R"({"default":"haiku","models":["a","b"]})");
  // The banner says the same.
  EXPECT_EQ(bridge.count_log("[bridge] policy    : trust  (--permission-mode bypassPermissions, "
                             "ask in-game: nothing)"),
            1u);
  EXPECT_EQ(bridge.count_log("[bridge] models    : a,b (default: haiku)"), 1u);

  // Requests outside the route table get 404 and create nothing; every NPC path creates the
  // NPC, whatever its action (the listing at the end).
  for (const std::string request :
       {"GET /health/", "GET /Health", "HEAD /health", "get /health", "PUT /npcs",
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
    return Json{{"id", id},
                {"state", "asleep"},
                {"workspace", bridge.workspace()},
                {"workspace_source", "default"},
                {"session_id", ""},
                {"seq", seq},
                {"model", model_name},
                {"resolved_model", ""}};
  };
  EXPECT_EQ(rows, (std::vector<Json>{row("chosen", 1, "x"), row("guard", 0, "haiku"),
                                     row("guard2", 0, "haiku"), row("lister", 0, "haiku"),
                                     row("watched", 0, "haiku")}));
}

}  // namespace
