#include "http/respond.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

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

std::string read_to_end(int fd) {
  std::string out;
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return out;
    out.append(buffer, static_cast<std::size_t>(n));
  }
}

std::string response_bytes(int status, const Json& body) {
  Pair pair;
  EXPECT_TRUE(respond(pair.a.get(), status, body));
  pair.a.reset();
  return read_to_end(pair.b.get());
}

TEST(Respond, WritesStatusLineTwoHeadersAndCompactSortedBody) {
  EXPECT_EQ(response_bytes(200, Json{{"z", 1}, {"a", {{"y", true}, {"b", "é"}}}}),
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 31\r\n\r\n"
            "{\"a\":{\"b\":\"é\",\"y\":true},\"z\":1}");
  EXPECT_EQ(response_bytes(409, Json::object()).substr(0, 24), "HTTP/1.1 409 Conflict\r\nC");
  EXPECT_EQ(response_bytes(503, Json::object()).substr(0, 33),
            "HTTP/1.1 503 Service Unavailable\r");
  EXPECT_EQ(response_bytes(400, Json::object()).substr(0, 25), "HTTP/1.1 400 Bad Request\r");
  EXPECT_EQ(response_bytes(418, Json::object()).substr(0, 15), "HTTP/1.1 418 \r\n");
  // Invalid UTF-8 inside a string is replaced, never thrown.
  EXPECT_NE(response_bytes(200, Json{{"k", std::string("\xff")}}).find("\xef\xbf\xbd"),
            std::string::npos);
}

TEST(Respond, NotFoundIsTheStandardReply) {
  Pair pair;
  EXPECT_TRUE(respond_not_found(pair.a.get()));
  pair.a.reset();
  EXPECT_EQ(read_to_end(pair.b.get()),
            "HTTP/1.1 404 Not Found\r\nContent-Type: application/json\r\nContent-Length: 21\r\n"
            "\r\n{\"error\":\"not found\"}");
}

TEST(Respond, AGoneReaderIsAWriteErrorNotASignal) {
  Pair pair;
  pair.b.reset();
  EXPECT_FALSE(respond_not_found(pair.a.get()));
  EXPECT_FALSE(write_all(pair.a.get(), "x"));
}

TEST(WriteTwo, LargeWritesArriveWholeOnSocketsAndPipes) {
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
  std::string from_socket = read_to_end(pair.b.get());
  std::string from_pipe = read_to_end(pipe_r.get());
  writer.join();
  EXPECT_EQ(from_socket, head + body);
  EXPECT_EQ(from_pipe, head + body);
}

}  // namespace
