// A bridge whose NPCs the scripted demo agent plays, and what tests look at around one.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "harness/http_client.h"

namespace harness {

/// One bridge running the scripted demo agent, with a scratch folder outside the bridge's root
/// for files that hold a turn (@wait-file), extra workspaces and the launch log: a JSON line per
/// launch (arguments, working folder, descriptors, pid, settings), how the bridge started it.
class DemoBridge {
 public:
  /// `args` and `env` are added to the bridge's (removing QUILLHAVEN_DEMO_SCRIPTED gives the
  /// demo agent in character).
  explicit DemoBridge(std::vector<std::string> args = {}, EnvChanges env = {});

  bool start() { return bridge_.start(); }
  BridgeProcess& bridge() { return bridge_; }
  std::uint16_t port() const { return bridge_.port(); }
  const std::string& scratch() const { return scratch_.path(); }

  std::optional<HttpResponse> post(const std::string& path, const Json& body = Json::object(),
                                   std::chrono::milliseconds timeout = DEFAULT_WAIT) {
    return http_request(port(), "POST", path, body, timeout);
  }
  std::optional<HttpResponse> say(const std::string& npc, const std::string& text) {
    return post("/npc/" + npc + "/say", Json{{"text", text}});
  }

  /// Every launch logged so far, oldest first; and at least `count` of them, fewer on a time-out.
  std::vector<Json> launches() const;
  std::vector<Json> wait_for_launches(std::size_t count,
                                      std::chrono::milliseconds timeout = DEFAULT_WAIT) const {
    std::vector<Json> found;
    eventually([&] { return (found = launches()).size() >= count; }, timeout);
    return found;
  }

  /// "@wait-file " + hold_path(name) holds a turn until release(name).
  std::string hold_path(const std::string& name) const { return scratch() + "/" + name; }
  void release(const std::string& name) const { std::ofstream(hold_path(name)) << "go\n"; }

