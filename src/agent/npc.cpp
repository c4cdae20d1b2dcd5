#include "agent/npc.h"

#include "config/config.h"
#include "store/state_file.h"

namespace {

std::mutex registry_lock;  // guards registry
std::unordered_map<std::string, NpcHandle>& registry() {
  static auto* table = new std::unordered_map<std::string, NpcHandle>();  // never destroyed
  return *table;
}

template <typename T, typename F>
T copy_field(Npc& npc, F get) {
  std::lock_guard<std::mutex> guard(npc.lock);
  return get(npc.state);
}

}  // namespace

NpcHandle get_or_create_npc(const std::string& id) {
  std::lock_guard<std::mutex> guard(registry_lock);
  auto& table = registry();
  auto it = table.find(id);
  if (it != table.end()) return it->second;

  auto npc = std::make_shared<Npc>(id);
  const Config& cfg = config();
  npc->state.workspace = cfg.workspace;
  npc->state.ask_tools = cfg.ask_tools;
  npc->state.model = cfg.model;
  // Read while the registry lock is held, so the record is never visible before its
  // remembered values are applied.
  recall_npc(id, npc->state);
  table.emplace(id, npc);
  return npc;
}

std::vector<NpcHandle> snapshot_npcs() {
  std::lock_guard<std::mutex> guard(registry_lock);
  std::vector<NpcHandle> out;
  out.reserve(registry().size());
  for (auto& [id, npc] : registry()) out.push_back(npc);
  return out;
}

std::string npc_state(Npc& npc) {
  return copy_field<std::string>(npc, [](NpcState& s) { return s.state; });
}
std::string npc_workspace(Npc& npc) {
  return copy_field<std::string>(npc, [](NpcState& s) { return s.workspace; });
}
std::string npc_session_id(Npc& npc) {
  return copy_field<std::string>(npc, [](NpcState& s) { return s.session_id; });
}
std::string npc_model(Npc& npc) {
  return copy_field<std::string>(npc, [](NpcState& s) { return s.model; });
}
bool npc_is_default(Npc& npc) {
  return copy_field<bool>(npc, [](NpcState& s) { return s.workspace_source == "default"; });
}
