#include "util/background.h"

#include <condition_variable>
#include <deque>
#include <system_error>
#include <thread>

#include "util/thread_annotations.h"

namespace {

struct Queue {
  Mutex lock;
  std::condition_variable ready;
  std::deque<std::function<void()>> jobs GUARDED_BY(lock);
  bool started GUARDED_BY(lock) = false;
};

// Never destroyed: the worker may still run while the process exits.
Queue& queue() {
  static auto* q = new Queue();
  return *q;
}

void work() {
  Queue& q = queue();
  for (;;) {
    std::function<void()> job;
    {
      MutexLock hold(q.lock);
      q.lock.wait(q.ready, [&]() REQUIRES(q.lock) { return !q.jobs.empty(); });
      job = std::move(q.jobs.front());
      q.jobs.pop_front();
    }
    job();
  }
}

}  // namespace

void run_later(std::function<void()> job) {
  Queue& q = queue();
  {
    MutexLock hold(q.lock);
    if (!q.started) {
      try {
        std::thread(work).detach();
        q.started = true;
      } catch (const std::system_error&) {
      }
    }
    if (q.started) {
      q.jobs.push_back(std::move(job));
      job = nullptr;
    }
  }
  if (job) {
    job();
    return;
  }
  q.ready.notify_one();
}
