// Every NPC the bridge knows, by id.
#pragma once

#include <string>
#include <vector>

#include "agent/npc.h"

/// The NPC with this id, created (with the configured defaults and what the state file
/// remembers) when new. Two threads asking for the same new id get the same record.
NpcHandle get_or_create_npc(const std::string& id);

/// Every NPC in the registry at this moment, in the registry's order.
std::vector<NpcHandle> snapshot_npcs();

/// Writes what the state file keeps of the NPC, with the values it has when the write happens
/// (so two saves racing never leave the older values in the file). Blocks on the disk.
void save_npc(Npc& npc);
