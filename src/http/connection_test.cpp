#include "http/connection.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "config/config.h"
#include "util/unique_fd.h"

namespace {

// A socket pair whose far end is fed from a thread (so inputs larger than the socket buffer
// work) and then shut for writing, so the reader sees the end of the stream.
class Feed {
 public:
  explicit Feed(std::string bytes, bool close_after = true) {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    near_.reset(fds[0]);
    far_.reset(fds[1]);
    writer_ = std::thread([this, bytes = std::move(bytes), close_after] {
      std::size_t off = 0;
      while (off < bytes.size()) {
        ssize_t n = write(far_.get(), bytes.data() + off, bytes.size() - off);
        if (n <= 0) break;
        off += static_cast<std::size_t>(n);
      }
      if (close_after) shutdown(far_.get(), SHUT_WR);
    });
  }
  ~Feed() { writer_.join(); }
  int fd() const { return near_.get(); }
  int far() const { return far_.get(); }

 private:
  UniqueFd near_, far_;
  std::thread writer_;
};

std::optional<HttpRequest> read_one(const std::string& bytes) {
  Feed feed(bytes);
  LineReader reader(feed.fd(), MAX_LINE_BYTES - 1, READ_BUFFER_SIZE);
  return read_request(reader);
}

TEST(ReadRequest, RequestLineAndTarget) {
  auto r = read_one("GET /npc/a/events?since=5 HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->method, "GET");
  EXPECT_EQ(r->path, "/npc/a/events");
  EXPECT_EQ(r->query, "since=5");
  EXPECT_FALSE(r->close_after);
  EXPECT_EQ(r->body, Json::object());

  r = read_one("get /x?a=1?b=2 HTTP/1.1 extra tokens\r\n\r\n");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->method, "get");
  EXPECT_EQ(r->path, "/x");
  EXPECT_EQ(r->query, "a=1?b=2");
}

TEST(ReadRequest, BareLineFeedsWork) {
  auto r = read_one("POST /p HTTP/1.1\nContent-Length: 8\n\n{\"a\":1}\n");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, Json({{"a", 1}}));
}

TEST(ReadRequest, CloseAfterFollowsVersionAndConnectionHeader) {
  struct Case {
    const char* text;
    bool close_after;
  } cases[] = {
      {"GET / HTTP/1.1\r\n\r\n", false},
      {"GET /\r\n\r\n", true},  // no version reads as HTTP/1.0
      {"GET / HTTP/1.0\r\n\r\n", true},
      {"GET / HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n", false},
      {"GET / HTTP/1.1\r\nConnection: CLOSE\r\n\r\n", true},
      {"GET / HTTP/1.1\r\nConnection: close\r\nConnection: keep-alive\r\n\r\n", false},
      {"GET / http/1.0\r\n\r\n", false},  // the version is compared case-sensitively
      {"GET / HTTP/9\r\n\r\n", false},
  };
  for (const Case& c : cases) {
    auto r = read_one(c.text);
    ASSERT_TRUE(r) << c.text;
    EXPECT_EQ(r->close_after, c.close_after) << c.text;
  }
}

TEST(ReadRequest, MalformedRequestsGetNoRequest) {
  const char* cases[] = {
      "",                                                 // end of stream before any byte
      "\r\n",                                             // an empty request line
      "   \r\n",                                          // a blank one
      "GET\r\n\r\n",                                      // no target
      "GET / HTTP/1.1\r\nHost: a\r\n",                    // end of stream inside the header block
      "GET / HTTP/1.1\r\nX: \xff\r\n\r\n",                // invalid UTF-8 in a header
      "GET /\xc3 HTTP/1.1\r\n\r\n",                       // invalid UTF-8 in the request line
      "POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\n{}",  // short body
  };
  for (const char* text : cases) EXPECT_FALSE(read_one(text)) << text;
}

