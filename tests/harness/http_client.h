// A raw HTTP/1.1 client for end-to-end tests: sends exactly the bytes a test gives, reads
// responses by Content-Length, and reads a bridge's Server-Sent Events stream frame by frame.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "harness/bridge_process.h"
#include "util/json.h"
#include "util/unique_fd.h"

namespace harness {

/// One response as received.
struct HttpResponse {
  int status = 0;
  std::string reason;
  std::map<std::string, std::string> headers;  // names lower-cased
  std::string body;

  /// The body parsed as JSON; null when it is not JSON.
  Json json() const;
};

/// What a read that expects the peer to hang up saw.
enum class PeerEnd {
  Closed,    // end of stream (or a reset) before any byte
  Answered,  // bytes arrived
  Silent,    // nothing within the time-out
};

/// One client connection. Not thread-safe.
class HttpConnection {
 public:
  HttpConnection() = default;

  /// Connects to `host` (a numeric address) and `port`; false when that fails.
  bool connect(std::uint16_t port, const std::string& host = "127.0.0.1");
  bool connected() const { return fd_.valid(); }
  int fd() const { return fd_.get(); }
  void close() { fd_.reset(); }

  /// Sends every byte; false when the connection fails (the peer may have closed it).
  bool send_raw(std::string_view bytes);

  /// Reads one response: head, then a body of Content-Length bytes. nullopt on a time-out, a
  /// malformed head, or the end of the stream first.
  std::optional<HttpResponse> read_response(std::chrono::milliseconds timeout = DEFAULT_WAIT);

  /// Sends `method path` as HTTP/1.1 with Host 127.0.0.1:PORT, the body (as JSON) when given,
  /// and `extra_headers` (each "Name: value"), then reads the response.
  std::optional<HttpResponse> request(const std::string& method, const std::string& path,
                                      const std::optional<Json>& body = std::nullopt,
                                      const std::vector<std::string>& extra_headers = {},
                                      std::chrono::milliseconds timeout = DEFAULT_WAIT);

  /// Waits for the peer to close the connection; says what happened instead when it does not.
  PeerEnd wait_for_close(std::chrono::milliseconds timeout = DEFAULT_WAIT);

  /// Bytes that arrived but were not consumed by a read yet.
  const std::string& pending() const { return buffer_; }

  /// Reads until `marker` is in the buffer; false on end of stream, error or time-out.
  bool fill_until(std::string_view marker, std::chrono::steady_clock::time_point deadline);
  /// Reads until the buffer holds at least `size` bytes.
  bool fill_to(std::size_t size, std::chrono::steady_clock::time_point deadline);
  /// Removes and returns the first `size` buffered bytes.
  std::string take(std::size_t size);

 private:
  enum class Got { Data, End, Error, Timeout };
  Got read_some(std::chrono::steady_clock::time_point deadline);

  UniqueFd fd_;
  std::uint16_t port_ = 0;
  std::string buffer_;
};

/// One request on a fresh connection.
std::optional<HttpResponse> http_request(std::uint16_t port, const std::string& method,
                                         const std::string& path,
                                         const std::optional<Json>& body = std::nullopt,
                                         std::chrono::milliseconds timeout = DEFAULT_WAIT);

/// One frame of an event stream: a "data: " event (parsed) or a ": keepalive" comment.
struct SseFrame {
  bool keepalive = false;
  Json data;        // the event; null for a keep-alive
  std::string raw;  // the frame's text without its closing blank line
};

/// GET /npc/ID/events[?since=N]: checks the response head, then yields frames.
class SseStream {
 public:
  /// Opens the stream; false when the connection fails or the head is not a 200 event stream.
  bool open(std::uint16_t port, const std::string& npc_id,
            std::optional<std::uint64_t> since = std::nullopt,
            std::chrono::milliseconds timeout = DEFAULT_WAIT);
  /// GET of exactly `target` on `host` (a numeric loopback address); false when the connection
  /// fails or no response head arrives. The head is not checked: see head().
  bool open_target(std::uint16_t port, const std::string& target,
                   const std::string& host = "127.0.0.1",
                   std::chrono::milliseconds timeout = DEFAULT_WAIT);

  /// The raw response head received by open().
  const std::string& head() const { return head_; }

  /// The next frame, or nullopt when none arrives within `timeout` or the stream ended.
  std::optional<SseFrame> next_frame(std::chrono::milliseconds timeout = DEFAULT_WAIT);

  /// The next event ("data: " frame), skipping keep-alives.
  std::optional<Json> next_event(std::chrono::milliseconds timeout = DEFAULT_WAIT);

  /// Events until one satisfies `match` (returned); nullopt past the time-out.
  std::optional<Json> wait_for(const std::function<bool(const Json&)>& match,
                               std::chrono::milliseconds timeout = DEFAULT_WAIT);
  /// The first event of type `type`.
  std::optional<Json> wait_for_type(const std::string& type,
                                    std::chrono::milliseconds timeout = DEFAULT_WAIT);

  /// Every event read so far, in order.
  const std::vector<Json>& seen() const { return seen_; }

  HttpConnection& connection() { return connection_; }

 private:
  HttpConnection connection_;
  std::string head_;
  std::vector<Json> seen_;
};

}  // namespace harness
