// HTTP/1.1 on the wire: keep-alive, HTTP/1.0, bare line feeds, malformed requests, the
// loopback guard, and the bounds that keep a hostile client from exhausting memory.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <fstream>
#include <optional>
#include <string>

#include "harness/bridge_process.h"
#include "harness/http_client.h"

namespace {

using harness::BridgeProcess;
using harness::HttpConnection;
using harness::PeerEnd;

// A path no endpoint answers: the router's 404 shows the request was read and routed.
const std::string UNKNOWN = "/no-such-endpoint";

class HttpWire : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(bridge_.start()); }

  HttpConnection connect() {
    HttpConnection connection;
    EXPECT_TRUE(connection.connect(bridge_.port()));
    return connection;
  }

  BridgeProcess bridge_;
};

TEST_F(HttpWire, TwoHttp11RequestsOnOneConnectionGetTwoAnswers) {
  HttpConnection c = connect();
  ASSERT_TRUE(c.send_raw("GET " + UNKNOWN + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" + "GET " +
                         UNKNOWN + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
  for (int i = 0; i < 2; ++i) {
    auto response = c.read_response();
    ASSERT_TRUE(response) << i;
    EXPECT_EQ(response->status, 404);
    EXPECT_EQ(response->reason, "Not Found");
    EXPECT_EQ(response->headers["content-type"], "application/json");
    EXPECT_EQ(response->body, "{\"error\":\"not found\"}");
  }
  // Still open: a third request on it is answered too.
  auto third = c.request("GET", UNKNOWN);
  ASSERT_TRUE(third);
  EXPECT_EQ(third->status, 404);
}

TEST_F(HttpWire, Http10ClosesUnlessKeepAlive) {
  HttpConnection plain = connect();
  ASSERT_TRUE(plain.send_raw("GET " + UNKNOWN + " HTTP/1.0\r\n\r\n"));
  auto response = plain.read_response();
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 404);
  EXPECT_EQ(plain.wait_for_close(), PeerEnd::Closed);

  HttpConnection no_version = connect();
  ASSERT_TRUE(no_version.send_raw("GET " + UNKNOWN + "\r\n\r\n"));
  ASSERT_TRUE(no_version.read_response());
  EXPECT_EQ(no_version.wait_for_close(), PeerEnd::Closed);

  HttpConnection keep = connect();
  ASSERT_TRUE(keep.send_raw("GET " + UNKNOWN + " HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n"));
  ASSERT_TRUE(keep.read_response());
  ASSERT_TRUE(keep.send_raw("GET " + UNKNOWN + " HTTP/1.0\r\nConnection: keep-alive\r\n\r\n"));
  ASSERT_TRUE(keep.read_response());

  HttpConnection close = connect();
  ASSERT_TRUE(close.send_raw("GET " + UNKNOWN + " HTTP/1.1\r\nConnection: Close\r\n\r\n"));
  ASSERT_TRUE(close.read_response());
  EXPECT_EQ(close.wait_for_close(), PeerEnd::Closed);
}

TEST_F(HttpWire, BareLineFeedsWork) {
  HttpConnection c = connect();
  ASSERT_TRUE(c.send_raw("GET " + UNKNOWN + " HTTP/1.1\nHost: 127.0.0.1\n\n"));
  auto response = c.read_response();
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 404);
}

TEST_F(HttpWire, MalformedRequestsAreClosedWithoutAnAnswer) {
  for (const std::string& bad : {std::string("NONSENSE\r\n\r\n"), std::string("\r\n"),
                                 std::string("GET /\xff HTTP/1.1\r\n\r\n")}) {
    HttpConnection c = connect();
    ASSERT_TRUE(c.send_raw(bad));
    EXPECT_EQ(c.wait_for_close(), PeerEnd::Closed) << bad;
  }

  // A body shorter than announced, then the client stops sending.
  HttpConnection short_body = connect();
  ASSERT_TRUE(
      short_body.send_raw("POST " + UNKNOWN + " HTTP/1.1\r\nContent-Length: 100\r\n\r\n{\"a\":1}"));
  shutdown(short_body.fd(), SHUT_WR);
  EXPECT_EQ(short_body.wait_for_close(), PeerEnd::Closed);
}

