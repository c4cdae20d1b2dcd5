#include "http/loopback_guard.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "config/config.h"

namespace {

void listen_on(const std::string& host) {
  Config settings;
  settings.host = host;
  store_config(settings);
}

bool allowed(std::optional<std::string> host, std::optional<std::string> origin) {
  HttpRequest request;
  if (host) request.hosts.push_back(*host);
  if (origin) request.origins.push_back(*origin);
  return request_allowed(request);
}

bool allowed_with(std::vector<std::string> hosts, std::vector<std::string> origins) {
  HttpRequest request;
  request.hosts = std::move(hosts);
  request.origins = std::move(origins);
  return request_allowed(request);
}

TEST(LoopbackGuard, RequestsWithoutHostOrOriginAreAllowed) {
  listen_on("127.0.0.1");
  EXPECT_TRUE(allowed(std::nullopt, std::nullopt));
}

TEST(LoopbackGuard, OriginMustBeALoopbackName) {
  listen_on("127.0.0.1");
  for (const char* ok : {"http://localhost", "http://LocalHost:3000", "https://127.0.0.1:8787",
                         "http://[::1]:8787", "http://localhost/path", "app://localhost"}) {
    EXPECT_TRUE(allowed(std::nullopt, ok)) << ok;
  }
  for (const char* bad : {"http://evil.example", "null", "", "localhost", "http://127.0.0.2",
                          "http://localhost.evil.example", "http://localhost@evil.example",
                          "http://evil.example/localhost", "http://[::2]:8787", "http://"}) {
    EXPECT_FALSE(allowed(std::nullopt, bad)) << bad;
  }
  // A good Host does not excuse a foreign Origin.
  EXPECT_FALSE(allowed("127.0.0.1:8787", "http://evil.example"));
}

TEST(LoopbackGuard, HostMustNameLoopbackOrTheConfiguredHost) {
  listen_on("127.0.0.1");
  for (const char* ok : {"127.0.0.1:8787", "127.0.0.1", "localhost:8787", "LOCALHOST", "[::1]:8787",
                         "127.1.2.3:8787", "127.255.255.255"}) {
    EXPECT_TRUE(allowed(ok, std::nullopt)) << ok;
  }
  for (const char* bad :
       {"evil.example:8787", "evil.example", "", "128.0.0.1:8787", "127.0.0.256", "127.0.0",
        "127.0.0.1.2", "192.168.1.2:8787", "localhost.evil.example", "[::2]:8787"}) {
    EXPECT_FALSE(allowed(bad, std::nullopt)) << bad;
  }
  EXPECT_FALSE(allowed("evil.example", "http://localhost"));
}

TEST(LoopbackGuard, EveryRepeatedHostAndOriginMustPass) {
  listen_on("127.0.0.1");
  // Whichever copy another reader would believe, a foreign one among them is refused.
  EXPECT_FALSE(allowed_with({"evil.example", "127.0.0.1:8787"}, {}));
  EXPECT_FALSE(allowed_with({"127.0.0.1:8787", "evil.example"}, {}));
  EXPECT_FALSE(allowed_with({"127.0.0.1:8787", ""}, {}));
  EXPECT_FALSE(allowed_with({}, {"http://evil.example", "http://localhost"}));
  EXPECT_FALSE(allowed_with({}, {"http://localhost", "null"}));
  EXPECT_FALSE(
      allowed_with({"localhost", "localhost"}, {"http://localhost", "http://evil.example"}));
  // Repeats that all name loopback are still the game's own requests.
  EXPECT_TRUE(allowed_with({"127.0.0.1:8787", "localhost:8787"}, {}));
  EXPECT_TRUE(allowed_with({"localhost"}, {"http://localhost", "http://127.0.0.1:3000"}));
}

TEST(LoopbackGuard, AConfiguredHostIsAllowedButOnlyLoopbackListenersAcceptOtherLoopbacks) {
  listen_on("Bridge.Local");
  EXPECT_TRUE(allowed("bridge.local:8787", std::nullopt));
  EXPECT_TRUE(allowed("localhost:8787", std::nullopt));
  EXPECT_FALSE(allowed("127.0.0.5:8787", std::nullopt));

  listen_on("0.0.0.0");
  EXPECT_TRUE(allowed("0.0.0.0:8787", std::nullopt));
  EXPECT_FALSE(allowed("127.0.0.5:8787", std::nullopt));
  EXPECT_FALSE(allowed("10.0.0.1:8787", std::nullopt));

  listen_on("::1");
  EXPECT_TRUE(allowed("[::1]:8787", std::nullopt));
  EXPECT_TRUE(allowed("::1:8787", std::nullopt));  // how the hook client names this bridge
  EXPECT_FALSE(allowed("::2:8787", std::nullopt));
  EXPECT_TRUE(allowed("127.0.0.5:8787", std::nullopt));

  listen_on("127.0.0.2");
  EXPECT_TRUE(allowed("127.0.0.2:8787", std::nullopt));
  EXPECT_TRUE(allowed("127.9.9.9", std::nullopt));
  listen_on("127.0.0.1");
}

}  // namespace