 private:
  TempRoot scratch_;
  BridgeProcess bridge_;
};

/// The nine arguments every launch starts with, ending with the permission mode, then `tail`;
/// a launch record's "args".
std::vector<std::string> base_agent_args(const std::string& mode,
                                         const std::vector<std::string>& tail = {});
inline std::vector<std::string> launch_args(const Json& launch) {
  return launch.value("args", std::vector<std::string>{});
}
inline pid_t launch_pid(const Json& launch) { return launch.value("pid", pid_t{-1}); }

inline bool wait_for_file(const std::string& path,
                          std::chrono::milliseconds timeout = DEFAULT_WAIT) {
  return eventually([&] { return ::access(path.c_str(), F_OK) == 0; }, timeout);
}
/// True when the process exists and has not ended (a zombie has ended).
bool process_alive(pid_t pid);
inline bool wait_until_gone(pid_t pid, std::chrono::milliseconds timeout = DEFAULT_WAIT) {
  return eventually([&] { return !process_alive(pid); }, timeout);
}
/// Every process there is now: its id, its parent's, and its state letter ('Z' for a zombie).
struct ProcessEntry {
  pid_t pid, parent;
  char state;
};
std::vector<ProcessEntry> process_table();
/// Children of `parent` that ended and were never collected.
std::vector<pid_t> zombie_children(pid_t parent);
/// Waits until the process ignores SIGTERM (as the demo agent's @hang does first).
bool wait_for_sigterm_ignored(pid_t pid, std::chrono::milliseconds timeout = DEFAULT_WAIT);

/// Opens the NPC's event stream and reads its "hello", so that later reads see the log only.
bool open_events(SseStream& stream, std::uint16_t port, const std::string& npc);
/// Reads until an event matches `done`: every event read by this call, the match last.
std::optional<std::vector<Json>> read_until(SseStream& stream,
                                            const std::function<bool(const Json&)>& done,
                                            std::chrono::milliseconds timeout = DEFAULT_WAIT);
inline std::optional<std::vector<Json>> read_until_type(
    SseStream& stream, const std::string& type, std::chrono::milliseconds timeout = DEFAULT_WAIT) {
  return read_until(
      stream, [&](const Json& e) { return as_text(e, "type") == type; }, timeout);
}

/// True when `event` is of `type` and its members include every member of `fields`.
inline bool is_event(const Json& event, const std::string& type,
                     const Json& fields = Json::object()) {
  if (as_text(event, "type") != type) return false;
  for (const auto& [key, value] : fields.items())
    if (!event.contains(key) || event.at(key) != value) return false;
  return true;
}
inline std::function<bool(const Json&)> is_state(const std::string& value) {
  return [value](const Json& e) { return is_event(e, "state", {{"value", value}}); };
}
inline std::vector<Json> of_type(const std::vector<Json>& events, const std::string& type) {
  std::vector<Json> out;
  std::copy_if(events.begin(), events.end(), std::back_inserter(out),
               [&](const Json& e) { return as_text(e, "type") == type; });
  return out;
}
inline std::vector<std::string> types_of(const std::vector<Json>& events) {
  std::vector<std::string> out;
  for (const Json& e : events) out.push_back(as_text(e, "type"));
  return out;
}
/// The texts of the "delta" events among `events`, joined: the reply as the game streamed it.
inline std::string joined_deltas(const std::vector<Json>& events) {
  std::string text;
  for (const Json& e : of_type(events, "delta")) text += as_text(e, "text");
  return text;
}
/// The session id of the last "session" event among `events`; "" when there is none.
inline std::string session_of(const std::vector<Json>& events) {
  std::vector<Json> sessions = of_type(events, "session");
  return sessions.empty() ? "" : as_text(sessions.back(), "session_id");
}

/// Position in `events` of the first event that is_event(type, fields), or the number of events.
inline std::size_t position(const std::vector<Json>& events, const std::string& type,
                            const Json& fields = Json::object()) {
  auto match = [&](const Json& e) { return is_event(e, type, fields); };
  return std::find_if(events.begin(), events.end(), match) - events.begin();
}
/// The first event of `type` (read from `events` on) with `fields`; nullopt past the time-out.
inline std::optional<Json> wait_for_event(SseStream& events, const std::string& type,
                                          const Json& fields = Json::object(),
                                          std::chrono::milliseconds timeout = DEFAULT_WAIT) {
  return events.wait_for([&](const Json& e) { return is_event(e, type, fields); }, timeout);
}
/// The event of `type` with `fields`, whether already read or still to come: for events whose
/// order against others is not fixed.
inline std::optional<Json> find_event(SseStream& events, const std::string& type,
                                      const Json& fields) {
  std::size_t at = position(events.seen(), type, fields);
  if (at < events.seen().size()) return events.seen()[at];
  return wait_for_event(events, type, fields);
}

/// The decision object a hook prints and the bridge answers a hook request with.
inline Json decision(const std::string& word, const std::string& reason) {
  return {{"hookSpecificOutput",
           {{"hookEventName", "PreToolUse"},
            {"permissionDecision", word},
            {"permissionDecisionReason", reason}}}};
}

/// One POST /hook/permission (any body text, JSON or not) on a connection of its own. The
/// bridge holds it until the player answers: its read_response() is that answer.
struct HookRequest : HttpConnection {
  bool send_text(std::uint16_t port, const std::string& body) {
    return connect(port) && send_request("POST", "/hook/permission", body, {"Connection: close"});
  }
  bool send(std::uint16_t port, const Json& body) { return send_text(port, dump_json(body)); }
};

/// The NPC's row of GET /npcs, or null when it is missing.
Json npc_row(std::uint16_t port, const std::string& npc_id);

inline std::optional<HttpResponse> npc_post(std::uint16_t port, const std::string& npc_id,
                                            const std::string& action,
                                            const Json& body = Json::object()) {
  return http_request(port, "POST", "/npc/" + npc_id + "/" + action, body);
}

bool ipv6_loopback_available();

}  // namespace harness
