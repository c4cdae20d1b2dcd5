#include "http/event_stream.h"

#include <charconv>
#include <limits>

#include "agent/npc.h"
#include "http/respond.h"
#include "store/transcripts.h"
#include "util/log.h"
#include "util/request_id.h"

namespace {

constexpr std::string_view STREAM_HEAD =
    "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n"
    "Connection: close\r\n\r\n";

Json hello(Npc& npc, std::uint64_t since) {
  NpcView v = npc.view();
  return {{"seq", since},
          {"type", "hello"},
          {"npc", npc.id()},
          {"resumed", since != 0},
          {"instance", instance_id()},
          {"state", activity_name(v.activity)},
          {"workspace", v.workspace},
          {"is_default", v.workspace_is_default},
          {"session", session_info(v.session_id, v.resumed)}};
}

void closed(Npc& npc) { bridge_log("npc=" + npc.id() + " stream closed"); }

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
      if (n > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return std::nullopt;
      if (negative && n != 0) return std::nullopt;
      return n;
    }
    if (amp == std::string_view::npos) return std::nullopt;
    query.remove_prefix(amp + 1);
  }
}

void serve_event_stream(Npc& npc, std::string_view query, int fd) {
  std::optional<std::uint64_t> asked = parse_since(query);
  std::uint64_t newest = last_seq(npc);
  std::uint64_t since = asked ? *asked : newest;
  // A "since" this log never reached was seen in an earlier run of the bridge, whose numbering
  // this run started again: the game gets everything the log holds instead of a silent stream.
  if (since > newest) since = 0;
  bridge_log("npc=" + npc.id() + " stream opened since=" + std::to_string(since));
  LogReader reader(npc.events, since);

  if (!write_two(fd, STREAM_HEAD, "data: " + dump_json(hello(npc, since)) + "\n\n"))
    return closed(npc);

  // Every event ready at a wake-up leaves in one gathered write of the frames the log holds:
  // nothing is copied or serialised per stream.
  std::vector<std::string_view> frames;
  for (;;) {
    std::vector<StoredEvent> events =
        reader.take(std::chrono::duration_cast<std::chrono::milliseconds>(KEEPALIVE_WAIT));
    frames.clear();
    if (events.empty()) frames.push_back(": keepalive\n\n");
    for (const StoredEvent& e : events) frames.push_back(e.frame());
    if (!write_gathered(fd, frames)) return closed(npc);
  }
}
