#include "http/commands.h"

#include <chrono>

#include "agent/control.h"
#include "agent/npc.h"
#include "agent/permissions.h"
#include "config/config.h"
#include "config/policy.h"
#include "http/respond.h"
#include "http/router.h"
#include "store/state_file.h"
#include "store/transcripts.h"
#include "util/log.h"
#include "util/paths.h"
#include "util/text.h"

namespace {

// The agent announces a tool use ("tool_start") before it runs the hook for it, but its output
// reader may still be behind, busy with the files of a new turn. Waits, briefly, until that
// announcement is in the log, so the game learns of the tool use before it is asked about it.
void wait_for_announcement(Npc& npc, const std::string& tool_use_id) {
  if (tool_use_id.empty()) return;
  const std::string id = "\"id\":" + dump_json(tool_use_id);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  std::uint64_t seen = 0;
  std::vector<StoredEvent> events = events_after(npc.events, 0);
  for (;;) {
    for (const StoredEvent& e : events) {
      const std::string& text = *e.json;
      if (text.find("\"type\":\"tool_start\"") != std::string::npos && text.find(id) != std::string::npos) {
        return;
      }
      seen = e.seq;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    events = wait_events_after(npc.events, seen, left);
  }
}

bool hook_permission(const Json& body, int fd) {
  NpcHandle npc = get_or_create_npc(as_text(body, "npc"));
  wait_for_announcement(*npc, as_text(body, "tool_use_id"));
  std::string tool = field(body, "tool_name") ? as_text(body, "tool_name") : "tool";
  Json input = is_truthy(body, "tool_input") ? *field(body, "tool_input") : Json::object();
  PermissionDecision decision = request_permission(*npc, tool, input);
  return respond(fd, 200, hook_decision(decision.word, decision.reason));
}

bool change_policy(const Json& body, int fd) {
  std::string p = trim(as_text(body, "policy"));
  if (!is_policy(p)) return respond(fd, 400, {{"ok", false}, {"error", "unknown policy '" + p + "'"}});
  set_policy(p);
  bridge_log("policy    : " + p + " (set from the game)");
  // Running agents keep the mode they were launched with: stop them, sessions kept, so the
  // next thing the player says relaunches them under the new policy.
  for (const NpcHandle& npc : snapshot_npcs()) {
    bool running;
    {
      std::lock_guard<std::mutex> guard(npc->lock);
      running = npc->state.agent.has_value();
    }
    if (running) stop_agent(*npc, true);
  }
  for (const NpcHandle& npc : snapshot_npcs()) push_event(*npc, "policy", {{"policy", p}});
  return respond(fd, 200, {{"ok", true}, {"policy", p}});
}

bool say_command(const NpcHandle& npc, const Json& body, int fd) {
  std::string text = trim(as_text(body, "text"));
  if (text.empty()) return respond(fd, 400, {{"error", "missing text"}});
  bool ok = say(npc, text);
  return respond(fd, ok ? 200 : 503, {{"ok", ok}, {"state", npc_state(*npc)}, {"seq", last_seq(*npc)}});
}

bool new_session_command(Npc& npc, int fd) {
  Json previous = session_info(npc);
  new_session(npc);
  return respond(fd, 200, {{"ok", true}, {"previous", std::move(previous)}});
}

bool resume_command(Npc& npc, const Json& body, int fd) {
  std::optional<std::string> error = resume_session(npc, as_text(body, "session_id"), snapshot_npcs());
  if (error) return respond(fd, 409, {{"ok", false}, {"error", *error}});
  return respond(fd, 200, {{"ok", true}, {"error", ""}});
}

bool permission_command(Npc& npc, const Json& body, int fd) {
  bool found = answer_permission(npc, as_text(body, "request_id"), is_truthy(body, "allow"),
                                 as_text(body, "reason"));
  return respond(fd, found ? 200 : 409, {{"ok", found}});
}

bool present(const Json& body, std::string_view key) {
  const Json* value = field(body, key);
  return value != nullptr && !value->is_null();
}

// The workspace and bind commands: the folder, then the settings that take effect at the
// next launch.
bool settings_command(Npc& npc, const Json& body, int fd) {
  if (present(body, "workspace")) {
    std::string given = as_text(body, "workspace");
    std::string candidate;
    std::string source;
    if (trim(given).empty()) {
      candidate = config().workspace;
      source = "default";
    } else {
      candidate = to_valid_utf8(absolute_path(expand_home(given)));
      source = "explicit";
    }
    if (!is_directory(candidate)) return respond(fd, 400, {{"error", "no such directory: " + given}});
    if (candidate != npc_workspace(npc)) {
      stop_agent(npc, false);
      std::lock_guard<std::mutex> guard(npc.lock);
      npc.state.workspace = candidate;
    }
    {
      std::lock_guard<std::mutex> guard(npc.lock);
      npc.state.workspace_source = source;
    }
    remember_npc(npc);
    announce_workspace(npc);
  }
  {
    std::lock_guard<std::mutex> guard(npc.lock);
    NpcState& s = npc.state;
    if (is_truthy(body, "persona")) s.persona = as_text(body, "persona");
    if (present(body, "ask_tools")) s.ask_tools = as_text(body, "ask_tools");
    if (present(body, "model")) {
      std::string model = as_text(body, "model");
      if (model != s.model) {
        s.model = model;
        s.resolved_model.clear();
      }
    }
  }
  remember_npc(npc);
  announce_model(npc);
  announce_workspace(npc);
  std::lock_guard<std::mutex> guard(npc.lock);
  const NpcState& s = npc.state;
  Json reply = {{"ok", true}, {"workspace", s.workspace}, {"model", s.model}, {"is_default", s.workspace_source == "default"}};
  return respond(fd, 200, reply);
}

}  // namespace

bool route_command(const HttpRequest& request, int fd) {
  const Json& body = request.body;
  if (request.path == "/hook/permission") return hook_permission(body, fd);
  if (request.path == "/policy") return change_policy(body, fd);
  auto npc_path = parse_npc_path(request.path);
  if (!npc_path) return respond_not_found(fd);
  NpcHandle npc = get_or_create_npc(npc_path->first);
  const std::string& action = npc_path->second;
  if (action == "say") return say_command(npc, body, fd);
  if (action == "interrupt") {
    interrupt(npc);
    return respond(fd, 200, {{"ok", true}});
  }
  if (action == "sleep") {
    stop_agent(*npc, true);
    return respond(fd, 200, {{"ok", true}});
  }
  if (action == "new_session") return new_session_command(*npc, fd);
  if (action == "session") return resume_command(*npc, body, fd);
  if (action == "model") return respond(fd, 200, request_model(npc, as_text(body, "model")));
  if (action == "permission") return permission_command(*npc, body, fd);
  if (action == "workspace" || action == "bind") return settings_command(*npc, body, fd);
  return respond_not_found(fd);
}
