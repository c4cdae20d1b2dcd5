// Writing to a connection.
#pragma once

#include <sys/types.h>

#include <string_view>

#include "util/json.h"

/// Writes every byte, retrying interrupted and partial sends; false on any error (a send that
/// accepts nothing included).
bool write_all(int fd, std::string_view data);

/// Sends what the connection takes at once without waiting for it: the number of bytes sent,
/// possibly fewer than given or 0, or -1 on an error. Descriptors that are not sockets (pipes in
/// tests) are written to in full, blocking.
ssize_t send_now(int fd, std::string_view data);

/// Writes `head` then `body` in one gathered write where possible; false on any error.
bool write_two(int fd, std::string_view head, std::string_view body);

/// One complete JSON response: status line, Content-Type and Content-Length, compact body.
/// True when all of it was written.
bool respond(int fd, int status, const Json& body);

/// 404 {"error":"not found"}.
bool respond_not_found(int fd);
