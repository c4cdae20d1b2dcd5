#include "http/commands.h"

#include <chrono>

#include "agent/control.h"
#include "agent/permissions.h"
#include "agent/registry.h"
#include "config/config.h"
#include "config/policy.h"
#include "http/respond.h"
#include "store/transcripts.h"
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
      std::string_view text = e.json();
      if (text.find("\"type\":\"tool_start\"") != text.npos && text.find(id) != text.npos) {
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

}  // namespace

bool hook_command(const Json& body, int fd) {
  NpcHandle npc = get_or_create_npc(as_text(body, "npc"));
  wait_for_announcement(*npc, as_text(body, "tool_use_id"));
  std::string tool = field(body, "tool_name") ? as_text(body, "tool_name") : "tool";
  Json input = is_truthy(body, "tool_input") ? *field(body, "tool_input") : Json::object();
  PermissionDecision decision = request_permission(*npc, tool, input);
  return respond(fd, 200, hook_decision(decision.word, decision.reason));
}

bool policy_command(const Json& body, int fd) {
  std::string p = trim(as_text(body, "policy"));
  if (!is_policy(p))
    return respond(fd, 400, {{"ok", false}, {"error", "unknown policy '" + p + "'"}});
  change_policy(p);
  return respond(fd, 200, {{"ok", true}, {"policy", p}});
}

namespace {

bool say_command(Npc& npc, const Json& body, int fd) {
  std::string text = trim(as_text(body, "text"));
  if (text.empty()) return respond(fd, 400, {{"error", "missing text"}});
  bool ok = say(npc, text);
  return respond(
      fd, ok ? 200 : 503,
      {{"ok", ok}, {"state", activity_name(npc.view().activity)}, {"seq", last_seq(npc)}});
}

bool new_session_command(Npc& npc, int fd) {
  NpcView before = npc.view();
  Json previous = session_info(before.session_id, before.resumed);
  new_session(npc);
  return respond(fd, 200, {{"ok", true}, {"previous", std::move(previous)}});
}

bool resume_command(Npc& npc, const Json& body, int fd) {
  std::optional<std::string> error = resume_session(npc, as_text(body, "session_id"));
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
  SettingsChange change;
  if (present(body, "workspace")) {
    std::string given = as_text(body, "workspace");
    bool is_default = trim(given).empty();
    std::string candidate =
        is_default ? config().workspace : to_valid_utf8(absolute_path(expand_home(given)));
    if (!is_directory(candidate))
      return respond(fd, 400, {{"error", "no such directory: " + given}});
    change.workspace = candidate;
    change.workspace_is_default = is_default;
  }
  if (is_truthy(body, "persona")) change.persona = as_text(body, "persona");
  if (present(body, "ask_tools")) change.ask_tools = as_text(body, "ask_tools");
  if (present(body, "model")) change.model = as_text(body, "model");
  NpcView v = change_settings(npc, change);
  return respond(fd, 200,
                 {{"ok", true},
                  {"workspace", v.workspace},
                  {"model", v.model},
                  {"is_default", v.workspace_is_default}});
}

}  // namespace

bool npc_command(const NpcHandle& handle, const std::string& action, const Json& body, int fd) {
  Npc& npc = *handle;
  if (action == "say") return say_command(npc, body, fd);
  if (action == "interrupt") {
    interrupt(npc);
    return respond(fd, 200, {{"ok", true}});
  }
  if (action == "sleep") {
    put_to_sleep(npc);
    return respond(fd, 200, {{"ok", true}});
  }
  if (action == "new_session") return new_session_command(npc, fd);
  if (action == "session") return resume_command(npc, body, fd);
  if (action == "model") return respond(fd, 200, request_model(npc, as_text(body, "model")));
  if (action == "permission") return permission_command(npc, body, fd);
  if (action == "workspace" || action == "bind") return settings_command(npc, body, fd);
  return respond_not_found(fd);
}
