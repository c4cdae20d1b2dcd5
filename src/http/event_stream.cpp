#include "http/event_stream.h"

#include <charconv>
#include <limits>

#include "agent/npc.h"
#include "http/respond.h"
#include "store/transcripts.h"
#include "util/log.h"

namespace {

constexpr std::string_view STREAM_HEAD =
    "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n"
    "Connection: close\r\n\r\n";

Json hello(Npc& npc, std::uint64_t since) {
  Json info = session_info(npc);
  std::lock_guard<std::mutex> guard(npc.lock);
  return {{"seq", since},
          {"type", "hello"},
          {"npc", npc.id},
          {"resumed", since != 0},
          {"state", npc.state.state},
          {"workspace", npc.state.workspace},
          {"is_default", npc.state.workspace_source == "default"},
          {"session", std::move(info)}};
}

void closed(Npc& npc) { bridge_log("npc=" + npc.id + " stream closed"); }

// Writes one chunk, telling the follower whether the client took it at once.
bool write_chunk(int fd, std::string_view chunk, LogFollower& follower) {
  ssize_t sent = send_now(fd, chunk);
  if (sent < 0) return false;
  bool at_once = static_cast<std::size_t>(sent) == chunk.size();
  if (!at_once) {
    follower.client_holds_up();
    if (!write_all(fd, chunk.substr(static_cast<std::size_t>(sent)))) return false;
  }
  follower.write_done(at_once);
  return true;
}

}  // namespace

std::optional<std::uint64_t> parse_since(std::string_view query) {
  while (true) {
    std::size_t amp = query.find('&');
    std::string_view part = query.substr(0, amp);
    if (part.substr(0, 6) == "since=") {
      std::string_view value = part.substr(6);
      bool negative = false;
      if (!value.empty() && (value.front() == '+' || value.front() == '-')) {
        negative = value.front() == '-';
        value.remove_prefix(1);
      }
      if (value.empty()) return std::nullopt;
      for (char c : value) {
        if (c < '0' || c > '9') return std::nullopt;
      }
      std::uint64_t n = 0;
      auto [end, err] = std::from_chars(value.data(), value.data() + value.size(), n);
      if (err != std::errc() || end != value.data() + value.size()) return std::nullopt;
      if (n > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
      if (negative && n != 0) return std::nullopt;
      return n;
    }
    if (amp == std::string_view::npos) return std::nullopt;
    query.remove_prefix(amp + 1);
  }
}

void serve_event_stream(Npc& npc, std::string_view query, int fd) {
  std::optional<std::uint64_t> asked = parse_since(query);
  std::uint64_t since = asked ? *asked : last_seq(npc);
  bridge_log("npc=" + npc.id + " stream opened since=" + std::to_string(since));

  if (!write_two(fd, STREAM_HEAD, "data: " + dump_json(hello(npc, since)) + "\n\n")) return closed(npc);

  LogFollower follower(npc.events, since);
  std::vector<StoredEvent> events;
  std::string chunk;
  for (;;) {
    follower.take(events, std::chrono::duration_cast<std::chrono::milliseconds>(KEEPALIVE_WAIT));
    chunk.clear();
    if (events.empty()) {
      chunk = ": keepalive\n\n";
    } else {
      for (const StoredEvent& e : events) {
        chunk += "data: ";
        chunk += *e.json;
        chunk += "\n\n";
      }
    }
    if (!write_chunk(fd, chunk, follower)) return closed(npc);
  }
}
