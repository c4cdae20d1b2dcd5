#include "agent/event_log.h"

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
  log.events.push_back({seq, std::make_shared<const std::string>(dump_json(event))});
  if (log.events.size() > MAX_EVENTS) log.events.pop_front();
  if (batch_depth == 0) {
    log.changed.notify_all();
  } else if (deferred.empty() || deferred.back() != &log) {
    deferred.push_back(&log);
  }
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

std::vector<StoredEvent> wait_events_after(EventLog& log, std::uint64_t since,
                                           std::chrono::milliseconds wait) {
  MutexLock guard(log.lock);
  log.lock.wait_for(log.changed, wait, [&]() REQUIRES(log.lock) {
    return !log.events.empty() && log.events.back().seq > since;
  });
  return copy_after(log, since);
}

std::uint64_t last_seq(EventLog& log) {
  MutexLock guard(log.lock);
  return log.seq;
}
