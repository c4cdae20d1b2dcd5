// One accepted connection: requests read one after another, each handed to route.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "http/http_request.h"
#include "util/fd_io.h"

/// Receive time-out of every accepted socket: a client silent this long while a line or body
/// is being read is dropped without an answer.
inline constexpr std::chrono::seconds READ_TIMEOUT{120};

/// Size of a connection's read buffer, allocated once and reused for every request on it.
inline constexpr std::size_t READ_BUFFER_SIZE = 8192;

// Bounds on what a client may send. Past any of them the connection is closed without an
// answer, before more than the bound is held in memory. Ordinary requests (bodies of a few
// kilobytes, a hook input carrying a whole file) stay far below them.
inline constexpr std::size_t MAX_LINE_BYTES = 16 * 1024;  // request line, each header line,
                                                          // its "\r\n" included
inline constexpr std::size_t MAX_HEADER_LINES = 100;
inline constexpr std::uint64_t MAX_BODY_BYTES = 64ull << 20;  // 64 MiB

/// Connections served at once. Past it the accept loop closes a new connection at once, so a
/// flood of idle clients cannot run the bridge out of threads and descriptors.
inline constexpr std::size_t MAX_CONNECTIONS = 2048;

/// Reads one whole request: request line, header block and body. nullopt when the request
/// must not be answered (the connection is then closed): end of stream, read error, invalid
/// UTF-8 in a line, a request line without a target, a short body, or a bound passed.
std::optional<HttpRequest> read_request(LineReader& reader);

/// The body of a connection thread: takes ownership of the accepted socket, serves requests on
/// it until the client goes or a request asks to close, and closes it.
void serve_connection(int fd);

/// Claims a place among the MAX_CONNECTIONS; false when all are taken. Every successful claim
/// is given back by one end_connection once that connection is done. Thread-safe.
bool try_begin_connection();
void end_connection();
