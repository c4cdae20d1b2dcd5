#include "http/connection.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "http/loopback_guard.h"
#include "http/respond.h"
#include "http/router.h"
#include "util/text.h"
#include "util/unique_fd.h"

namespace {

std::atomic<std::size_t> open_connections{0};

// "content-length" as a decimal unsigned 64-bit number with an optional leading "+"; anything
// else (empty, other characters, overflow) counts as 0.
std::uint64_t parse_content_length(std::string_view value) {
  if (!value.empty() && value.front() == '+') value.remove_prefix(1);
  if (value.empty()) return 0;
  std::uint64_t n = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return 0;
    auto digit = static_cast<std::uint64_t>(c - '0');
    if (n > (UINT64_MAX - digit) / 10) return 0;
    n = n * 10 + digit;
  }
  return n;
}

// One line of the request line or header block: bounded, and valid UTF-8.
std::optional<std::string> read_text_line(LineReader& reader) {
  std::string_view line;
  if (reader.next(line) != LineReader::Got::Line || !is_valid_utf8(line)) return std::nullopt;
  return std::string(line);
}

// The body as JSON; an empty object when absent or not a valid document. The buffer is
// allocated without being touched, so memory grows only with the bytes that really arrive.
std::optional<Json> read_body(LineReader& reader, std::uint64_t length) {
  if (length == 0) return Json::object();
  auto size = static_cast<std::size_t>(length);
  std::unique_ptr<char[]> bytes(new (std::nothrow) char[size]);
  if (!bytes || !reader.read_exact(bytes.get(), size)) return std::nullopt;
  std::optional<Json> parsed = parse_json(std::string_view(bytes.get(), size));
  if (!parsed) return Json::object();
  return std::move(*parsed);
}

void set_receive_timeout(int fd) {
  timeval tv{};
  tv.tv_sec = static_cast<decltype(tv.tv_sec)>(READ_TIMEOUT.count());
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

}  // namespace

std::optional<HttpRequest> read_request(LineReader& reader) {
  std::optional<std::string> request_line = read_text_line(reader);
  if (!request_line) return std::nullopt;
  std::vector<std::string> tokens = split_whitespace(*request_line);
  if (tokens.size() < 2) return std::nullopt;
  std::string version = tokens.size() >= 3 ? tokens[2] : "HTTP/1.0";

  HttpRequest request;
  request.method = std::move(tokens[0]);
  std::string connection_token;
  std::uint64_t content_length = 0;
  for (std::size_t count = 0;; ++count) {
    std::optional<std::string> line = read_text_line(reader);
    if (!line) return std::nullopt;
    std::string header = trim(*line);
    if (header.empty()) break;
    if (count >= MAX_HEADER_LINES) return std::nullopt;
    std::size_t colon = header.find(':');
    if (colon == std::string::npos) continue;
    std::string name = ascii_lower(trim(std::string_view(header).substr(0, colon)));
    std::string value = trim(std::string_view(header).substr(colon + 1));
    if (name == "connection") {
      connection_token = ascii_lower(value);
    } else if (name == "content-length") {
      content_length = parse_content_length(value);
    } else if (name == "host") {
      request.hosts.push_back(std::move(value));
    } else if (name == "origin") {
      request.origins.push_back(std::move(value));
    }
  }
  // An announced body past the bound is refused before a byte of it is read or allocated.
  if (content_length > MAX_BODY_BYTES) return std::nullopt;

  std::optional<Json> body = read_body(reader, content_length);
  if (!body) return std::nullopt;
  request.body = std::move(*body);

  const std::string& target = tokens[1];
  std::size_t question = target.find('?');
  if (question == std::string::npos) {
    request.path = target;
  } else {
    request.path = target.substr(0, question);
    request.query = target.substr(question + 1);
  }

  if (connection_token == "close") {
    request.close_after = true;
  } else if (version == "HTTP/1.0") {
    request.close_after = connection_token != "keep-alive";
  }
  return request;
}

void serve_connection(int fd) {
  UniqueFd socket(fd);
  set_receive_timeout(fd);
  // No answer waits on Nagle's algorithm (a no-op on sockets that are not TCP).
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  UniqueFd writer(fcntl(fd, F_DUPFD_CLOEXEC, 0));
  if (!writer.valid()) return;

  LineReader reader(socket.get(), MAX_LINE_BYTES - 1, READ_BUFFER_SIZE);
  for (;;) {
    std::optional<HttpRequest> request = read_request(reader);
    if (!request) return;
    bool keep_open;
    if (request_allowed(*request)) {
      keep_open = route(*request, writer.get());
    } else {
      keep_open = respond(writer.get(), 403, Json{{"error", "forbidden"}});
    }
    if (!keep_open || request->close_after) return;
  }
}

bool try_begin_connection() {
  std::size_t current = open_connections.load();
  do {
    if (current >= MAX_CONNECTIONS) return false;
  } while (!open_connections.compare_exchange_weak(current, current + 1));
  return true;
}

void end_connection() { open_connections.fetch_sub(1); }