TEST(ReadRequest, HeadersAreReadLeniently) {
  auto r = read_one(
      "POST /p HTTP/1.1\r\nno colon here\r\n  Content-Length  :  2 \r\nHost: 127.0.0.1:8787\r\n"
      "Origin: http://localhost:3000\r\nX-Other: y\r\n\r\n[]");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, Json::array());
  EXPECT_EQ(r->hosts, std::vector<std::string>{"127.0.0.1:8787"});
  EXPECT_EQ(r->origins, std::vector<std::string>{"http://localhost:3000"});

  r = read_one("GET / HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->hosts.empty());
  EXPECT_TRUE(r->origins.empty());

  // Repeated, every copy is kept in order, so that none escapes the loopback guard.
  r = read_one("GET / HTTP/1.1\r\nHost: evil.example\r\nhost: 127.0.0.1\r\nOrigin: a\r\n"
               "ORIGIN: b\r\n\r\n");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->hosts, (std::vector<std::string>{"evil.example", "127.0.0.1"}));
  EXPECT_EQ(r->origins, (std::vector<std::string>{"a", "b"}));
}

TEST(ReadRequest, BodiesThatAreNotOneJsonDocumentReadAsEmptyObject) {
  auto body_of = [](const std::string& body) {
    auto r = read_one("POST / HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) +
                      "\r\n\r\n" + body);
    return r ? r->body : Json("no request");
  };
  EXPECT_EQ(body_of("{}x"), Json::object());
  EXPECT_EQ(body_of("not json"), Json::object());
  EXPECT_EQ(body_of(" {\"k\":[1,2]} \r\n"), Json({{"k", {1, 2}}}));
  EXPECT_TRUE(body_of(std::string(128, '[') + std::string(128, ']')).is_array());
  EXPECT_EQ(body_of(std::string(129, '[') + std::string(129, ']')), Json::object());
}

TEST(ReadRequest, ContentLengthThatIsNotANumberMeansNoBody) {
  // The bytes after the header block are then the next request line.
  Feed feed("POST /a HTTP/1.1\r\nContent-Length: 2x\r\n\r\nGET /b HTTP/1.1\r\n\r\n");
  LineReader reader(feed.fd(), MAX_LINE_BYTES - 1, READ_BUFFER_SIZE);
  auto first = read_request(reader);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->path, "/a");
  EXPECT_EQ(first->body, Json::object());
  auto second = read_request(reader);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->path, "/b");

  for (const char* value : {"+7", "-1", "", "18446744073709551616", "0x10"}) {
    std::string text = std::string("POST / HTTP/1.1\r\nContent-Length: ") + value +
                       "\r\n\r\n[1,2,3]GET / HTTP/1.1\r\n\r\n";
    auto r = read_one(text);
    ASSERT_TRUE(r) << value;
    EXPECT_EQ(r->body, std::string(value) == "+7" ? Json({1, 2, 3}) : Json::object()) << value;
  }
}

TEST(ReadRequest, PipelinedRequestsAndLargeBodiesKeepTheirBytes) {
  std::string big = "\"" + std::string(100000, 'x') + "\"";
  std::string text = "POST /1 HTTP/1.1\r\nContent-Length: " + std::to_string(big.size()) +
                     "\r\n\r\n" + big + "GET /2 HTTP/1.1\r\n\r\nGET /3 HTTP/1.1\r\n\r\n";
  Feed feed(text);
  LineReader reader(feed.fd(), MAX_LINE_BYTES - 1, READ_BUFFER_SIZE);
  auto first = read_request(reader);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->body.get<std::string>().size(), 100000u);
  auto second = read_request(reader);
  auto third = read_request(reader);
  ASSERT_TRUE(second && third);
  EXPECT_EQ(second->path, "/2");
  EXPECT_EQ(third->path, "/3");
  EXPECT_FALSE(read_request(reader));
}

