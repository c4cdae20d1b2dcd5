#include "http/read_endpoints.h"

#include <utility>
#include <vector>

#include "config/config.h"
#include "config/policy.h"
#include "agent/registry.h"
#include "store/transcripts.h"
#include "util/request_id.h"

Json health_view() {
  const Config& cfg = config();
  return {{"ok", true},
          {"instance", instance_id()},
          {"workspace", cfg.workspace},
          {"permission_mode", permission_mode_for(current_policy()).mode},
          {"ask_tools", cfg.ask_tools}};
}

Json policy_view() {
  Json names = Json::array();
  for (std::string_view p : POLICIES) names.push_back(p);
  return {{"policy", current_policy()}, {"policies", std::move(names)}, {"ask_tools", config().ask_tools}};
}

Json models_view() {
  const Config& cfg = config();
  return {{"models", cfg.models}, {"default", cfg.model}};
}

Json npcs_view() {
  Json rows = Json::array();
  for (const NpcHandle& npc : snapshot_npcs()) {
    NpcView v = npc->view();
    rows.push_back({{"id", npc->id()},
                    {"state", activity_name(v.activity)},
                    {"workspace", v.workspace},
                    {"workspace_source", v.workspace_is_default ? "default" : "explicit"},
                    {"session_id", v.session_id},
                    {"seq", last_seq(*npc)},
                    {"model", v.model},
                    {"resolved_model", v.resolved_model}});
  }
  return {{"npcs", std::move(rows)}};
}

Json sessions_view(Npc& npc) {
  NpcView v = npc.view();
  Json entries = list_sessions(v.workspace);
  const std::string& current = v.session_id;
  std::vector<std::pair<std::string, std::string>> in_use;  // (session id, NPC id) of the others
  for (const NpcHandle& other : snapshot_npcs()) {
    if (other.get() == &npc) continue;
    std::string sid = other->view().session_id;
    if (!sid.empty()) in_use.emplace_back(std::move(sid), other->id());
  }
  for (Json& entry : entries) {
    std::string sid = as_text(entry, "session_id");
    entry["current"] = sid == current;
    std::string user;
    for (const auto& [session, owner] : in_use) {
      if (session == sid) {
        user = owner;
        break;
      }
    }
    entry["in_use_by"] = user;
  }
  return {{"sessions", std::move(entries)}};
}
