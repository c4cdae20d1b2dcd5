// What the game does to an NPC's agent. Each command that stops the agent and changes the NPC
// does both inside the NPC's control section, so no launch can fall between them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "agent/npc.h"
#include "util/json.h"

/// Launches the agent when needed and writes the player's words to it. True when they reached
/// the agent; false after an "error" event (or with no event once shutdown has begun).
bool say(Npc& npc, const std::string& words);

/// Stops a running agent ("interrupted"), keeping its session; nothing when none runs.
void interrupt(Npc& npc);

/// Ends the agent, keeping the session; the NPC goes "asleep".
void put_to_sleep(Npc& npc);

/// {"ok", "model", "pending"}: applies a model now (restarting the agent at the next words), or
/// marks it pending while a turn runs.
Json request_model(Npc& npc, const std::string& requested);

/// After a turn that ended with a model pending: stops the process of `generation` if it is
/// still the NPC's, then saves and announces the model.
void apply_pending_model(Npc& npc, std::uint64_t generation);

/// What the workspace and bind commands change; an absent field changes nothing.
struct SettingsChange {
  std::optional<std::string> workspace;  // absolute folder, known to exist
  bool workspace_is_default = false;     // with workspace: it is the configured default
  std::optional<std::string> persona;
  std::optional<std::string> ask_tools;
  std::optional<std::string> model;
};

/// Applies the change. A new folder stops the agent and forgets the conversation first. Pushes
/// "workspace" (when a folder was given), then "model" and "workspace", and saves.
NpcView change_settings(Npc& npc, const SettingsChange& change);

/// Switches to another conversation (empty: a new one). The error text when refused.
std::optional<std::string> resume_session(Npc& npc, const std::string& requested);

/// Stops the agent and starts a new conversation at the next words.
void new_session(Npc& npc);

/// Sets the permission policy for every NPC: running agents are stopped (sessions kept) so the
/// next words relaunch them under it; every NPC gets a "policy" event.
void change_policy(const std::string& policy);

/// Shutdown: no agent is launched from now on, and every running one is stopped (in parallel,
/// sessions kept). Returns when all are gone.
void stop_every_agent();

void announce_model(Npc& npc);
void announce_workspace(Npc& npc);
void announce_session(Npc& npc);
