#include "agent/event_log.h"

#include <algorithm>
#include <charconv>
#include <optional>

#include "agent/npc.h"

namespace {

thread_local int batch_depth = 0;
thread_local std::vector<EventLog*> deferred;    // logs whose readers are not woken yet
thread_local std::vector<EventLog*> batch_logs;  // logs pushed to while the batch is open

}  // namespace

void wait_for_followers(EventLog& log);

DeferredWakeups::DeferredWakeups() { ++batch_depth; }

DeferredWakeups::~DeferredWakeups() {
  if (--batch_depth != 0) return;
  flush_deferred_wakeups();
  for (EventLog* log : batch_logs) wait_for_followers(*log);
  batch_logs.clear();
}

void flush_deferred_wakeups() {
  // The events are in the logs already: a reader that has not started waiting yet sees them
  // when it looks, one that waits is woken here.
  for (EventLog* log : deferred) log->changed.notify_all();
  deferred.clear();
}

// Waits, with the log's lock released meanwhile, until no stream worth waiting for is more than
// half a log behind (see LogFollower).
void wait_for_followers(EventLog& log) {
  using Clock = std::chrono::steady_clock;
  std::unique_lock<std::mutex> guard(log.lock);
  const Clock::time_point start = Clock::now();
  ++log.held_back;
  for (;;) {
    // The last moment some stream that is behind is still worth waiting for.
    std::optional<Clock::time_point> until;
    const Clock::time_point now = Clock::now();
    for (const LogFollower* f : log.followers) {
      // A follower may start ahead of the log (a "since" still to come).
      if (f->slow_ || log.seq <= f->last_ + MAX_EVENTS / 2) continue;
      Clock::time_point limit = (f->blocked_ ? f->blocked_since_ : start) + log.follow_wait;
      if (limit > now && (!until || limit > *until)) until = limit;
    }
    if (!until) break;
    log.taken.wait_until(guard, *until);
  }
  --log.held_back;
}

namespace {

// Appends an event numbered `seq` and wakes the readers, now or at the end of the batch. The
// caller holds the log's lock and took `seq` under it.
void append_locked(EventLog& log, std::uint64_t seq, std::string json) {
  log.events.push_back({seq, std::make_shared<const std::string>(std::move(json))});
  if (log.events.size() > MAX_EVENTS) log.events.pop_front();
  if (batch_depth == 0) {
    log.changed.notify_all();
    return;
  }
  if (std::find(deferred.begin(), deferred.end(), &log) == deferred.end()) deferred.push_back(&log);
  if (std::find(batch_logs.begin(), batch_logs.end(), &log) == batch_logs.end()) {
    batch_logs.push_back(&log);
  }
}

}  // namespace

void push_event(Npc& npc, std::string_view type, const Json& payload) {
  // The envelope keys are set first so that a payload field of the same name replaces them,
  // as the event format says; no emitter uses such names.
  Json event = Json::object();
  EventLog& log = npc.events;
  std::lock_guard<std::mutex> guard(log.lock);
  std::uint64_t seq = ++log.seq;
  event["seq"] = seq;
  event["type"] = type;
  event["npc"] = npc.id;
  if (payload.is_object()) {
    for (auto it = payload.begin(); it != payload.end(); ++it) event[it.key()] = it.value();
  }
  append_locked(log, seq, dump_json(event));
}

void push_delta_event(Npc& npc, std::string_view text) {
  // Everything but the number is written before the lock is taken; the keys in byte order.
  thread_local std::string head, tail;
  head = "{\"npc\":";
  append_json_string(head, npc.id);
  head += ",\"seq\":";
  tail = ",\"text\":";
  append_json_string(tail, text);
  tail += ",\"type\":\"delta\"}";
  EventLog& log = npc.events;
  std::lock_guard<std::mutex> guard(log.lock);
  std::uint64_t seq = ++log.seq;
  char digits[20];
  char* digits_end = std::to_chars(digits, digits + sizeof digits, seq).ptr;
  std::string_view number(digits, static_cast<std::size_t>(digits_end - digits));
  std::string json;
  json.reserve(head.size() + number.size() + tail.size());
  json += head;
  json += number;
  json += tail;
  append_locked(log, seq, std::move(json));
}

namespace {

// Replaces `out` with the events after `since`, with the log's lock held. Seqs in the log are
// contiguous, so the first wanted event is found by arithmetic.
void copy_after(const EventLog& log, std::uint64_t since, std::vector<StoredEvent>& out) {
  out.clear();
  if (log.events.empty() || log.seq <= since) return;
  std::uint64_t first = log.events.front().seq;
  std::size_t start = since < first ? 0 : static_cast<std::size_t>(since - first + 1);
  out.assign(log.events.begin() + static_cast<std::ptrdiff_t>(start), log.events.end());
}

}  // namespace

std::vector<StoredEvent> events_after(EventLog& log, std::uint64_t since) {
  std::vector<StoredEvent> out;
  std::lock_guard<std::mutex> guard(log.lock);
  copy_after(log, since, out);
  return out;
}

std::vector<StoredEvent> wait_events_after(EventLog& log, std::uint64_t since,
                                           std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> guard(log.lock);
  if (log.events.empty() || log.events.back().seq <= since) log.changed.wait_for(guard, wait);
  std::vector<StoredEvent> out;
  copy_after(log, since, out);
  return out;
}

LogFollower::LogFollower(EventLog& log, std::uint64_t since) : log_(log), last_(since) {
  std::lock_guard<std::mutex> guard(log_.lock);
  log_.followers.push_back(this);
}

LogFollower::~LogFollower() {
  std::lock_guard<std::mutex> guard(log_.lock);
  std::erase(log_.followers, this);
  if (log_.held_back > 0) log_.taken.notify_all();
}

void LogFollower::take(std::vector<StoredEvent>& out, std::chrono::milliseconds wait) {
  out.clear();  // drops the previous events' references before the lock is taken
  std::unique_lock<std::mutex> guard(log_.lock);
  if (log_.events.empty() || log_.events.back().seq <= last_) log_.changed.wait_for(guard, wait);
  copy_after(log_, last_, out);
  if (out.empty()) return;
  last_ = out.back().seq;
  if (log_.held_back > 0) log_.taken.notify_all();
}

void LogFollower::client_holds_up() {
  std::lock_guard<std::mutex> guard(log_.lock);
  blocked_ = true;
  blocked_since_ = std::chrono::steady_clock::now();
}

void LogFollower::write_done(bool at_once) {
  // Read without the lock: only this thread changes these fields.
  if (!blocked_ && (!at_once || !slow_)) return;
  std::lock_guard<std::mutex> guard(log_.lock);
  if (blocked_) {
    blocked_ = false;
    slow_ = std::chrono::steady_clock::now() - blocked_since_ > log_.follow_wait;
  } else {
    slow_ = false;
  }
}

std::uint64_t last_seq(Npc& npc) {
  std::lock_guard<std::mutex> guard(npc.events.lock);
  return npc.events.seq;
}

void set_state(Npc& npc, std::string_view value) {
  if (npc.state.state == value) return;
  npc.state.state = std::string(value);
  push_event(npc, "state", Json{{"value", value}});
}
