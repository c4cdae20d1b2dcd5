#include "harness/http_client.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <sstream>

#include "util/platform.h"
#include "util/text.h"

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0
#endif

namespace harness {

namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds left(Clock::time_point deadline) {
  return std::max(0ms,
                  std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
}

// Parses "HTTP/1.1 200 OK\r\nName: value\r\n..." (without the blank line).
std::optional<HttpResponse> parse_head(const std::string& head) {
  std::istringstream lines(head);
  std::string line, version;
  HttpResponse response;
  std::istringstream first(std::getline(lines, line) ? line : "");
  if (!(first >> version >> response.status) || !version.starts_with("HTTP/")) return std::nullopt;
  std::getline(first, response.reason);
  response.reason = trim(response.reason);
  while (std::getline(lines, line)) {
    std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    response.headers[ascii_lower(trim(line.substr(0, colon)))] = trim(line.substr(colon + 1));
  }
  return response;
}

}  // namespace

bool HttpConnection::connect(std::uint16_t port, const std::string& host) {
  port_ = port;
  buffer_.clear();
  fd_.reset();
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return false;
  fd_.reset(socket_cloexec(found->ai_family, SOCK_STREAM, 0));
  if (fd_.valid() && ::connect(fd_.get(), found->ai_addr, found->ai_addrlen) != 0) fd_.reset();
  ::freeaddrinfo(found);
  int on = 1;
  return fd_.valid() && setsockopt(fd_.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

bool HttpConnection::send_raw(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool HttpConnection::fill(const std::function<bool()>& enough, Clock::time_point deadline) {
  while (!enough()) {
    pollfd waiting{fd_.get(), POLLIN, 0};
    int ready = ::poll(&waiting, 1, static_cast<int>(left(deadline).count()));
    if (ready == 0) return false;
    char chunk[16384];
    ssize_t n = ready < 0 ? -1 : ::recv(fd_.get(), chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;  // a reset or an error counts as the end
    buffer_.append(chunk, static_cast<std::size_t>(n));
  }
  return true;
}

std::optional<HttpResponse> HttpConnection::read_response(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  if (!fill_until("\r\n\r\n", deadline)) return std::nullopt;
  std::optional<HttpResponse> response = parse_head(take(buffer_.find("\r\n\r\n") + 4));
  if (!response) return std::nullopt;
  auto given = response->headers.find("content-length");
  std::size_t length = given == response->headers.end() ? 0 : std::stoul(given->second);
  if (!fill_to(length, deadline)) return std::nullopt;
  response->body = take(length);
  return response;
}

bool HttpConnection::send_request(const std::string& method, const std::string& path,
                                  const std::optional<std::string>& body,
                                  const std::vector<std::string>& extra_headers) {
  std::string text = method + " " + path + " HTTP/1.1\r\n";
  for (const std::string& header : extra_headers) text += header + "\r\n";
  if (ascii_lower(text).find("\nhost:") == std::string::npos)
    text += "Host: 127.0.0.1:" + std::to_string(port_) + "\r\n";
  if (body) {
    text += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body->size()) +
            "\r\n";
  }
  return send_raw(text + "\r\n" + body.value_or(""));
}

PeerEnd HttpConnection::wait_for_close(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  if (fill_to(1, deadline)) return PeerEnd::Answered;
  return left(deadline) > 0ms ? PeerEnd::Closed : PeerEnd::Silent;
}

bool SseStream::open(std::uint16_t port, const std::string& npc_id,
                     std::optional<std::uint64_t> since) {
  std::string target = "/npc/" + npc_id + "/events";
  if (since) target += "?since=" + std::to_string(*since);
  return open_target(port, target) && head_.starts_with("HTTP/1.1 200 ") &&
         ascii_lower(head_).find("\r\ncontent-type: text/event-stream\r\n") != std::string::npos;
}

bool SseStream::open_target(std::uint16_t port, const std::string& target,
                            const std::string& host) {
  std::string named = host.find(':') == std::string::npos ? host : "[" + host + "]";
  HttpConnection& c = connection_;
  if (!c.connect(port, host) ||
      !c.send_raw("GET " + target + " HTTP/1.1\r\nHost: " + named + ":" + std::to_string(port) +
                  "\r\nAccept: text/event-stream\r\n\r\n") ||
      !c.fill_until("\r\n\r\n", Clock::now() + DEFAULT_WAIT)) {
    return false;
  }
  head_ = c.take(c.pending().find("\r\n\r\n") + 4);
  return true;
}

std::optional<SseFrame> SseStream::next_frame(std::chrono::milliseconds timeout) {
  if (!connection_.fill_until("\n\n", Clock::now() + timeout)) return std::nullopt;
  SseFrame frame;
  frame.raw = connection_.take(connection_.pending().find("\n\n") + 2);
  frame.raw.resize(frame.raw.size() - 2);
  if (frame.raw.starts_with("data: ")) {
    frame.data = parse_json(std::string_view(frame.raw).substr(6)).value_or(Json());
    seen_.push_back(frame.data);
  }
  return frame;
}

std::optional<Json> SseStream::wait_for(const std::function<bool(const Json&)>& match,
                                        std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (left(deadline) > 0ms) {
    std::optional<SseFrame> frame = next_frame(left(deadline));
    if (!frame) return std::nullopt;
    if (frame->raw != ": keepalive" && match(frame->data)) return frame->data;
  }
  return std::nullopt;
}

}  // namespace harness
