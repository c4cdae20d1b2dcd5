// The agent CLI's stream-json output turned into events.
#pragma once

#include <cstdint>
#include <string_view>

#include "agent/npc.h"
#include "util/json.h"
#include "util/unique_fd.h"

/// Thread body: reads the agent's standard output line by line, translates each record, and
/// reports the end of the process when it is still the current one (generation).
void stdout_reader(NpcHandle npc, std::uint64_t generation, UniqueFd out);

/// Handles one parsed output record of the NPC's agent.
void translate_record(Npc& npc, const Json& record);

/// The fast way for one output line of the agent (as read, before any clean-up): true when the
/// line was a plain reply delta, now relayed exactly as translate_record would, or a stream
/// record of a sub-agent; false when the line must be translated the ordinary way.
bool relay_fast_delta(Npc& npc, std::string_view line);
