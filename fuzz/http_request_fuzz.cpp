// The HTTP request reader on one connection: whatever a client sends, cut into whatever
// pieces the network delivers, gives well-formed requests or a closed connection, and never
// more requests than lines.
//
// Input: the first byte says how the rest arrives (0: in one write; n: in writes of 1 to n
// bytes), the rest is everything the client sends.

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>

#include "config/config.h"
#include "fuzz_support.h"
#include "http/connection.h"
#include "http/loopback_guard.h"
#include "util/fd_io.h"
#include "util/text.h"
#include "util/unique_fd.h"

namespace {

/// Sends what the client sends, from a thread of its own that lives as long as the process.
/// The next piece is written only once the reader has taken every byte of the previous one,
/// so each read returns at most one piece and the same input is always read the same way.
class Client {
 public:
  Client() { std::thread([this] { serve(); }).detach(); }

  /// Starts sending `bytes` in pieces of 1 to `max_piece` bytes (all at once for 0) on a new
  /// connection; returns the server's end.
  int connect(std::string_view bytes, unsigned max_piece) {
    int fds[2];
    FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0);
    std::lock_guard<std::mutex> guard(lock_);
    server_.reset(fds[0]);
    client_.reset(fds[1]);
    bytes_ = bytes;
    max_piece_ = max_piece;
    stop_ = false;
    sending_ = true;
    changed_.notify_all();
    return server_.get();
  }

  /// The reader is done: the rest is not sent, and both ends are closed.
  void hang_up() {
    stop_ = true;
    ::shutdown(server_.get(), SHUT_RD);  // a send blocked on a full buffer fails now
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait(guard, [this] { return !sending_; });
    server_.reset();
    client_.reset();
  }

 private:
  void serve() {
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
      changed_.wait(guard, [this] { return sending_; });
      guard.unlock();
      send_all();
      guard.lock();
      sending_ = false;
      changed_.notify_all();
    }
  }

  void send_all() {
    std::string_view bytes = bytes_;
    std::uint32_t state = 0x9e3779b9u ^ max_piece_;
    while (!bytes.empty() && !stop_) {
      std::size_t piece = bytes.size();
      if (max_piece_ != 0) {
        state = state * 1664525u + 1013904223u;
        piece = std::min<std::size_t>(piece, 1 + (state >> 16) % max_piece_);
      }
      for (std::string_view rest = bytes.substr(0, piece); !rest.empty();) {
        ssize_t n = ::send(client_.get(), rest.data(), rest.size(), MSG_NOSIGNAL);
        if (n <= 0) return;
        rest.remove_prefix(static_cast<std::size_t>(n));
      }
      bytes.remove_prefix(piece);
      while (!stop_ && unread() > 0) std::this_thread::yield();
    }
    ::shutdown(client_.get(), SHUT_WR);
  }

  int unread() const {
    int queued = 0;
    return ::ioctl(server_.get(), FIONREAD, &queued) == 0 ? queued : 0;
  }

  std::mutex lock_;  // guards sending_ and the hand-over of a connection
  std::condition_variable changed_;
  bool sending_ = false;
  // Set by connect before sending_, read by the sending thread until it clears sending_.
  UniqueFd server_, client_;
  std::string_view bytes_;
  unsigned max_piece_ = 0;
  std::atomic<bool> stop_{false};
};

bool has_white_space(std::string_view text) { return split_whitespace(text).size() != 1; }

void check(const HttpRequest& request) {
  FUZZ_CHECK(!request.method.empty() && is_valid_utf8(request.method));
  FUZZ_CHECK(!has_white_space(request.method));
  FUZZ_CHECK(is_valid_utf8(request.path) && is_valid_utf8(request.query));
  FUZZ_CHECK(request.path.find('?') == std::string::npos);
  for (const std::string& host : request.hosts) FUZZ_CHECK(is_valid_utf8(host));
  for (const std::string& origin : request.origins) FUZZ_CHECK(is_valid_utf8(origin));
  FUZZ_CHECK(request.hosts.size() + request.origins.size() <= MAX_HEADER_LINES);
  // What the router gets must serialise, and the guard must answer every request.
  FUZZ_CHECK(!dump_json(request.body).empty());
  request_allowed(request);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  store_config(Config{});  // the loopback guard reads the configured host
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::string_view sent = input_text(data + 1, size - 1);
  static Client* client = new Client();  // lives as long as its thread
  int fd = client->connect(sent, data[0]);

  LineReader reader(fd, MAX_LINE_BYTES - 1, READ_BUFFER_SIZE);
  auto lines = static_cast<std::size_t>(std::count(sent.begin(), sent.end(), '\n'));
  std::size_t requests = 0;
  while (std::optional<HttpRequest> request = read_request(reader)) {
    check(*request);
    // Each request has a request line of its own, ended by a line feed.
    FUZZ_CHECK(++requests <= lines);
    if (request->close_after) break;  // where the connection would be closed
  }
  client->hang_up();
  return 0;
}
