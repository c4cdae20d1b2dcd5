// The life of an NPC's agent process, owned here from spawn to reap: the launch, the report of
// its end, the stop. Everything that acts on a process later carries the generation it belongs
// to and does nothing to a successor.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "agent/npc.h"

/// The running agent a caller may write to.
struct RunningAgent {
  std::uint64_t generation = 0;
  std::shared_ptr<AgentInput> input;
};

/// Makes sure the NPC has a usable agent, launching one when it has none, its process has ended
/// or it is retiring. May push "error" (nothing launched) or a launch's "state" "idle".
/// nullopt when none runs afterwards (a failed launch, or shutdown has begun). Blocks on the
/// spawn, a settings file and a transcript look-up, with the control section held.
std::optional<RunningAgent> ensure_agent(Npc& npc) REQUIRES(npc.control);

/// Ends the agent (SIGTERM, SIGKILL after 5 s; always reaped), refuses its pending approvals
/// with "The conversation ended." and leaves the NPC "asleep". Forgets the session (and with it
/// "resumed") unless keep_session. Harmless when no agent runs. Blocks until the process is
/// gone.
void stop_agent(Npc& npc, bool keep_session) REQUIRES(npc.control);

/// Stops the agent, keeping the session, when `generation` is still the NPC's current process.
void retire_agent(Npc& npc, std::uint64_t generation) EXCLUDES(npc.control);

/// The readers' report that the process of `generation` ended its output: for the current
/// process only, reaps it, pushes "error" with its last words (or "exit code N") and leaves the
/// NPC "asleep" with its session kept.
void report_agent_end(Npc& npc, std::uint64_t generation, std::shared_ptr<ReaderDone> stderr_done)
    EXCLUDES(npc.control);

/// From now on no agent is launched (shutdown has begun). Launches already under way finish
/// and are then stopped by whoever stops the NPCs.
void close_launches();
