#include "http/respond.h"

#include <gtest/gtest.h>

#include <string>

#include "util/fd_io.h"
#include "util/test_support.h"

namespace {

std::string reply(int status, const Json& body) {
  auto [a, b] = socket_pair();
  EXPECT_TRUE(respond(a.get(), status, body));
  a.reset();
  std::string out;
  EXPECT_EQ(read_to_end(b.get(), out, 1 << 20), 0);
  return out;
}

// (Large replies arrive whole: the end-to-end StreamBacklog and the playground page.)
TEST(Respond, WritesStatusLineTwoHeadersAndCompactSortedBody) {
  EXPECT_EQ(reply(200, Json{{"z", 1}, {"a", {{"y", true}, {"b", "é"}}}}),
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 31\r\n\r\n"
            "{\"a\":{\"b\":\"é\",\"y\":true},\"z\":1}");
  const std::vector<std::pair<int, std::string>> reasons = {
      {409, "Conflict"}, {503, "Service Unavailable"}, {400, "Bad Request"}, {418, ""}};
  for (const auto& [status, reason] : reasons) {
    std::string line = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n";
    EXPECT_EQ(reply(status, Json::object()).substr(0, line.size()), line);
  }
  // A gone reader is a write error, not a signal.
  auto [a, b] = socket_pair();
  b.reset();
  EXPECT_FALSE(respond_not_found(a.get()));
  EXPECT_FALSE(write_all(a.get(), "x"));
}

}  // namespace
