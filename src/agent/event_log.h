// An NPC's numbered events: the one vocabulary the game learns everything through.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <limits>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "util/json.h"
#include "util/thread_annotations.h"

class Npc;

/// One event, serialised once when pushed: compact JSON with "seq", "type", "npc" and the
/// payload's fields, kept as the event stream's frame of it ("data: " + JSON + "\n\n") in one
/// allocation that every stream shares and writes as it is; nobody changes it.
struct StoredEvent {
  std::uint64_t seq = 0;
  std::shared_ptr<const char[]> bytes;
  std::uint32_t size = 0;  // of the frame

  /// The whole frame, as a stream writes it.
  std::string_view frame() const { return {bytes.get(), size}; }
  /// The event's compact JSON text.
  std::string_view json() const { return frame().substr(FRAME_HEAD.size(), size - FRAME_SIZE); }

  static constexpr std::string_view FRAME_HEAD = "data: ";
  static constexpr std::string_view FRAME_TAIL = "\n\n";
  static constexpr std::size_t FRAME_SIZE = FRAME_HEAD.size() + FRAME_TAIL.size();
};

/// The bounded log of one NPC. Appended only by push_event; readers copy out under `lock` and
/// write outside it. Lock order: the NPC's state lock (if held) first, then this lock; this
/// lock is never held while taking another.
///
/// The log keeps the newest MAX_EVENTS events for anyone who asks. Older ones stay only while a
/// connected stream (a LogReader) has not taken them yet, within MAX_BACKLOG_BYTES of frames:
/// an agent writing a reply at full speed fills MAX_EVENTS in a couple of milliseconds, less
/// than a stream may wait for a core, and the stream still gets every event. The agent is never
/// held back for a stream; one that stops reading loses what falls out of the backlog.
struct EventLog {
  static constexpr std::size_t MAX_EVENTS = 2000;
  static constexpr std::size_t MAX_BACKLOG_BYTES = std::size_t{16} << 20;

  Mutex lock;
  std::condition_variable changed;                  // broadcast on every append
  std::deque<StoredEvent> events GUARDED_BY(lock);  // oldest first, seqs contiguous
  std::uint64_t seq GUARDED_BY(lock) = 0;           // newest number handed out

  // The newest seq each connected reader has taken, one entry per LogReader.
  std::list<std::uint64_t> taken GUARDED_BY(lock);
  // At most the lowest of `taken` (no event after it may be dropped early); `floor_stale` says
  // it may have risen since it was computed.
  std::uint64_t floor GUARDED_BY(lock) = std::numeric_limits<std::uint64_t>::max();
  bool floor_stale GUARDED_BY(lock) = false;
  // The frames of the events older than the newest MAX_EVENTS.
  std::size_t backlog_bytes GUARDED_BY(lock) = 0;
};

inline constexpr std::size_t MAX_EVENTS = EventLog::MAX_EVENTS;

/// Numbers, serialises and appends one event, trims the log to MAX_EVENTS and wakes every
/// reader. A payload that is not an object contributes nothing. Never fails.
/// Takes the NPC's event-log lock.
void push_event(Npc& npc, std::string_view type, const Json& payload = Json::object());

/// The same as push_event(npc, "delta", {{"text", text}}), written straight to its frame: the
/// hot path of a reply.
void push_delta_event(Npc& npc, std::string_view text);

/// While one is alive on a thread, the events that thread pushes wake their readers only when
/// the batch ends or flush_deferred_wakeups is called. An agent's reader uses it for the lines
/// of one read, so a burst of deltas costs one wake-up of each stream instead of one per event;
/// nothing waits for more output to arrive.
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
std::vector<StoredEvent> events_after(EventLog& log, std::uint64_t since) EXCLUDES(log.lock);

/// A connected stream's place in a log, from `since` on: while it exists the log keeps what it
/// has not taken yet (within the backlog budget).
class LogReader {
 public:
  LogReader(EventLog& log, std::uint64_t since) EXCLUDES(log.lock);
  ~LogReader();
  LogReader(const LogReader&) = delete;
  LogReader& operator=(const LogReader&) = delete;

  /// Waits (once, at most `wait`) until the log holds an event this reader has not taken,
  /// unless it does already, then takes every such event (possibly none), oldest first.
  std::vector<StoredEvent> take(std::chrono::milliseconds wait) EXCLUDES(log_.lock);

 private:
  EventLog& log_;
  std::list<std::uint64_t>::iterator taken_;  // this reader's entry in log_.taken
};

/// Waits (once, at most `wait`) until the log holds an event newer than `since` unless it does
/// already, then returns the events after `since` (possibly none).
std::vector<StoredEvent> wait_events_after(EventLog& log, std::uint64_t since,
                                           std::chrono::milliseconds wait) EXCLUDES(log.lock);

/// The newest seq handed out; 0 before the first event.
std::uint64_t last_seq(EventLog& log) EXCLUDES(log.lock);
