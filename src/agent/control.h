// What the game does to one NPC's agent.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "agent/npc.h"
#include "util/json.h"

/// Launches the agent when needed and writes the player's words to it. True when they reached
/// the agent.
bool say(const NpcHandle& npc, const std::string& words);

/// Stops a running agent, keeping its session; nothing when none runs.
void interrupt(const NpcHandle& npc);

/// Ends the agent (SIGTERM, SIGKILL after 5 s), refuses its pending approvals with "The
/// conversation ended." and leaves the NPC "asleep". Forgets the session unless keep_session.
/// Harmless when no agent runs or when called twice.
void stop_agent(Npc& npc, bool keep_session);

/// {"ok", "model", "pending"}: applies a model now, or marks it pending while a turn runs.
Json request_model(const NpcHandle& npc, const std::string& requested);

void apply_model(Npc& npc, const std::string& model);
void announce_model(Npc& npc);
void announce_workspace(Npc& npc);
void announce_session(Npc& npc);

/// Switches to another conversation (empty: a new one). The error text when refused.
std::optional<std::string> resume_session(Npc& npc, const std::string& requested,
                                          const std::vector<NpcHandle>& all);

void new_session(Npc& npc);
