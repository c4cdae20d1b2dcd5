#include "http/loopback_guard.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/config.h"

namespace {

TEST(LoopbackGuard, OnlyLoopbackNamesOrTheConfiguredHostPassInEveryHostAndOrigin) {
  struct Case {
    std::string listen;
    std::vector<std::string> hosts, origins;
    bool allowed;
  };
  std::vector<Case> cases = {
      {"127.0.0.1", {}, {}, true},  // the game's own requests may carry neither
      // A good Host does not excuse a foreign Origin; of repeated ones, a foreign copy is refused
      // whichever another reader would believe. (More combinations: the end-to-end HttpWire.)
      {"127.0.0.1", {"evil.example"}, {"http://localhost"}, false},
      {"127.0.0.1", {"127.0.0.1:8787", ""}, {}, false},
      {"127.0.0.1", {"localhost", "localhost"}, {"http://localhost", "http://evil.example"}, false},
      {"127.0.0.1", {"127.0.0.1:8787", "localhost:8787"}, {}, true},
      {"127.0.0.1", {"localhost"}, {"http://localhost", "http://127.0.0.1:3000"}, true},
      // A configured name is allowed, but only loopback listeners accept other loopbacks.
      {"Bridge.Local", {"bridge.local:8787"}, {}, true},
      {"Bridge.Local", {"localhost:8787"}, {}, true},
      {"Bridge.Local", {"127.0.0.5:8787"}, {}, false},
      {"0.0.0.0", {"0.0.0.0:8787"}, {}, true},
      {"0.0.0.0", {"127.0.0.5:8787"}, {}, false},
      {"0.0.0.0", {"10.0.0.1:8787"}, {}, false},
      {"::1", {"[::1]:8787"}, {}, true},
      {"::1", {"::1:8787"}, {}, true},  // how the hook client names this bridge
      {"::1", {"::2:8787"}, {}, false},
      {"::1", {"127.0.0.5:8787"}, {}, true},
      {"127.0.0.2", {"127.0.0.2:8787"}, {}, true},
      {"127.0.0.2", {"127.9.9.9"}, {}, true},
  };
  for (const char* ok : {"http://localhost", "http://LocalHost:3000", "https://127.0.0.1:8787",
                         "http://[::1]:8787", "http://localhost/path", "app://localhost"}) {
    cases.push_back({"127.0.0.1", {}, {ok}, true});
  }
  for (const char* bad : {"http://evil.example", "null", "", "localhost", "http://127.0.0.2",
                          "http://localhost.evil.example", "http://localhost@evil.example",
                          "http://evil.example/localhost", "http://[::2]:8787", "http://"}) {
    cases.push_back({"127.0.0.1", {}, {bad}, false});
  }
  for (const char* ok : {"127.0.0.1:8787", "127.0.0.1", "localhost:8787", "LOCALHOST", "[::1]:8787",
                         "127.1.2.3:8787", "127.255.255.255"}) {
    cases.push_back({"127.0.0.1", {ok}, {}, true});
  }
  for (const char* bad :
       {"evil.example:8787", "evil.example", "", "128.0.0.1:8787", "127.0.0.256", "127.0.0",
        "127.0.0.1.2", "192.168.1.2:8787", "localhost.evil.example", "[::2]:8787"}) {
    cases.push_back({"127.0.0.1", {bad}, {}, false});
  }
  for (const Case& c : cases) {
    Config settings;
    settings.host = c.listen;
    store_config(settings);
    HttpRequest request;
    request.hosts = c.hosts;
    request.origins = c.origins;
    EXPECT_EQ(request_allowed(request), c.allowed)
        << c.listen << " hosts " << ::testing::PrintToString(c.hosts) << " origins "
        << ::testing::PrintToString(c.origins);
  }
  Config settings;
  store_config(settings);
}

}  // namespace
