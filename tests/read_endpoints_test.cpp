// The read-only views as the command line sets them, compared as whole bodies, the playground's
// files, and the requests that are no route at all. (A default bridge's views as the game sets
// the policy: GameRestarts.)

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "harness/bridge_process.h"
#include "harness/http_client.h"

namespace {

using harness::BridgeProcess;

// The body of GET `path`, or "<no response>".
std::string body_of(const BridgeProcess& bridge, const std::string& path) {
  auto response = harness::http_request(bridge.port(), "GET", path);
  if (!response) return "<no response>";
  EXPECT_EQ(response->status, 200) << path;
  return response->body;
}

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
