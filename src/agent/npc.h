// NPC records and the registry that holds them.
//
// Lock order, for the whole bridge: an NPC lock, then that NPC's event-log lock. Never two NPC
// locks at once; the registry lock is never combined with either. A PendingPermission's lock,
// STORE_LOCK, waiting for a process and sleeping all happen with the NPC lock released.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "agent/event_log.h"
#include "agent/pending_permission.h"
#include "util/unique_fd.h"

/// Marks that a process's standard-error reader has taken in every line, so that the end of
/// the process can be reported with the agent's last words rather than before they arrive.
struct ReaderDone {
  std::mutex lock;
  std::condition_variable finished_cv;
  bool finished = false;  // guarded by lock

  void finish() {
    {
      std::lock_guard<std::mutex> guard(lock);
      finished = true;
    }
    finished_cv.notify_all();
  }
  /// Waits at most `limit`: a process that left its standard error to a child of its own
  /// must not hold up the report.
  void wait_for(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> guard(lock);
    finished_cv.wait_for(guard, limit, [&] { return finished; });
  }
};

/// A running agent process. Whoever takes it out of NpcState::agent owns the child and is the
/// one who waits for it.
struct AgentProcess {
  pid_t pid = -1;
  std::uint64_t generation = 0;  // the launch_count given to this process
  UniqueFd stdin_fd;             // the player's words go here; dropping it closes the pipe
  std::shared_ptr<ReaderDone> stderr_done;  // set by its standard-error reader at the end
};

/// Everything mutable about an NPC, guarded by Npc::lock.
struct NpcState {
  std::string workspace;
  std::string workspace_source = "default";  // "default" or "explicit"
  std::string persona;
  std::string ask_tools;
  std::string model;
  std::string session_id;
  std::string resolved_model;
  std::string state = "asleep";  // "asleep", "idle", "working", "asking"; only via set_state
  std::string settings_path;     // hook settings file of the current process, "" when none
  std::deque<std::string> stderr_tail;  // newest last, at most 20
  std::string streamed_text;
  std::optional<std::string> pending_model;
  std::optional<AgentProcess> agent;
  std::optional<std::chrono::steady_clock::time_point> turn_started;
  std::unordered_map<std::string, std::shared_ptr<PendingPermission>> pending_permissions;
  std::uint64_t launch_count = 0;
  std::uint64_t tool_count = 0;
  bool resumed = false;
  // Lines of the player written to the current process that have had no "result" yet. The
  // CLI answers words written during a turn in turns of their own, so the NPC is idle only
  // when this reaches 0. A stop clears it.
  std::uint64_t unanswered = 0;
};

/// One NPC: shared, reference-counted, never removed from the registry.
struct Npc {
  explicit Npc(std::string npc_id) : id(std::move(npc_id)) {}

  const std::string id;
  std::mutex lock;  // the NPC lock
  NpcState state;   // guarded by lock
  EventLog events;  // has its own lock
};

using NpcHandle = std::shared_ptr<Npc>;

/// The NPC with this id, created (with what the state file remembers) when new. Two threads
/// asking for the same new id get the same record.
NpcHandle get_or_create_npc(const std::string& id);

/// Every NPC in the registry at this moment, in the registry's order.
std::vector<NpcHandle> snapshot_npcs();

// Copy accessors: each takes the NPC lock, copies one value and releases it.
std::string npc_state(Npc& npc);
std::string npc_workspace(Npc& npc);
std::string npc_session_id(Npc& npc);
std::string npc_model(Npc& npc);
bool npc_is_default(Npc& npc);
