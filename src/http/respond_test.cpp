#include "http/respond.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>

#include "util/fd_io.h"
#include "util/unique_fd.h"

namespace {

struct Pair {
  Pair() {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    a.reset(fds[0]);
    b.reset(fds[1]);
  }
  UniqueFd a, b;
};

// What `respond` writes on a socket, read by the other end.
std::string reply(int status, const Json& body) {
  Pair pair;
  EXPECT_TRUE(respond(pair.a.get(), status, body));
  pair.a.reset();
  std::string out;
  EXPECT_EQ(read_to_end(pair.b.get(), out, 1 << 20), 0);
  return out;
}

// (Large replies arrive whole: the end-to-end StreamBacklog and the playground page.)
TEST(Respond, WritesStatusLineTwoHeadersAndCompactSortedBody) {
  EXPECT_EQ(reply(200, Json{{"z", 1}, {"a", {{"y", true}, {"b", "é"}}}}),
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 31\r\n\r\n"
            "{\"a\":{\"b\":\"é\",\"y\":true},\"z\":1}");
  for (const auto& [status, line] :
       std::vector<std::pair<int, std::string>>{{409, "HTTP/1.1 409 Conflict\r\n"},
                                                {503, "HTTP/1.1 503 Service Unavailable\r\n"},
                                                {400, "HTTP/1.1 400 Bad Request\r\n"},
                                                {418, "HTTP/1.1 418 \r\n"}}) {
    EXPECT_EQ(reply(status, Json::object()).substr(0, line.size()), line);
  }
  // A gone reader is a write error, not a signal.
  Pair pair;
  pair.b.reset();
  EXPECT_FALSE(respond_not_found(pair.a.get()));
  EXPECT_FALSE(write_all(pair.a.get(), "x"));
}

}  // namespace
