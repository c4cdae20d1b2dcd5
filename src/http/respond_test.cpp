#include "http/respond.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "util/fd_io.h"
#include "util/platform.h"
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

std::string read_all(int fd) {
  std::string out;
  EXPECT_EQ(read_to_end(fd, out, 1 << 20), 0);
  return out;
}

// What `respond` writes on a socket, read by the other end.
std::string reply(int status, const Json& body) {
  Pair pair;
  EXPECT_TRUE(respond(pair.a.get(), status, body));
  pair.a.reset();
  return read_all(pair.b.get());
}

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

TEST(Respond, LargeWritesArriveWholeOnSocketsAndPipes) {
  std::string head(100000, 'h');
  std::string body(300000, 'b');
  Pair pair;
  int fds[2];
  ASSERT_EQ(pipe_cloexec(fds), 0);
  UniqueFd pipe_r(fds[0]), pipe_w(fds[1]);
  std::thread writer([&] {
    EXPECT_TRUE(write_two(pair.a.get(), head, body));
    pair.a.reset();
    EXPECT_TRUE(write_two(pipe_w.get(), head, ""));
    EXPECT_TRUE(write_all(pipe_w.get(), body));
    pipe_w.reset();
  });
  std::string from_socket = read_all(pair.b.get());
  std::string from_pipe = read_all(pipe_r.get());
  writer.join();
  EXPECT_EQ(from_socket, head + body);
  EXPECT_EQ(from_pipe, head + body);
}

}  // namespace
