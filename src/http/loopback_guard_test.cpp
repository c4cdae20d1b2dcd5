#include "http/loopback_guard.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "config/config.h"

TEST(LoopbackGuard, OnlyLoopbackNamesOrTheConfiguredHostPassInEveryHostAndOrigin) {
  using Names = std::vector<std::string>;
  auto check = [](const std::string& listen, const Names& hosts, const Names& origins,
                  bool allowed) {
    Config settings;
    settings.host = listen;
    store_config(settings);
    HttpRequest request;
    request.hosts = hosts;
    request.origins = origins;
    EXPECT_EQ(request_allowed(request), allowed)
        << listen << " " << ::testing::PrintToString(hosts) << ::testing::PrintToString(origins);
  };
  const std::vector<std::tuple<std::string, Names, Names, bool>> cases = {
      {"127.0.0.1", {}, {}, true},  // the game's own requests may carry neither
      // Of repeated ones, every copy must pass: a foreign copy after a good one is refused too
      // (the other order: the end-to-end HttpWire).
      {"127.0.0.1", {"127.0.0.1:8787", ""}, {}, false},
      {"127.0.0.1", {"localhost"}, {"http://localhost", "http://evil.example"}, false},
      {"127.0.0.1", {"127.0.0.1:8787", "localhost:8787"}, {}, true},
      {"127.0.0.1", {"localhost"}, {"http://localhost", "http://127.0.0.1:3000"}, true},
  };
  for (const auto& [listen, hosts, origins, allowed] : cases)
    check(listen, hosts, origins, allowed);
  // One Host alone, per listener: names that pass, then refused ones. Only loopback listeners
  // accept other loopbacks; "::1:8787" is how the hook client names an IPv6 bridge.
  const std::vector<std::tuple<std::string, Names, Names>> hosts = {
      {"127.0.0.1",
       {"127.0.0.1:8787", "127.0.0.1", "localhost:8787", "LOCALHOST", "[::1]:8787",
        "127.1.2.3:8787", "127.255.255.255"},
       {"evil.example:8787", "evil.example", "", "128.0.0.1:8787", "127.0.0.256", "127.0.0",
        "127.0.0.1.2", "192.168.1.2:8787", "localhost.evil.example", "[::2]:8787"}},
      {"Bridge.Local", {"bridge.local:8787", "localhost:8787"}, {"127.0.0.5:8787"}},
      {"0.0.0.0", {"0.0.0.0:8787"}, {"127.0.0.5:8787", "10.0.0.1:8787"}},
      {"::1", {"[::1]:8787", "::1:8787", "127.0.0.5:8787"}, {"::2:8787"}},
      {"127.0.0.2", {"127.0.0.2:8787", "127.9.9.9"}, {}}};
  for (const auto& [listen, pass, refused] : hosts) {
    for (const std::string& host : pass) check(listen, {host}, {}, true);
    for (const std::string& host : refused) check(listen, {host}, {}, false);
  }
  for (const char* ok : {"http://localhost", "http://LocalHost:3000", "https://127.0.0.1:8787",
                         "http://[::1]:8787", "http://localhost/path", "app://localhost"}) {
    check("127.0.0.1", {}, {ok}, true);
  }
  for (const char* bad : {"http://evil.example", "null", "", "localhost", "http://127.0.0.2",
                          "http://localhost.evil.example", "http://localhost@evil.example",
                          "http://evil.example/localhost", "http://[::2]:8787", "http://"}) {
    check("127.0.0.1", {}, {bad}, false);
  }
  store_config(Config{});
}
