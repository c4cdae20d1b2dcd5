// Writing to a connection.
#pragma once

#include <span>
#include <string_view>

#include "util/json.h"

/// Writes every byte, retrying interrupted and partial sends; false on any error (a send that
/// accepts nothing included).
bool write_all(int fd, std::string_view data);

/// Writes `head` then `body` in one gathered write where possible; false on any error.
bool write_two(int fd, std::string_view head, std::string_view body);

/// Writes the pieces in order, gathered into as few writes as the system allows (one for up
/// to IOV_MAX pieces), without copying them together; false on any error.
bool write_gathered(int fd, std::span<const std::string_view> pieces);

/// One complete JSON response: status line, Content-Type and Content-Length, compact body.
/// True when all of it was written.
bool respond(int fd, int status, const Json& body);

/// 404 {"error":"not found"}.
bool respond_not_found(int fd);
