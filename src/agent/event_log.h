// An NPC's numbered events: the one vocabulary the game learns everything through.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "util/json.h"

struct Npc;
class LogFollower;

/// One event, serialised once when pushed: compact JSON with "seq", "type", "npc" and the
/// payload's fields. Streams share the text; nobody changes it.
struct StoredEvent {
  std::uint64_t seq = 0;
  std::shared_ptr<const std::string> json;
};

/// The bounded log of one NPC. Appended only by push_event; readers copy out under `lock` and
/// write outside it. Lock order: the NPC lock (if held) first, then this lock; this lock is
/// never held while taking another.
struct EventLog {
  static constexpr std::size_t MAX_EVENTS = 2000;
  /// How long an agent's reader waits, after one read, for streams that fell behind.
  static constexpr std::chrono::milliseconds FOLLOW_WAIT{1000};

  std::mutex lock;
  std::condition_variable changed;  // broadcast on every append
  std::deque<StoredEvent> events;   // guarded by lock; oldest first, seqs contiguous
  std::uint64_t seq = 0;            // guarded by lock; newest number handed out

  std::vector<LogFollower*> followers;  // guarded by lock; the streams following the log
  std::condition_variable taken;        // broadcast when a follower takes events while...
  int held_back = 0;                    // guarded by lock; ...this many readers wait for it
  std::chrono::milliseconds follow_wait = FOLLOW_WAIT;  // set before the log is shared
};

inline constexpr std::size_t MAX_EVENTS = EventLog::MAX_EVENTS;

/// Numbers, serialises and appends one event, trims the log to MAX_EVENTS and wakes every
/// reader. A payload that is not an object contributes nothing. Never fails.
void push_event(Npc& npc, std::string_view type, const Json& payload = Json::object());

/// The same as push_event(npc, "delta", {{"text", text}}), written straight to its JSON text:
/// the hot path of a reply.
void push_delta_event(Npc& npc, std::string_view text);

/// While one is alive on a thread, the events that thread pushes wake their readers only when
/// the batch ends or flush_deferred_wakeups is called. An agent's reader uses it for the lines
/// of one read, so a burst of deltas costs one wake-up of each stream instead of one per event;
/// nothing waits for more output to arrive. When the batch ends, the thread also waits (at most
/// follow_wait) for any stream that has fallen more than half a log behind, and is not held up
/// by its client, to catch up: see LogFollower.
class DeferredWakeups {
 public:
  DeferredWakeups();
  ~DeferredWakeups();
  DeferredWakeups(const DeferredWakeups&) = delete;
  DeferredWakeups& operator=(const DeferredWakeups&) = delete;
};

/// Wakes now the readers of every log this thread pushed to in the current batch.
void flush_deferred_wakeups();

/// Copies of the events whose seq is greater than `since`, oldest first. Takes the log's lock.
std::vector<StoredEvent> events_after(EventLog& log, std::uint64_t since);

/// Waits (once, at most `wait`) until the log holds an event newer than `since` unless it does
/// already, then returns the events after `since` (possibly none).
std::vector<StoredEvent> wait_events_after(EventLog& log, std::uint64_t since,
                                           std::chrono::milliseconds wait);

/// One event stream's place in a log. While it exists, an agent's reader that has run more than
/// half a log ahead of it waits for it at the end of its read (see DeferredWakeups), so that a
/// stream that keeps up loses nothing however fast the agent writes: the agent is held back by
/// its pipe meanwhile. The wait is bounded: a client that holds up one write for longer than
/// the log's follow_wait is slow, and is not waited for until it takes a write at once again; it
/// misses what the log no longer holds. Agents write far fewer events a second than a client that
/// keeps up takes, so only a benchmark ever makes a reader wait.
class LogFollower {
 public:
  LogFollower(EventLog& log, std::uint64_t since);
  ~LogFollower();
  LogFollower(const LogFollower&) = delete;
  LogFollower& operator=(const LogFollower&) = delete;

  /// Replaces `out` with the events after the last one taken, waiting first (once, at most
  /// `wait`) unless there are some already; `out` may come back empty.
  void take(std::vector<StoredEvent>& out, std::chrono::milliseconds wait);

  /// The client did not take a whole write at once; the rest is being written.
  void client_holds_up();
  /// The write is done; `at_once` when the client took it without holding it up.
  void write_done(bool at_once);

 private:
  friend void wait_for_followers(EventLog& log);

  EventLog& log_;
  // Guarded by log_.lock. Only the stream's own thread changes them, so it may read them
  // without the lock.
  std::uint64_t last_;  // the newest seq taken
  bool blocked_ = false;
  std::chrono::steady_clock::time_point blocked_since_;
  bool slow_ = false;
};

/// The newest seq handed out; 0 before the first event.
std::uint64_t last_seq(Npc& npc);

/// Changes the NPC's activity state and pushes a "state" event, only when it differs.
/// The caller holds the NPC lock.
void set_state(Npc& npc, std::string_view value);
