// The read-only views the game asks for: settings, the NPCs, an NPC's earlier conversations.
#pragma once

#include "agent/npc.h"
#include "util/json.h"

/// GET /health
Json health_view();
/// GET /policy
Json policy_view();
/// GET /models
Json models_view();
/// GET /npcs
Json npcs_view();
/// GET /npc/ID/sessions
Json sessions_view(Npc& npc);
