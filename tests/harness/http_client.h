// A raw HTTP/1.1 client for end-to-end tests: sends exactly the bytes a test gives, reads
// responses by Content-Length, and reads a bridge's Server-Sent Events stream frame by frame.
#pragma once

#include <functional>

#include "harness/bridge_process.h"
#include "util/json.h"

namespace harness {

struct HttpResponse {
  int status = 0;
  std::string reason;
  std::map<std::string, std::string> headers;  // names lower-cased
  std::string body;

  Json json() const { return parse_json(body).value_or(Json()); }  // null when not JSON
};

/// What a read that expects the peer to hang up saw.
enum class PeerEnd { Closed, Answered, Silent };

/// One client connection. Not thread-safe.
class HttpConnection {
 public:
  /// Connects to `host` (a numeric IPv4 or IPv6 address) and `port`.
  bool connect(std::uint16_t port, const std::string& host = "127.0.0.1");
  int fd() const { return fd_.get(); }

  /// Sends every byte; false when the connection fails.
  bool send_raw(std::string_view bytes);
  /// One response (head, then Content-Length bytes); nullopt on a time-out, a malformed head,
  /// or the end of the stream first.
  std::optional<HttpResponse> read_response(std::chrono::milliseconds timeout = DEFAULT_WAIT);
  /// Sends `method path` with the `extra_headers` ("Name: value"), Host 127.0.0.1:PORT unless
  /// they name one, and the body (any text) as JSON when given; false when the send fails.
  bool send_request(const std::string& method, const std::string& path,
                    const std::optional<std::string>& body,
                    const std::vector<std::string>& extra_headers);
  std::optional<HttpResponse> request(const std::string& method, const std::string& path,
                                      const std::optional<Json>& body = std::nullopt,
                                      const std::vector<std::string>& extra_headers = {},
                                      std::chrono::milliseconds timeout = DEFAULT_WAIT) {
    std::optional<std::string> text = body ? std::optional(dump_json(*body)) : std::nullopt;
    return send_request(method, path, text, extra_headers) ? read_response(timeout) : std::nullopt;
  }
  PeerEnd wait_for_close(std::chrono::milliseconds timeout = DEFAULT_WAIT);

  /// Bytes that arrived but were not consumed by a read yet.
  const std::string& pending() const { return buffer_; }
  /// Reads until `size` bytes, or `marker`, are pending; false on end, error or time-out.
  bool fill_to(std::size_t size, std::chrono::steady_clock::time_point deadline) {
    return fill([&] { return buffer_.size() >= size; }, deadline);
  }
  bool fill_until(std::string_view marker, std::chrono::steady_clock::time_point deadline) {
    return fill([&] { return buffer_.find(marker) != std::string::npos; }, deadline);
  }
  std::string take(std::size_t size) {
    std::string out = buffer_.substr(0, size);
    buffer_.erase(0, size);
    return out;
  }

 private:
  bool fill(const std::function<bool()>& enough, std::chrono::steady_clock::time_point deadline);

  UniqueFd fd_;
  std::uint16_t port_ = 0;
  std::string buffer_;
};

/// One request on a fresh connection.
inline std::optional<HttpResponse> http_request(std::uint16_t port, const std::string& method,
                                                const std::string& path,
                                                const std::optional<Json>& body = std::nullopt,
                                                std::chrono::milliseconds timeout = DEFAULT_WAIT) {
  HttpConnection connection;
  if (!connection.connect(port)) return std::nullopt;
  return connection.request(method, path, body, {"Connection: close"}, timeout);
}

/// One frame of an event stream: a "data: " event (parsed) or a ": keepalive" comment.
struct SseFrame {
  Json data;        // null for a keep-alive
  std::string raw;  // without the closing blank line
};

class SseStream {
 public:
  /// GET /npc/ID/events[?since=N]; false unless a 200 event stream answers.
  bool open(std::uint16_t port, const std::string& npc_id,
            std::optional<std::uint64_t> since = std::nullopt);
  /// GET of exactly `target` on `host`; false when no response head arrives (see head()).
  bool open_target(std::uint16_t port, const std::string& target,
                   const std::string& host = "127.0.0.1");
  const std::string& head() const { return head_; }

  /// The next frame; nullopt when none comes in time or the stream ended.
  std::optional<SseFrame> next_frame(std::chrono::milliseconds timeout = DEFAULT_WAIT);
  /// Reads events, skipping keep-alives, until one satisfies `match` and returns it.
  std::optional<Json> wait_for(const std::function<bool(const Json&)>& match,
                               std::chrono::milliseconds timeout = DEFAULT_WAIT);
  std::optional<Json> next_event(std::chrono::milliseconds timeout = DEFAULT_WAIT) {
    return wait_for([](const Json&) { return true; }, timeout);
  }
  std::optional<Json> wait_for_type(const std::string& type,
                                    std::chrono::milliseconds timeout = DEFAULT_WAIT) {
    return wait_for([&](const Json& e) { return as_text(e, "type") == type; }, timeout);
  }

  const std::vector<Json>& seen() const { return seen_; }
  HttpConnection& connection() { return connection_; }

 private:
  HttpConnection connection_;
  std::string head_;
  std::vector<Json> seen_;
};

}  // namespace harness
