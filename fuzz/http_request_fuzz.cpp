// The HTTP request reader on one connection: whatever a client sends, cut into whatever
// pieces the network delivers, gives well-formed requests or a closed connection, and never
// more requests than lines.
//
// Input: the first byte says how the rest arrives (0: in one write; n: in writes of 1 to n
// bytes), the rest is everything the client sends.

#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "config/config.h"
#include "fuzz_support.h"
#include "http/connection.h"
#include "http/loopback_guard.h"
#include "util/unique_fd.h"

namespace {

/// Sends `bytes` into `client` in pieces of 1 to `max_piece` bytes (all at once for 0), then
/// ends the stream. The next piece is written only once the reader has taken every byte of the
/// previous one from `server`, so each read returns at most one piece and the same input is
/// always read the same way.
void send_pieces(int client, int server, std::string_view bytes, unsigned max_piece,
                 const std::atomic<bool>& stop) {
  std::uint32_t state = 0x9e3779b9u ^ max_piece;
  while (!bytes.empty() && !stop) {
    std::size_t piece = bytes.size();
    if (max_piece != 0) {
      state = state * 1664525u + 1013904223u;
      piece = std::min<std::size_t>(piece, 1 + (state >> 16) % max_piece);
    }
    for (std::string_view rest = bytes.substr(0, piece); !rest.empty();) {
      ssize_t n = ::send(client, rest.data(), rest.size(), MSG_NOSIGNAL);
      if (n <= 0) return;
      rest.remove_prefix(static_cast<std::size_t>(n));
    }
    bytes.remove_prefix(piece);
    int unread = 0;
    while (!stop && ::ioctl(server, FIONREAD, &unread) == 0 && unread > 0)
      std::this_thread::yield();
  }
  ::shutdown(client, SHUT_WR);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  store_config(Config{});  // the loopback guard reads the configured host
  return 0;
}

FUZZ_TARGET(input) {
  if (input.empty()) return;
  std::string_view sent = input.substr(1);
  int fds[2];
  FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0);
  UniqueFd server(fds[0]), client(fds[1]);
  std::atomic<bool> stop{false};
  std::thread sender(send_pieces, client.get(), server.get(), sent,
                     static_cast<unsigned char>(input[0]), std::cref(stop));

  LineReader reader(server.get(), MAX_LINE_BYTES - 1, READ_BUFFER_SIZE);
  auto lines = static_cast<std::size_t>(std::count(sent.begin(), sent.end(), '\n'));
  std::size_t requests = 0;
  while (std::optional<HttpRequest> request = read_request(reader)) {
    FUZZ_CHECK(split_whitespace(request->method).size() == 1 && is_valid_utf8(request->method));
    FUZZ_CHECK(is_valid_utf8(request->path) && is_valid_utf8(request->query));
    FUZZ_CHECK(request->path.find('?') == std::string::npos);
    for (const std::string& host : request->hosts) FUZZ_CHECK(is_valid_utf8(host));
    for (const std::string& origin : request->origins) FUZZ_CHECK(is_valid_utf8(origin));
    FUZZ_CHECK(request->hosts.size() + request->origins.size() <= MAX_HEADER_LINES);
    request_allowed(*request);  // the guard answers every request
    // Each request has a request line of its own, ended by a line feed.
    FUZZ_CHECK(++requests <= lines);
    if (request->close_after) break;  // where the connection would be closed
  }
  // The reader is done: the rest is not sent.
  stop = true;
  ::shutdown(server.get(), SHUT_RD);  // a send blocked on a full buffer fails now
  sender.join();
}
