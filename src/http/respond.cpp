#include "http/respond.h"

#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <string>
#include <vector>

namespace {

#if defined(MSG_NOSIGNAL)
constexpr int SEND_FLAGS = MSG_NOSIGNAL;
#else
constexpr int SEND_FLAGS = 0;  // SIGPIPE is ignored process-wide, so plain sends are safe too
#endif

// One send of the gathered buffers; falls back to writev for descriptors that are not sockets
// (pipes in tests). Returns what sendmsg/writev returned, errno set on failure.
ssize_t send_some(int fd, iovec* iov, int count) {
  msghdr message{};
  message.msg_iov = iov;
  message.msg_iovlen = static_cast<decltype(message.msg_iovlen)>(count);
  ssize_t n = ::sendmsg(fd, &message, SEND_FLAGS);
  if (n < 0 && errno == ENOTSOCK) n = ::writev(fd, iov, count);
  return n;
}

// Writes every byte of the buffers, retrying interrupted and partial writes.
bool send_all(int fd, iovec* iov, int count) {
  while (count > 0) {
    if (iov[0].iov_len == 0) {
      ++iov;
      --count;
      continue;
    }
    ssize_t n = send_some(fd, iov, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    auto sent = static_cast<std::size_t>(n);
    while (count > 0 && sent >= iov[0].iov_len) {
      sent -= iov[0].iov_len;
      ++iov;
      --count;
    }
    if (count > 0) {
      iov[0].iov_base = static_cast<char*>(iov[0].iov_base) + sent;
      iov[0].iov_len -= sent;
    }
  }
  return true;
}

const char* reason_phrase(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 409:
      return "Conflict";
    case 503:
      return "Service Unavailable";
    default:
      return "";
  }
}

}  // namespace

bool write_all(int fd, std::string_view data) {
  iovec iov{const_cast<char*>(data.data()), data.size()};
  return send_all(fd, &iov, 1);
}

bool write_two(int fd, std::string_view head, std::string_view body) {
  iovec iov[2] = {{const_cast<char*>(head.data()), head.size()},
                  {const_cast<char*>(body.data()), body.size()}};
  return send_all(fd, iov, 2);
}

bool write_gathered(int fd, std::span<const std::string_view> pieces) {
  std::vector<iovec> iov;
  iov.reserve(std::min<std::size_t>(pieces.size(), IOV_MAX));
  while (!pieces.empty()) {
    std::span<const std::string_view> part =
        pieces.first(std::min<std::size_t>(pieces.size(), IOV_MAX));
    iov.clear();
    for (std::string_view piece : part) {
      iov.push_back({const_cast<char*>(piece.data()), piece.size()});
    }
    if (!send_all(fd, iov.data(), static_cast<int>(iov.size()))) return false;
    pieces = pieces.subspan(part.size());
  }
  return true;
}

bool respond(int fd, int status, const Json& body) {
  std::string text = dump_json(body);
  std::string head =
      "HTTP/1.1 " + std::to_string(status) + " " + reason_phrase(status) +
      "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(text.size()) +
      "\r\n\r\n";
  return write_two(fd, head, text);
}

bool respond_not_found(int fd) { return respond(fd, 404, Json{{"error", "not found"}}); }
