#include "http/read_endpoints.h"

#include <utility>
#include <vector>

#include "config/config.h"
#include "config/policy.h"
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
    std::lock_guard<std::mutex> guard(npc->lock);
    const NpcState& s = npc->state;
    rows.push_back({{"id", npc->id},
                    {"state", s.state},
                    {"workspace", s.workspace},
                    {"workspace_source", s.workspace_source},
                    {"session_id", s.session_id},
                    {"seq", last_seq(*npc)},
                    {"model", s.model},
                    {"resolved_model", s.resolved_model}});
  }
  return {{"npcs", std::move(rows)}};
}

Json sessions_view(Npc& npc) {
  Json entries = list_sessions(npc_workspace(npc));
  std::string current = npc_session_id(npc);
  std::vector<std::pair<std::string, std::string>> in_use;  // (session id, NPC id) of the others
  for (const NpcHandle& other : snapshot_npcs()) {
    if (other->id == npc.id) continue;
    std::string sid = npc_session_id(*other);
    if (!sid.empty()) in_use.emplace_back(std::move(sid), other->id);
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
