#include "agent/registry.h"

#include <unordered_map>

#include "config/config.h"
#include "store/state_file.h"

namespace {

Mutex registry_lock;
// Never destroyed: detached threads may still look NPCs up while the process exits.
std::unordered_map<std::string, NpcHandle>& registry() REQUIRES(registry_lock) {
  static auto* table = new std::unordered_map<std::string, NpcHandle>();
  return *table;
}

}  // namespace

NpcHandle get_or_create_npc(const std::string& id) {
  MutexLock hold(registry_lock);
  auto& table = registry();
  auto it = table.find(id);
  if (it != table.end()) return it->second;

  const Config& cfg = config();
  // Read while the registry lock is held, so the record is never visible before its
  // remembered values are applied.
  Recalled memory = recall_npc(id, cfg.workspace);
  auto npc = std::make_shared<Npc>(id);
  npc->locked([&](NpcState& s) {
    s.workspace = memory.workspace ? *memory.workspace : cfg.workspace;
    s.workspace_is_default = !memory.workspace.has_value();
    s.ask_tools = cfg.ask_tools;
    s.model = memory.model ? *memory.model : cfg.model;
    if (memory.session_id) {
      s.session_id = *memory.session_id;
      s.resumed = true;
    }
    if (memory.persona) s.persona = *memory.persona;
  });
  table.emplace(id, npc);
  return npc;
}

std::vector<NpcHandle> snapshot_npcs() {
  MutexLock hold(registry_lock);
  std::vector<NpcHandle> out;
  out.reserve(registry().size());
  for (auto& [id, npc] : registry()) out.push_back(npc);
  return out;
}

void save_npc(Npc& npc) {
  remember_npc(npc.id(), [&npc] {
    return npc.locked([](NpcState& s) {
      return Remembered{s.workspace, s.workspace_is_default, s.session_id, s.persona, s.model};
    });
  });
}
