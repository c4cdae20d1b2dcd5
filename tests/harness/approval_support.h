// Helpers for end-to-end tests of tool approvals: hook requests posted on their own connections
// the way the hook client posts them, waiting for an event with given members, an NPC's row.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "harness/bridge_process.h"
#include "harness/http_client.h"
#include "util/json.h"

namespace harness {

/// The decision object a hook prints and the bridge answers a hook request with.
Json decision(const std::string& word, const std::string& reason);

/// One POST /hook/permission on a connection of its own. The bridge holds such a request
/// until the player answers, so sending and reading the answer are separate steps.
class HookRequest {
 public:
  /// Sends `body` (any text, JSON or not) with the head the hook client writes. False when
  /// the connection or the send fails.
  bool send_text(std::uint16_t port, const std::string& body);
  bool send(std::uint16_t port, const Json& body) { return send_text(port, dump_json(body)); }

  /// The bridge's answer, or nullopt when none came within `timeout`.
  std::optional<HttpResponse> answer(std::chrono::milliseconds timeout = DEFAULT_WAIT);

 private:
  HttpConnection connection_;
};

/// True when `event` is of `type` and its members include every member of `fields`.
bool is_event(const Json& event, const std::string& type, const Json& fields = Json::object());

/// Position in `events` of the first event that is_event(type, fields), or the number of events.
std::size_t position(const std::vector<Json>& events, const std::string& type,
                     const Json& fields = Json::object());

/// The event of `type` with `fields`, whether already read or still to come: for events whose
/// order against others is not fixed.
std::optional<Json> find_event(SseStream& events, const std::string& type, const Json& fields);

/// The first event of `type` (read from `events` on) whose members include every member of
/// `fields`; nullopt past the time-out.
std::optional<Json> wait_for_event(SseStream& events, const std::string& type,
                                   const Json& fields = Json::object(),
                                   std::chrono::milliseconds timeout = DEFAULT_WAIT);

/// The NPC's row of GET /npcs (with "state", "session_id", "seq"), or null when it is missing.
Json npc_row(std::uint16_t port, const std::string& npc_id);

/// POST /npc/ID/ACTION with `body`; the response, or nullopt when none came.
std::optional<HttpResponse> npc_post(std::uint16_t port, const std::string& npc_id,
                                     const std::string& action, const Json& body = Json::object());

/// True when the machine can listen on the IPv6 loopback address.
bool ipv6_loopback_available();

}  // namespace harness
