// One NPC: its identity, its lock, its agent process and its event log.
//
// Lock order, for the whole bridge:
//   an NPC's control section  ->  that NPC's state lock  ->  that NPC's event-log lock.
// Never two NPCs' locks at once. The registry lock, STORE_LOCK and a PendingPermission's lock
// are never held together with a state lock (STORE_LOCK may be taken inside a control
// section). The state lock is held only for short reads and writes of fields: nothing that
// waits for another process, a pipe, the disk or the network runs under it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "agent/event_log.h"
#include "agent/pending_permission.h"
#include "util/thread_annotations.h"
#include "util/unique_fd.h"

/// What the NPC is doing, as the game sees it.
enum class Activity { Asleep, Idle, Working, Asking };

/// "asleep", "idle", "working" or "asking".
std::string_view activity_name(Activity activity);

/// Marks that a process's standard-error reader has taken in every line, so that the end of
/// the process can be reported with the agent's last words rather than before they arrive.
class ReaderDone {
 public:
  void finish() EXCLUDES(mutex_);
  /// Waits at most `limit`: a process that left its standard error to a child of its own
  /// must not hold up the report.
  void wait_for(std::chrono::milliseconds limit) EXCLUDES(mutex_);

 private:
  Mutex mutex_;
  std::condition_variable finished_cv_;
  bool finished_ GUARDED_BY(mutex_) = false;
};

/// The write end of an agent's standard input. Shared by the NPC record and whoever is writing
/// to it, so that a stop never waits for a write and a write never holds the NPC.
class AgentInput {
 public:
  explicit AgentInput(UniqueFd fd) : fd_(std::move(fd)) {}

  /// Writes one whole line, waiting at most `timeout_ms` for the agent to take it in. Lines of
  /// concurrent writers never interleave. 0, or the errno value (ETIMEDOUT when the agent
  /// stopped reading); after a failure the input is closed, so no later line can be glued to
  /// the half that was written.
  int write_line(std::string_view line, int timeout_ms) EXCLUDES(mutex_);

  /// Closes the pipe: the agent sees the end of its input.
  void close() EXCLUDES(mutex_);

 private:
  Mutex mutex_;
  UniqueFd fd_ GUARDED_BY(mutex_);
};

/// A running agent process, as the NPC record holds it. Whoever takes it out of the record
/// owns the child and is the one who waits for it.
struct AgentProcess {
  pid_t pid = -1;
  std::uint64_t generation = 0;  // the launch_count given to this process
  std::shared_ptr<AgentInput> input;
  std::shared_ptr<ReaderDone> stderr_done;  // set by its standard-error reader at the end
  // The turn is over and the process must not be used again (a model change waits for it):
  // the next launch stops it first.
  bool retiring = false;
};

/// Everything mutable about an NPC. Reached only through Npc::locked, under the state lock.
struct NpcState {
  std::string workspace;
  bool workspace_is_default = true;  // "default" rather than "explicit" in the state file
  std::string persona;
  std::string ask_tools;
  std::string model;
  std::string session_id;
  std::string resolved_model;
  Activity activity = Activity::Asleep;  // only through set_activity
  // What the NPC was doing when it began to ask; it goes back to that when the last approval
  // it waits for is answered.
  Activity activity_before_asking = Activity::Working;
  std::string settings_path;             // hook settings file of the current process, or ""
  std::deque<std::string> stderr_tail;   // newest last, at most 20
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

/// A consistent copy of what the game may be shown about an NPC.
struct NpcView {
  Activity activity = Activity::Asleep;
  std::string workspace;
  bool workspace_is_default = true;
  std::string session_id;
  bool resumed = false;
  std::string persona;
  std::string model;
  std::string resolved_model;
};

/// One NPC: shared, reference-counted, never removed from the registry.
class Npc : public std::enable_shared_from_this<Npc> {
 public:
  explicit Npc(std::string id) : id_(std::move(id)) {}
  Npc(const Npc&) = delete;
  Npc& operator=(const Npc&) = delete;

  const std::string& id() const { return id_; }

  /// The control section: held across each step that must be one for the player and that may
  /// block (a launch, a stop, a stop together with a change of folder, session, model or
  /// policy, the report of an agent's end). A launch enters it too, so nothing can start an
  /// agent between a stop and the change that follows it.
  Mutex control ACQUIRED_BEFORE(state_lock_);

  /// The numbered events of this NPC; has its own lock, taken after the state lock.
  EventLog events;

  /// Runs `step` on the state with the state lock held, and returns what it returns. `step`
  /// must not block (no process, pipe, disk or network) and must not keep the reference.
  template <typename Step>
  auto locked(Step step) EXCLUDES(state_lock_) {
    MutexLock hold(state_lock_);
    return step(state_);
  }

  /// A consistent copy of the fields the game sees.
  NpcView view() EXCLUDES(state_lock_);

 private:
  const std::string id_;
  Mutex state_lock_;
  NpcState state_ GUARDED_BY(state_lock_);
};

using NpcHandle = std::shared_ptr<Npc>;

/// Changes the NPC's activity and pushes a "state" event, only when it differs. Called with
/// the state lock held, from inside Npc::locked, so the event order follows the changes.
void set_activity(Npc& npc, NpcState& state, Activity activity);

/// The newest seq of the NPC's log; 0 before the first event.
inline std::uint64_t last_seq(Npc& npc) { return last_seq(npc.events); }
