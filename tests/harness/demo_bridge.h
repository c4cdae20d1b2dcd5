// A bridge whose NPCs are played by the demo agent in scripted mode, for end-to-end tests of
// launching, talking to and stopping agents. Every launch of the demo agent appends one JSON
// line (its arguments, working folder, descriptors, pid, settings) to a launch log, which the
// tests read to see exactly how the bridge started each agent.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "harness/bridge_process.h"
#include "harness/http_client.h"
#include "util/json.h"

namespace harness {

/// One bridge running the scripted demo agent, with a scratch folder (outside the bridge's own
/// root) for the launch log, files that hold a turn (@wait-file) and extra workspaces.
class DemoBridge {
 public:
  /// `args` and `env` are added to the bridge's command line and environment (removing
  /// QUILLHAVEN_DEMO_SCRIPTED gives the demo agent in character); `port` as in BridgeOptions.
  explicit DemoBridge(std::vector<std::string> args = {}, EnvChanges env = {},
                      std::optional<std::uint16_t> port = std::nullopt);

  bool start() { return bridge_.start(); }
  BridgeProcess& bridge() { return bridge_; }
  std::uint16_t port() const { return bridge_.port(); }
  const std::string& scratch() const { return scratch_.path(); }

  /// POST `path` with a JSON body on a fresh connection.
  std::optional<HttpResponse> post(const std::string& path, const Json& body = Json::object(),
                                   std::chrono::milliseconds timeout = DEFAULT_WAIT);
  /// POST /npc/ID/say {"text": text}.
  std::optional<HttpResponse> say(const std::string& npc, const std::string& text);

  /// Every launch logged so far, oldest first.
  std::vector<Json> launches() const;
  /// Waits until at least `count` launches were logged; the launches, or fewer on a time-out.
  std::vector<Json> wait_for_launches(std::size_t count,
                                      std::chrono::milliseconds timeout = DEFAULT_WAIT) const;

  /// A path in the scratch folder that does not exist yet: "@wait-file " + it holds a turn
  /// until release() creates it.
  std::string hold_path(const std::string& name) const { return scratch() + "/" + name; }
  void release(const std::string& name) const;

 private:
  TempRoot scratch_;
  BridgeProcess bridge_;
};

/// The nine arguments every launch starts with, ending with the permission mode.
std::vector<std::string> base_agent_args(const std::string& mode);

/// The launch record's "args" as texts.
std::vector<std::string> launch_args(const Json& launch);

/// The value after `flag` in the launch record's "args"; nullopt when the flag is absent.
std::optional<std::string> launch_flag(const Json& launch, const std::string& flag);

/// The session id of the last "session" event among `events`; "" when there is none.
std::string session_of(const std::vector<Json>& events);

/// Waits until `path` exists; true when it does within `timeout`.
bool wait_for_file(const std::string& path, std::chrono::milliseconds timeout = DEFAULT_WAIT);

/// The launch record's "pid".
pid_t launch_pid(const Json& launch);

/// True when a process with this pid exists and has not ended (a zombie has ended).
bool process_alive(pid_t pid);

/// Waits until the process has ended; true when it has within `timeout`.
bool wait_until_gone(pid_t pid, std::chrono::milliseconds timeout = DEFAULT_WAIT);

/// Children of `parent` that ended and were never collected (state Z).
std::vector<pid_t> zombie_children(pid_t parent);

/// Waits until the process ignores SIGTERM (as the demo agent's @hang does first).
bool wait_for_sigterm_ignored(pid_t pid, std::chrono::milliseconds timeout = DEFAULT_WAIT);

/// Opens the NPC's event stream and reads its "hello" frame, so that later reads see only
/// events from the log. False when the stream or the hello does not come.
bool open_events(SseStream& stream, std::uint16_t port, const std::string& npc,
                 std::chrono::milliseconds timeout = DEFAULT_WAIT);

/// Reads events from `stream` until one matches `done`; returns every event read by this call,
/// the matching one last, or nullopt when none matched within `timeout`.
std::optional<std::vector<Json>> read_until(SseStream& stream,
                                            const std::function<bool(const Json&)>& done,
                                            std::chrono::milliseconds timeout = DEFAULT_WAIT);
/// read_until the first event of `type`.
std::optional<std::vector<Json>> read_until_type(SseStream& stream, const std::string& type,
                                                 std::chrono::milliseconds timeout = DEFAULT_WAIT);

/// Matches a "state" event with this value.
std::function<bool(const Json&)> is_state(const std::string& value);

/// The events of `type`, in order.
std::vector<Json> of_type(const std::vector<Json>& events, const std::string& type);

/// The "type" of each event, in order.
std::vector<std::string> types_of(const std::vector<Json>& events);

}  // namespace harness