TEST(ReadRequest, BoundsCloseTheConnection) {
  std::string fits(MAX_LINE_BYTES - std::string("X: \r\n").size(), 'a');
  EXPECT_TRUE(read_one("GET / HTTP/1.1\r\nX: " + fits + "\r\n\r\n"));
  EXPECT_FALSE(read_one("GET / HTTP/1.1\r\nX: " + fits + "a\r\n\r\n"));
  EXPECT_FALSE(read_one("GET /" + std::string(MAX_LINE_BYTES, 'a') + " HTTP/1.1\r\n\r\n"));

  std::string headers;
  for (std::size_t i = 0; i < MAX_HEADER_LINES; ++i)
    headers += "X-" + std::to_string(i) + ": v\r\n";
  EXPECT_TRUE(read_one("GET / HTTP/1.1\r\n" + headers + "\r\n"));
  EXPECT_FALSE(read_one("GET / HTTP/1.1\r\n" + headers + "X-last: v\r\n\r\n"));

  // Refused on the announcement alone: the client keeps its connection open and sends nothing.
  Feed feed("POST / HTTP/1.1\r\nContent-Length: " + std::to_string(MAX_BODY_BYTES + 1) + "\r\n\r\n",
            /*close_after=*/false);
  LineReader reader(feed.fd(), MAX_LINE_BYTES - 1, READ_BUFFER_SIZE);
  EXPECT_FALSE(read_request(reader));
}

// Reads from `fd` until the peer closes; the bytes received.
std::string read_to_end(int fd) {
  std::string out;
  char buffer[4096];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return out;
    out.append(buffer, static_cast<std::size_t>(n));
  }
}

const std::string NOT_FOUND =
    "HTTP/1.1 404 Not Found\r\nContent-Type: application/json\r\nContent-Length: 21\r\n\r\n"
    "{\"error\":\"not found\"}";
const std::string FORBIDDEN =
    "HTTP/1.1 403 Forbidden\r\nContent-Type: application/json\r\nContent-Length: 21\r\n\r\n"
    "{\"error\":\"forbidden\"}";

// Runs serve_connection over a socket pair fed with `input` (the write side stays open unless
// the input ends the conversation); the bytes written back.
std::string serve(const std::string& input, bool shut_input) {
  int fds[2];
  EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  UniqueFd client(fds[1]);
  std::thread server([fd = fds[0]] { serve_connection(fd); });
  EXPECT_EQ(write(client.get(), input.data(), input.size()), static_cast<ssize_t>(input.size()));
  if (shut_input) shutdown(client.get(), SHUT_WR);
  std::string out = read_to_end(client.get());
  server.join();
  return out;
}

TEST(ServeConnection, AnswersEachRequestAndClosesWhenAsked) {
  Config settings;
  store_config(settings);
  EXPECT_EQ(serve("GET /a HTTP/1.1\r\n\r\nGET /b HTTP/1.1\r\nConnection: close\r\n\r\n", false),
            NOT_FOUND + NOT_FOUND);
  EXPECT_EQ(serve("GET /a\r\n\r\n", false), NOT_FOUND);  // HTTP/1.0 closes by itself
  // An extra empty line after a request is a malformed request line: closed, no answer.
  EXPECT_EQ(serve("GET /a HTTP/1.1\r\n\r\n\r\nGET /b HTTP/1.1\r\n\r\n", false), NOT_FOUND);
  EXPECT_EQ(serve("POST /a HTTP/1.1\r\nContent-Length: 5\r\n\r\n{}", true), "");
}

TEST(ServeConnection, ForeignOriginsAndHostsAreForbiddenButTheConnectionLivesOn) {
  Config settings;
  store_config(settings);
  EXPECT_EQ(serve("GET /a HTTP/1.1\r\nOrigin: http://evil.example\r\n\r\n"
                  "GET /a HTTP/1.1\r\nHost: evil.example:8787\r\n\r\n"
                  "GET /a HTTP/1.1\r\nHost: 127.0.0.1:8787\r\nConnection: close\r\n\r\n",
                  false),
            FORBIDDEN + FORBIDDEN + NOT_FOUND);
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
