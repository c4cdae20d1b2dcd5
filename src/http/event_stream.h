#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

class Npc;

inline constexpr std::chrono::seconds KEEPALIVE_WAIT{10};

/// The "since" of a stream's query: a decimal signed 64-bit value that is not negative, or
/// nullopt (then the stream starts from the newest event).
std::optional<std::uint64_t> parse_since(std::string_view query);

/// Writes the whole event stream of `npc` on `fd` and returns when the client is gone.
void serve_event_stream(Npc& npc, std::string_view query, int fd);
