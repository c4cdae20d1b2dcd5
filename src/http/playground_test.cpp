#include "http/playground.h"

#include <gtest/gtest.h>

TEST(Playground, TheAddressIsOneABrowserOnThisMachineCanOpen) {
  const std::vector<std::pair<const char*, const char*>> urls = {
      {"localhost", "http://localhost:8787/"},
      {"::1", "http://[::1]:8787/"},
      {"0.0.0.0", "http://127.0.0.1:8787/"},
      {"::", "http://[::1]:8787/"},
      {"fe80::1", "http://[fe80::1]:8787/"}};
  for (const auto& [host, url] : urls) EXPECT_EQ(playground_url(host, 8787), url) << host;
}
