#include "agent/event_log.h"

#include <algorithm>
#include <charconv>
#include <initializer_list>
#include <limits>

#include "agent/npc.h"

namespace {

thread_local int batch_depth = 0;
thread_local std::vector<EventLog*> deferred;  // logs pushed to while a batch is open

}  // namespace

DeferredWakeups::DeferredWakeups() { ++batch_depth; }

DeferredWakeups::~DeferredWakeups() {
  if (--batch_depth == 0) flush_deferred_wakeups();
}

void flush_deferred_wakeups() {
  // The events are in the logs already: a reader that has not started waiting yet sees them
  // when it looks, one that waits is woken here.
  for (EventLog* log : deferred) log->changed.notify_all();
  deferred.clear();
}

namespace {

// The frame of an event whose JSON text is the concatenation of `parts`, in one allocation.
StoredEvent make_event(std::uint64_t seq, std::initializer_list<std::string_view> parts) {
  std::size_t size = StoredEvent::FRAME_SIZE;
  for (std::string_view part : parts) size += part.size();
  std::shared_ptr<char[]> bytes = std::make_shared_for_overwrite<char[]>(size);
  char* at = bytes.get();
  auto put = [&at](std::string_view part) { at = std::copy(part.begin(), part.end(), at); };
  put(StoredEvent::FRAME_HEAD);
  for (std::string_view part : parts) put(part);
  put(StoredEvent::FRAME_TAIL);
  return {seq, std::move(bytes), static_cast<std::uint32_t>(size)};
}

// The lowest seq any connected reader has taken; the greatest seq when none is connected.
std::uint64_t lowest_taken(const EventLog& log) REQUIRES(log.lock) {
  std::uint64_t lowest = std::numeric_limits<std::uint64_t>::max();
  for (std::uint64_t t : log.taken) lowest = std::min(lowest, t);
  return lowest;
}

// Drops the oldest events past the newest MAX_EVENTS that every reader has taken, and any that
// would keep the backlog over its budget.
void trim(EventLog& log) REQUIRES(log.lock) {
  while (log.events.size() > MAX_EVENTS) {
    const StoredEvent& oldest = log.events.front();
    if (oldest.seq > log.floor && log.floor_stale) {
      log.floor = lowest_taken(log);
      log.floor_stale = false;
    }
    if (oldest.seq > log.floor && log.backlog_bytes <= EventLog::MAX_BACKLOG_BYTES) return;
    log.backlog_bytes -= oldest.size;
    log.events.pop_front();
  }
}

// Appends an event, trims the log and wakes the readers, now or at the end of the batch.
void append(EventLog& log, StoredEvent event) REQUIRES(log.lock) {
  log.events.push_back(std::move(event));
  if (log.events.size() > MAX_EVENTS) {
    log.backlog_bytes += log.events[log.events.size() - MAX_EVENTS - 1].size;
    trim(log);
  }
  if (batch_depth == 0) {
    log.changed.notify_all();
  } else if (deferred.empty() || deferred.back() != &log) {
    deferred.push_back(&log);
  }
}

}  // namespace

void push_event(Npc& npc, std::string_view type, const Json& payload) {
  // The envelope keys are set first so that a payload field of the same name replaces them,
  // as the event format says; no emitter uses such names.
  Json event = Json::object();
  EventLog& log = npc.events;
  MutexLock guard(log.lock);
  std::uint64_t seq = ++log.seq;
  event["seq"] = seq;
  event["type"] = type;
  event["npc"] = npc.id();
  if (payload.is_object()) {
    for (auto it = payload.begin(); it != payload.end(); ++it) event[it.key()] = it.value();
  }
  append(log, make_event(seq, {dump_json(event)}));
}

void push_delta_event(Npc& npc, std::string_view text) {
  // Everything but the number is written before the lock is taken, keys in byte order as
  // dump_json writes them. A reader thread relays one NPC, so the part before the number is
  // built again only when the NPC changes.
  thread_local std::string id, head, tail;
  if (head.empty() || id != npc.id()) {
    id = npc.id();
    head = "{\"npc\":";
    append_json_string(head, id);
    head += ",\"seq\":";
  }
  tail = ",\"text\":";
  append_json_string(tail, text);
  tail += ",\"type\":\"delta\"}";
  EventLog& log = npc.events;
  MutexLock guard(log.lock);
  std::uint64_t seq = ++log.seq;
  char digits[20];
  auto length =
      static_cast<std::size_t>(std::to_chars(digits, digits + sizeof digits, seq).ptr - digits);
  append(log, make_event(seq, {head, std::string_view(digits, length), tail}));
}

namespace {

// The events after `since`, with the log's lock held. Seqs in the log are contiguous, so the
// first wanted event is found by arithmetic.
std::vector<StoredEvent> copy_after(const EventLog& log, std::uint64_t since) REQUIRES(log.lock) {
  std::vector<StoredEvent> out;
  if (log.events.empty() || log.seq <= since) return out;
  std::uint64_t first = log.events.front().seq;
  std::size_t start = since < first ? 0 : static_cast<std::size_t>(since - first + 1);
  out.assign(log.events.begin() + static_cast<std::ptrdiff_t>(start), log.events.end());
  return out;
}

}  // namespace

std::vector<StoredEvent> events_after(EventLog& log, std::uint64_t since) {
  MutexLock guard(log.lock);
  return copy_after(log, since);
}

// Waits (once, at most `wait`) until the log holds an event newer than `since`.
void wait_after(EventLog& log, std::uint64_t since, std::chrono::milliseconds wait)
    REQUIRES(log.lock) {
  log.lock.wait_for(log.changed, wait, [&]() REQUIRES(log.lock) {
    return !log.events.empty() && log.events.back().seq > since;
  });
}

std::vector<StoredEvent> wait_events_after(EventLog& log, std::uint64_t since,
                                           std::chrono::milliseconds wait) {
  MutexLock guard(log.lock);
  wait_after(log, since, wait);
  return copy_after(log, since);
}

LogReader::LogReader(EventLog& log, std::uint64_t since) : log_(log) {
  MutexLock guard(log.lock);
  taken_ = log.taken.insert(log.taken.end(), since);
  log.floor = std::min(log.floor, since);
}

LogReader::~LogReader() {
  MutexLock guard(log_.lock);
  log_.taken.erase(taken_);
  log_.floor_stale = true;
}

std::vector<StoredEvent> LogReader::take(std::chrono::milliseconds wait) {
  MutexLock guard(log_.lock);
  std::uint64_t& taken = *taken_;
  wait_after(log_, taken, wait);
  std::vector<StoredEvent> out = copy_after(log_, taken);
  if (!out.empty()) {
    // The floor may have been this reader's place; it can rise now.
    if (taken <= log_.floor) log_.floor_stale = true;
    taken = out.back().seq;
  }
  return out;
}

std::uint64_t last_seq(EventLog& log) {
  MutexLock guard(log.lock);
  return log.seq;
}
