// The agent CLI's stream-json output turned into events.
#pragma once

#include <cstdint>
#include <string_view>

#include "agent/npc.h"
#include "util/json.h"

/// Handles one line of the output of the NPC's process of `generation`: a record that is not
/// JSON is skipped; events reach their streams at the end of the reader's batch, except after
/// records that may be followed by a wait, which wake the streams at once.
void translate_line(Npc& npc, std::uint64_t generation, std::string_view line);

/// Handles one parsed output record, as from the NPC's current process.
void translate_record(Npc& npc, const Json& record);

/// The fast way for one output line of the agent (as read, before any clean-up): true when the
/// line was a plain reply delta, now relayed exactly as translate_record would, or a stream
/// record of a sub-agent; false when the line must be translated the ordinary way.
bool relay_fast_delta(Npc& npc, std::string_view line);