TEST_F(HttpWire, ForeignOriginsAndHostsAreForbidden) {
  std::string port = std::to_string(bridge_.port());
  HttpConnection c = connect();
  ASSERT_TRUE(c.send_raw("POST /npc/smith/say HTTP/1.1\r\nHost: 127.0.0.1:" + port +
                         "\r\nOrigin: http://evil.example\r\nContent-Length: 13\r\n\r\n"
                         "{\"text\":\"hi\"}"));
  auto response = c.read_response();
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 403);
  EXPECT_EQ(response->reason, "Forbidden");
  EXPECT_EQ(response->body, "{\"error\":\"forbidden\"}");

  // A rebound name reaches us with its own Host; the connection itself stays usable.
  ASSERT_TRUE(
      c.send_raw("GET " + UNKNOWN + " HTTP/1.1\r\nHost: evil.example:" + port + "\r\n\r\n"));
  response = c.read_response();
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 403);

  // The game's own form: Host 127.0.0.1:PORT and no Origin.
  ASSERT_TRUE(c.send_raw("GET " + UNKNOWN + " HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\n\r\n"));
  response = c.read_response();
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 404);
}

TEST_F(HttpWire, RepeatedHostOrOriginHeadersAreForbiddenWhenAnyIsForeign) {
  std::string port = std::to_string(bridge_.port());
  std::string body = "{\"text\":\"hi\"}";
  std::string tail = "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  HttpConnection c = connect();
  for (const std::string& headers :
       {"Host: evil.example:" + port + "\r\nHost: 127.0.0.1:" + port + "\r\n",
        "Host: 127.0.0.1:" + port + "\r\nhost: evil.example\r\n",
        "Host: 127.0.0.1:" + port +
            "\r\nOrigin: http://evil.example\r\nOrigin: http://localhost\r\n",
        std::string("Origin: http://localhost\r\nOrigin: null\r\n")}) {
    ASSERT_TRUE(c.send_raw("POST /npc/x/say HTTP/1.1\r\n" + headers + tail));
    auto response = c.read_response();
    ASSERT_TRUE(response) << headers;
    EXPECT_EQ(response->status, 403) << headers;
    EXPECT_EQ(response->body, "{\"error\":\"forbidden\"}") << headers;
  }
  // Refused before routing: no NPC was made for any of them.
  auto listing = c.request("GET", "/npcs");
  ASSERT_TRUE(listing);
  EXPECT_EQ(listing->status, 200);
  EXPECT_EQ(listing->body, "{\"npcs\":[]}");
}

// Resident memory of a process in KiB, from /proc; nullopt where there is no /proc.
std::optional<long> resident_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return std::nullopt;
}

TEST_F(HttpWire, OversizedRequestsAreDroppedWithoutGrowingMemory) {
  // Warm up: a first connection and request, so thread and buffer start-up costs are paid.
  ASSERT_TRUE(harness::http_request(bridge_.port(), "GET", UNKNOWN));
  std::optional<long> before = resident_kib(bridge_.pid());

  for (int round = 0; round < 3; ++round) {
    HttpConnection huge_body = connect();
    ASSERT_TRUE(
        huge_body.send_raw("POST " + UNKNOWN + " HTTP/1.1\r\nContent-Length: 2147483648\r\n\r\n"));
    EXPECT_EQ(huge_body.wait_for_close(), PeerEnd::Closed);

    HttpConnection long_line = connect();
    std::string request =
        "GET " + UNKNOWN + " HTTP/1.1\r\nX-Long: " + std::string(1 << 20, 'a') + "\r\n\r\n";
    long_line.send_raw(request);  // may fail part-way: the bridge hangs up early
    EXPECT_EQ(long_line.wait_for_close(), PeerEnd::Closed);
  }

  // The bridge still serves.
  auto response = harness::http_request(bridge_.port(), "GET", UNKNOWN);
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 404);

  std::optional<long> after = resident_kib(bridge_.pid());
  if (!before || !after) GTEST_SKIP() << "no /proc here: memory not measured";
  EXPECT_LT(*after - *before, 8 * 1024) << "before " << *before << " KiB, after " << *after;
}

}  // namespace
