#include "http/connection.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "util/test_support.h"

namespace {

std::string describe(const HttpRequest& r) {
  std::string out = r.method + " " + r.path + " ?" + r.query + (r.close_after ? " close " : " ") +
                    dump_json(r.body);
  for (const std::string& host : r.hosts) out += " host=" + host;
  for (const std::string& origin : r.origins) out += " origin=" + origin;
  return out;
}

// Every request read from `bytes` on one connection, until none is read. A thread feeds the far
// end (inputs may exceed the socket buffer), then shuts it for writing unless told otherwise;
// the rest is drained, so that a reader stopping early fails the comparison instead of hanging.
std::vector<std::string> read_all(const std::string& bytes, bool close_after = true) {
  std::pair<UniqueFd, UniqueFd> ends = socket_pair();
  std::thread writer([&] {
    EXPECT_EQ(write_fully(ends.second.get(), bytes), 0);
    if (close_after) shutdown(ends.second.get(), SHUT_WR);
  });
  LineReader reader(ends.first.get(), MAX_LINE_BYTES - 1, READ_BUFFER_SIZE);
  std::vector<std::string> out;
  while (std::optional<HttpRequest> request = read_request(reader))
    out.push_back(describe(*request));
  std::string rest;
  if (close_after) read_to_end(ends.first.get(), rest, bytes.size());
  writer.join();
  return out;
}

std::string post(const std::string& length, const std::string& body) {
  return "POST / HTTP/1.1\r\nContent-Length: " + length + "\r\n\r\n" + body;
}

TEST(ReadRequest, EachConnectionReadsAsTheGameAndTheHookWriteIt) {
  const std::string deep = std::string(128, '[') + std::string(128, ']');
  const std::string big = "\"" + std::string(100000, 'x') + "\"";
  const std::string fits(MAX_LINE_BYTES - std::string("X: \r\n").size(), 'a');
  std::string headers;
  for (std::size_t i = 0; i < MAX_HEADER_LINES; ++i)
    headers += "X-" + std::to_string(i) + ": v\r\n";
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {"get /x?a=1?b=2 HTTP/1.1 extra tokens\r\n\r\n", {"get /x ?a=1?b=2 {}"}},
      {"POST /p HTTP/1.1\nContent-Length: 8\n\n{\"a\":1}\n", {"POST /p ? {\"a\":1}"}},
      // Whether the connection closes after the answer: the version, then the last header.
      {"GET /\r\n\r\n", {"GET / ? close {}"}},
      {"GET / HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n", {"GET / ? {}"}},
      {"GET / HTTP/1.1\r\nConnection: CLOSE\r\n\r\n", {"GET / ? close {}"}},
      {"GET / HTTP/1.1\r\nConnection: close\r\nConnection: keep-alive\r\n\r\n", {"GET / ? {}"}},
      {"GET / http/1.0\r\n\r\n", {"GET / ? {}"}},  // compared case-sensitively
      // Headers read leniently; every Host and Origin kept in order for the loopback guard.
      {"POST /p HTTP/1.1\r\nno colon here\r\n  Content-Length  :  2 \r\nhost: h1\r\n"
       "Origin: o1\r\nHOST: h2\r\nORIGIN: o2\r\n\r\n[]",
       {"POST /p ? [] host=h1 host=h2 origin=o1 origin=o2"}},
      // A body that is not one JSON document of at most 128 levels reads as an empty object.
      {post("3", "{}x"), {"POST / ? {}"}},
      {post(std::to_string(deep.size()), deep), {"POST / ? " + deep}},
      {post(std::to_string(deep.size() + 2), "[" + deep + "]"), {"POST / ? {}"}},
      // A Content-Length that is not a number means no body: what follows is the next request.
      {post("2x", "GET /b HTTP/1.1\r\n\r\n"), {"POST / ? {}", "GET /b ? {}"}},
      {post("+7", "[1,2,3]"), {"POST / ? [1,2,3]"}},
      {post("18446744073709551616", "GET /b HTTP/1.1\r\n\r\n"), {"POST / ? {}", "GET /b ? {}"}},
      // Pipelined requests keep their bytes, a large body included.
      {post(std::to_string(big.size()), big) + "GET /2 HTTP/1.1\r\n\r\n",
       {"POST / ? " + big, "GET /2 ? {}"}},
      // Malformed: closed without an answer.
      {"", {}},
      {"   \r\n", {}},
      {"GET\r\n\r\n", {}},
      {"GET / HTTP/1.1\r\nHost: a\r\n", {}},  // the stream ends inside the header block
      {"GET /\xc3 HTTP/1.1\r\n\r\n", {}},
      {post("10", "{}"), {}},
      // An extra empty line after a request is a malformed request line.
      {"GET /a HTTP/1.1\r\n\r\n\r\nGET /b HTTP/1.1\r\n\r\n", {"GET /a ? {}"}},
      // Past a bound on a line's length or on the header count, the connection closes.
      {"GET / HTTP/1.1\r\nX: " + fits + "\r\n\r\n", {"GET / ? {}"}},
      {"GET / HTTP/1.1\r\nX: " + fits + "a\r\n\r\n", {}},
      {"GET /" + std::string(MAX_LINE_BYTES, 'a') + " HTTP/1.1\r\n\r\n", {}},
      {"GET / HTTP/1.1\r\n" + headers + "\r\n", {"GET / ? {}"}},
      {"GET / HTTP/1.1\r\n" + headers + "X-last: v\r\n\r\n", {}},
  };
  for (const auto& [bytes, reads] : cases)
    EXPECT_EQ(read_all(bytes), reads) << bytes.substr(0, 200);
  // Refused on the announcement alone: the client keeps its connection open and sends nothing.
  EXPECT_TRUE(read_all(post(std::to_string(MAX_BODY_BYTES + 1), ""), false).empty());
}

TEST(ConnectionCap, RefusesPastTheLimitUntilOneEnds) {
  std::size_t claimed = 0;
  while (claimed <= MAX_CONNECTIONS && try_begin_connection()) ++claimed;
  EXPECT_EQ(claimed, MAX_CONNECTIONS);
  EXPECT_FALSE(try_begin_connection());
  end_connection();
  EXPECT_TRUE(try_begin_connection());
  for (std::size_t i = 0; i < claimed; ++i) end_connection();
}

}  // namespace
