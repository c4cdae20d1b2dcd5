#include "harness/http_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "util/platform.h"
#include "util/text.h"

namespace harness {

namespace {

#if defined(MSG_NOSIGNAL)
constexpr int SEND_FLAGS = MSG_NOSIGNAL;
#else
constexpr int SEND_FLAGS = 0;
#endif

int remaining_ms(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Parses "HTTP/1.1 200 OK\r\nName: value\r\n..." (without the blank line).
std::optional<HttpResponse> parse_head(const std::string& head) {
  HttpResponse response;
  std::size_t line_end = head.find("\r\n");
  std::string status_line = head.substr(0, line_end);
  if (status_line.compare(0, 5, "HTTP/") != 0) return std::nullopt;
  std::size_t first_space = status_line.find(' ');
  if (first_space == std::string::npos) return std::nullopt;
  std::size_t second_space = status_line.find(' ', first_space + 1);
  std::string code = status_line.substr(first_space + 1, second_space - first_space - 1);
  if (code.size() != 3 || code.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  response.status = std::stoi(code);
  if (second_space != std::string::npos) response.reason = status_line.substr(second_space + 1);
  while (line_end != std::string::npos) {
    std::size_t start = line_end + 2;
    line_end = head.find("\r\n", start);
    std::string line =
        head.substr(start, line_end == std::string::npos ? std::string::npos : line_end - start);
    std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    response.headers[ascii_lower(trim(line.substr(0, colon)))] = trim(line.substr(colon + 1));
  }
  return response;
}

}  // namespace

Json HttpResponse::json() const {
  std::optional<Json> parsed = parse_json(body);
  return parsed ? *parsed : Json();
}

bool HttpConnection::connect(std::uint16_t port, const std::string& host) {
  port_ = port;
  buffer_.clear();
  bool v6 = host.find(':') != std::string::npos;
  fd_.reset(socket_cloexec(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0));
  if (!fd_.valid()) return false;
  int rc;
  if (v6) {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(port);
    if (inet_pton(AF_INET6, host.c_str(), &address.sin6_addr) != 1) return false;
    do {
      rc = ::connect(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    } while (rc != 0 && errno == EINTR);
  } else {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) return false;
    do {
      rc = ::connect(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    } while (rc != 0 && errno == EINTR);
  }
  if (rc != 0) {
    fd_.reset();
    return false;
  }
  int on = 1;
  setsockopt(fd_.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return true;
}

bool HttpConnection::send_raw(std::string_view bytes) {
  std::size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = ::send(fd_.get(), bytes.data() + off, bytes.size() - off, SEND_FLAGS);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    off += static_cast<std::size_t>(n);
  }
  return true;
}

HttpConnection::Got HttpConnection::read_some(std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    pollfd waiting{fd_.get(), POLLIN, 0};
    int ready = ::poll(&waiting, 1, remaining_ms(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return Got::Error;
    if (ready == 0) return Got::Timeout;
    char chunk[16384];
    ssize_t n = ::recv(fd_.get(), chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno == ECONNRESET ? Got::End : Got::Error;
    if (n == 0) return Got::End;
    buffer_.append(chunk, static_cast<std::size_t>(n));
    return Got::Data;
  }
}

bool HttpConnection::fill_until(std::string_view marker,
                                std::chrono::steady_clock::time_point deadline) {
  while (buffer_.find(marker) == std::string::npos) {
    if (read_some(deadline) != Got::Data) return false;
  }
  return true;
}

bool HttpConnection::fill_to(std::size_t size, std::chrono::steady_clock::time_point deadline) {
  while (buffer_.size() < size) {
    if (read_some(deadline) != Got::Data) return false;
  }
  return true;
}

std::string HttpConnection::take(std::size_t size) {
  std::string out = buffer_.substr(0, size);
  buffer_.erase(0, size);
  return out;
}

std::optional<HttpResponse> HttpConnection::read_response(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  if (!fill_until("\r\n\r\n", deadline)) return std::nullopt;
  std::size_t blank = buffer_.find("\r\n\r\n");
  std::optional<HttpResponse> response = parse_head(buffer_.substr(0, blank));
  if (!response) return std::nullopt;
  buffer_.erase(0, blank + 4);
  std::size_t length = 0;
  auto it = response->headers.find("content-length");
  if (it != response->headers.end()) length = std::stoul(it->second);
  if (!fill_to(length, deadline)) return std::nullopt;
  response->body = take(length);
  return response;
}

std::optional<HttpResponse> HttpConnection::request(const std::string& method,
                                                    const std::string& path,
                                                    const std::optional<Json>& body,
                                                    const std::vector<std::string>& extra_headers,
                                                    std::chrono::milliseconds timeout) {
  std::string text =
      method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) + "\r\n";
  for (const std::string& header : extra_headers) text += header + "\r\n";
  std::string payload = body ? dump_json(*body) : "";
  if (body) {
    text += "Content-Type: application/json\r\nContent-Length: " + std::to_string(payload.size()) +
            "\r\n";
  }
  text += "\r\n" + payload;
  if (!send_raw(text)) return std::nullopt;
  return read_response(timeout);
}

PeerEnd HttpConnection::wait_for_close(std::chrono::milliseconds timeout) {
  if (!buffer_.empty()) return PeerEnd::Answered;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  switch (read_some(deadline)) {
    case Got::Data:
      return PeerEnd::Answered;
    case Got::Timeout:
      return PeerEnd::Silent;
    case Got::End:
    case Got::Error:
      return PeerEnd::Closed;
  }
  return PeerEnd::Closed;
}

std::optional<HttpResponse> http_request(std::uint16_t port, const std::string& method,
                                         const std::string& path, const std::optional<Json>& body,
                                         std::chrono::milliseconds timeout) {
  HttpConnection connection;
  if (!connection.connect(port)) return std::nullopt;
  return connection.request(method, path, body, {"Connection: close"}, timeout);
}

bool SseStream::open(std::uint16_t port, const std::string& npc_id,
                     std::optional<std::uint64_t> since, std::chrono::milliseconds timeout) {
  std::string target = "/npc/" + npc_id + "/events";
  if (since) target += "?since=" + std::to_string(*since);
  if (!open_target(port, target, "127.0.0.1", timeout)) return false;
  std::optional<HttpResponse> parsed = parse_head(head_.substr(0, head_.size() - 4));
  if (!parsed || parsed->status != 200) return false;
  return parsed->headers["content-type"] == "text/event-stream";
}

bool SseStream::open_target(std::uint16_t port, const std::string& target,
                            const std::string& host, std::chrono::milliseconds timeout) {
  if (!connection_.connect(port, host)) return false;
  std::string named = host.find(':') == std::string::npos ? host : "[" + host + "]";
  std::string text = "GET " + target + " HTTP/1.1\r\nHost: " + named + ":" + std::to_string(port) +
                     "\r\nAccept: text/event-stream\r\n\r\n";
  if (!connection_.send_raw(text)) return false;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  if (!connection_.fill_until("\r\n\r\n", deadline)) return false;
  head_ = connection_.take(connection_.pending().find("\r\n\r\n") + 4);
  return true;
}

std::optional<SseFrame> SseStream::next_frame(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  if (!connection_.fill_until("\n\n", deadline)) return std::nullopt;
  std::string raw = connection_.take(connection_.pending().find("\n\n") + 2);
  raw.resize(raw.size() - 2);
  SseFrame frame;
  frame.raw = raw;
  if (raw.compare(0, 6, "data: ") == 0) {
    std::optional<Json> parsed = parse_json(std::string_view(raw).substr(6));
    frame.data = parsed ? *parsed : Json();
    seen_.push_back(frame.data);
  } else {
    frame.keepalive = raw == ": keepalive";
  }
  return frame;
}

std::optional<Json> SseStream::next_event(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    std::optional<SseFrame> frame = next_frame(left);
    if (!frame) return std::nullopt;
    if (!frame->keepalive) return frame->data;
  }
}

std::optional<Json> SseStream::wait_for(const std::function<bool(const Json&)>& match,
                                        std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    std::optional<Json> event = next_event(left);
    if (!event) return std::nullopt;
    if (match(*event)) return event;
  }
}

std::optional<Json> SseStream::wait_for_type(const std::string& type,
                                             std::chrono::milliseconds timeout) {
  return wait_for([&](const Json& e) { return e.is_object() && e.value("type", "") == type; },
                  timeout);
}

}  // namespace harness
