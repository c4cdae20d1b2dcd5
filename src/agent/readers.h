// The threads that read an agent process's standard output and standard error.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "agent/npc.h"
#include "util/unique_fd.h"

/// An agent output line longer than this is dropped (one log line and an "error" event), and
/// reading goes on at the next line. Real records run to a few megabytes at most (a tool result
/// holding a whole file or an image); a runaway agent must not grow the bridge without bound.
inline constexpr std::size_t MAX_AGENT_LINE = 16u << 20;

/// The standard-output reader's body: translates every line of `out`, then reports the end of
/// the process of `generation` (after its standard-error reader has marked `stderr_done`, or
/// the wait for it ran out).
void read_agent_output(NpcHandle npc, std::uint64_t generation, UniqueFd out,
                       std::shared_ptr<ReaderDone> stderr_done);

/// Starts the two reader threads of the process of `generation`. The standard-output reader
/// translates each record and, at the end of the output, reports the end of the process; the
/// standard-error reader keeps the last lines and marks `stderr_done` when it has taken in the
/// last one. The error text when a thread cannot be started (the standard-error reader missing
/// is only logged).
std::optional<std::string> start_readers(NpcHandle npc, std::uint64_t generation, UniqueFd out,
                                         UniqueFd err, std::shared_ptr<ReaderDone> stderr_done);
