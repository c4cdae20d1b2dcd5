// The agent CLI's stream-json output turned into events.
#pragma once

#include <cstdint>

#include "agent/npc.h"
#include "util/json.h"
#include "util/unique_fd.h"

/// Thread body: reads the agent's standard output line by line, translates each record, and
/// reports the end of the process when it is still the current one (generation).
void stdout_reader(NpcHandle npc, std::uint64_t generation, UniqueFd out);

/// Handles one parsed output record of the NPC's agent.
void translate_record(Npc& npc, const Json& record);
