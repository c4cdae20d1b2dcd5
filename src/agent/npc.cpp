#include "agent/npc.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

std::string_view activity_name(Activity activity) {
  switch (activity) {
    case Activity::Asleep:
      return "asleep";
    case Activity::Idle:
      return "idle";
    case Activity::Working:
      return "working";
    case Activity::Asking:
      return "asking";
  }
  return "asleep";
}

void ReaderDone::finish() {
  {
    MutexLock hold(mutex_);
    finished_ = true;
  }
  finished_cv_.notify_all();
}

void ReaderDone::wait_for(std::chrono::milliseconds limit) {
  MutexLock hold(mutex_);
  mutex_.wait_for(finished_cv_, limit, [&]() REQUIRES(mutex_) { return finished_; });
}

int AgentInput::write_line(std::string_view line, int timeout_ms) {
  MutexLock hold(mutex_);
  int fd = fd_.get();
  if (fd < 0) return EPIPE;
  int result = 0;
  while (!line.empty()) {
    ssize_t n = ::write(fd, line.data(), line.size());
    if (n > 0) {
      line.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd, POLLOUT, 0};
      int rc = ::poll(&p, 1, timeout_ms);
      if (rc < 0 && errno == EINTR) continue;
      if (rc > 0) continue;
      result = rc == 0 ? ETIMEDOUT : errno;
      break;
    }
    result = n < 0 ? errno : EIO;
    break;
  }
  if (result != 0) fd_.reset();
  return result;
}

void AgentInput::close() {
  MutexLock hold(mutex_);
  fd_.reset();
}

NpcView Npc::view() {
  MutexLock hold(state_lock_);
  const NpcState& s = state_;
  return {s.activity, s.workspace,     s.workspace_is_default, s.session_id, s.resumed,
          s.persona,  s.model,         s.resolved_model};
}

void set_activity(Npc& npc, NpcState& state, Activity activity) {
  if (state.activity == activity) return;
  state.activity = activity;
  push_event(npc, "state", Json{{"value", activity_name(activity)}});
}
