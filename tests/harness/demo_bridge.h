// A bridge whose NPCs are played by the demo agent in scripted mode. Every launch of the demo
// agent appends one JSON line (its arguments, working folder, descriptors, pid, settings) to a
// launch log, which tests read to see exactly how the bridge started each agent.
#pragma once

#include "harness/http_client.h"

namespace harness {

/// One bridge running the scripted demo agent, with a scratch folder (outside the bridge's
/// root) for the launch log, files that hold a turn (@wait-file) and extra workspaces.
class DemoBridge {
 public:
  /// `args` and `env` are added to the bridge's (removing QUILLHAVEN_DEMO_SCRIPTED gives the
  /// demo agent in character); `port` as in BridgeOptions.
  explicit DemoBridge(std::vector<std::string> args = {}, EnvChanges env = {},
                      std::optional<std::uint16_t> port = std::nullopt);

  bool start() { return bridge_.start(); }
  BridgeProcess& bridge() { return bridge_; }
  std::uint16_t port() const { return bridge_.port(); }
  const std::string& scratch() const { return scratch_.path(); }

  /// POST `path` with a JSON body on a fresh connection.
  std::optional<HttpResponse> post(const std::string& path, const Json& body = Json::object(),
                                   std::chrono::milliseconds timeout = DEFAULT_WAIT) {
    return http_request(port(), "POST", path, body, timeout);
  }
  std::optional<HttpResponse> say(const std::string& npc, const std::string& text) {
    return post("/npc/" + npc + "/say", Json{{"text", text}});
  }

  /// Every launch logged so far, oldest first.
  std::vector<Json> launches() const;
  /// Waits until at least `count` launches were logged; fewer on a time-out.
  std::vector<Json> wait_for_launches(std::size_t count,
                                      std::chrono::milliseconds timeout = DEFAULT_WAIT) const;

  /// "@wait-file " + hold_path(name) holds a turn until release(name).
  std::string hold_path(const std::string& name) const { return scratch() + "/" + name; }
  void release(const std::string& name) const;

 private:
  TempRoot scratch_;
  BridgeProcess bridge_;
};

/// The nine arguments every launch starts with, ending with the permission mode.
std::vector<std::string> base_agent_args(const std::string& mode);
/// A launch record's "args", and the value after `flag` in them.
std::vector<std::string> launch_args(const Json& launch);
std::optional<std::string> launch_flag(const Json& launch, const std::string& flag);
pid_t launch_pid(const Json& launch);

/// The session id of the last "session" event among `events`; "" when there is none.
std::string session_of(const std::vector<Json>& events);

bool wait_for_file(const std::string& path, std::chrono::milliseconds timeout = DEFAULT_WAIT);
/// True when the process exists and has not ended (a zombie has ended).
bool process_alive(pid_t pid);
inline bool wait_until_gone(pid_t pid, std::chrono::milliseconds timeout = DEFAULT_WAIT) {
  return eventually([&] { return !process_alive(pid); }, timeout);
}
/// Children of `parent` that ended and were never collected.
std::vector<pid_t> zombie_children(pid_t parent);
/// Waits until the process ignores SIGTERM (as the demo agent's @hang does first).
bool wait_for_sigterm_ignored(pid_t pid, std::chrono::milliseconds timeout = DEFAULT_WAIT);

/// Opens the NPC's event stream and reads its "hello", so that later reads see the log only.
bool open_events(SseStream& stream, std::uint16_t port, const std::string& npc,
                 std::chrono::milliseconds timeout = DEFAULT_WAIT);
/// Reads until an event matches `done`: every event read by this call, the match last.
std::optional<std::vector<Json>> read_until(SseStream& stream,
                                            const std::function<bool(const Json&)>& done,
                                            std::chrono::milliseconds timeout = DEFAULT_WAIT);
std::optional<std::vector<Json>> read_until_type(SseStream& stream, const std::string& type,
                                                 std::chrono::milliseconds timeout = DEFAULT_WAIT);

/// Matches a "state" event with this value.
std::function<bool(const Json&)> is_state(const std::string& value);
/// The events of `type`, and the type of each event, in order.
std::vector<Json> of_type(const std::vector<Json>& events, const std::string& type);
std::vector<std::string> types_of(const std::vector<Json>& events);

}  // namespace harness
