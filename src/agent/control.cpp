#include "agent/control.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "agent/launch.h"
#include "store/state_file.h"
#include "store/transcripts.h"
#include "util/os_error.h"
#include "util/platform.h"
#include "util/text.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto STOP_POLL = std::chrono::milliseconds(50);
constexpr auto STOP_GRACE = std::chrono::seconds(5);
// An agent that stops reading its input for this long is treated as lost, so that a stuck
// process can never hold the NPC lock (and with it the whole NPC) forever.
constexpr int STDIN_WRITE_TIMEOUT_MS = 10'000;

std::string user_line(const std::string& words) {
  Json line = {{"type", "user"},
               {"message", {{"role", "user"}, {"content", Json::array({{{"type", "text"}, {"text", words}}})}}}};
  return dump_json(line) + "\n";
}

// Writes the whole line to the agent's (non-blocking) standard input. Returns 0 or an errno.
int write_line(int fd, const std::string& line) {
  std::size_t off = 0;
  while (off < line.size()) {
    ssize_t n = ::write(fd, line.data() + off, line.size() - off);
    if (n > 0) {
      off += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd, POLLOUT, 0};
      int rc = ::poll(&p, 1, STDIN_WRITE_TIMEOUT_MS);
      if (rc < 0 && errno == EINTR) continue;
      if (rc == 0) return ETIMEDOUT;
      if (rc < 0) return errno;
      continue;
    }
    return n < 0 ? errno : EIO;
  }
  return 0;
}

// Ends the process we own: SIGTERM, a look every 50 ms, SIGKILL after 5 s; always collects it.
void end_process(pid_t pid) {
  if (child_exited(pid)) {
    wait_child(pid);
    return;
  }
  ::kill(pid, SIGTERM);
  auto deadline = Clock::now() + STOP_GRACE;
  while (Clock::now() < deadline) {
    std::this_thread::sleep_for(STOP_POLL);
    if (child_exited(pid)) {
      wait_child(pid);
      return;
    }
  }
  ::kill(pid, SIGKILL);
  wait_child(pid);
}

}  // namespace

bool say(const NpcHandle& npc, const std::string& words) {
  ensure_agent(npc);
  std::unique_lock<std::mutex> guard(npc->lock);
  NpcState& s = npc->state;
  if (!s.agent || child_exited(s.agent->pid)) return false;
  // Written under the NPC lock: lines of concurrent says never interleave and always reach
  // the process that is current at this moment.
  if (int err = write_line(s.agent->stdin_fd.get(), user_line(words)); err != 0) {
    guard.unlock();
    push_event(*npc, "error", {{"message", "Lost the agent process: " + os_error_text(err)}});
    return false;
  }
  ++s.unanswered;
  if (s.state != "working") {
    s.turn_started = Clock::now();
    s.tool_count = 0;
    set_state(*npc, "working");
  }
  guard.unlock();
  push_event(*npc, "said", {{"text", words}});
  return true;
}

void interrupt(const NpcHandle& npc) {
  {
    std::lock_guard<std::mutex> guard(npc->lock);
    if (!npc->state.agent) return;
  }
  push_event(*npc, "interrupted");
  stop_agent(*npc, true);
  remember_npc(*npc);
}

void stop_agent(Npc& npc, bool keep_session) {
  std::optional<AgentProcess> agent;
  std::string settings;
  std::unordered_map<std::string, std::shared_ptr<PendingPermission>> pending;
  {
    std::lock_guard<std::mutex> guard(npc.lock);
    NpcState& s = npc.state;
    if (!keep_session) s.session_id.clear();
    agent = std::move(s.agent);
    s.agent.reset();
    settings = std::exchange(s.settings_path, "");
    pending = std::move(s.pending_permissions);
    s.pending_permissions.clear();
    s.unanswered = 0;
  }
  if (agent) end_process(agent->pid);
  agent.reset();  // closes the agent's standard input
  if (!settings.empty()) ::unlink(settings.c_str());
  for (auto& [id, permission] : pending) permission->decide({"deny", "The conversation ended."});
  std::lock_guard<std::mutex> guard(npc.lock);
  set_state(npc, "asleep");
}

Json request_model(const NpcHandle& npc, const std::string& requested) {
  std::string m = trim(requested);
  std::unique_lock<std::mutex> guard(npc->lock);
  NpcState& s = npc->state;
  if (m == s.model && !s.pending_model) return {{"ok", true}, {"model", s.model}, {"pending", false}};
  if (s.state == "working" || s.state == "asking") {
    s.pending_model = m;
    std::string current = s.model;
    guard.unlock();
    push_event(*npc, "model", {{"model", m}, {"pending", true}, {"current", current}});
    return {{"ok", true}, {"model", m}, {"pending", true}};
  }
  guard.unlock();
  apply_model(*npc, m);
  return {{"ok", true}, {"model", npc_model(*npc)}, {"pending", false}};
}

void apply_model(Npc& npc, const std::string& model) {
  {
    std::lock_guard<std::mutex> guard(npc.lock);
    npc.state.model = model;
    npc.state.pending_model.reset();
    npc.state.resolved_model.clear();
  }
  stop_agent(npc, true);
  remember_npc(npc);
  announce_model(npc);
}

void announce_model(Npc& npc) {
  std::string model, resolved;
  {
    std::lock_guard<std::mutex> guard(npc.lock);
    model = npc.state.model;
    resolved = npc.state.resolved_model;
  }
  push_event(npc, "model", {{"model", model}, {"pending", false}, {"current", model}, {"resolved", resolved}});
}

void announce_workspace(Npc& npc) {
  std::string workspace;
  bool is_default;
  {
    std::lock_guard<std::mutex> guard(npc.lock);
    workspace = npc.state.workspace;
    is_default = npc.state.workspace_source == "default";
  }
  push_event(npc, "workspace", {{"workspace", workspace}, {"is_default", is_default}});
}

void announce_session(Npc& npc) {
  Json info = session_info(npc);
  {
    std::lock_guard<std::mutex> guard(npc.lock);
    info["model"] = npc.state.model;
    info["resolved"] = npc.state.resolved_model;
  }
  push_event(npc, "session", info);
}

std::optional<std::string> resume_session(Npc& npc, const std::string& requested,
                                          const std::vector<NpcHandle>& all) {
  if (requested == npc_session_id(npc)) return std::nullopt;
  if (!requested.empty()) {
    for (const NpcHandle& other : all) {
      if (other->id == npc.id) continue;
      if (npc_session_id(*other) == requested) return other->id + " is using that session";
    }
    if (!find_transcript(requested)) return "no transcript with that id";
  }
  stop_agent(npc, true);
  {
    std::lock_guard<std::mutex> guard(npc.lock);
    npc.state.session_id = requested;
    npc.state.resumed = !requested.empty();
  }
  remember_npc(npc);
  announce_session(npc);
  return std::nullopt;
}

void new_session(Npc& npc) {
  stop_agent(npc, false);
  {
    std::lock_guard<std::mutex> guard(npc.lock);
    npc.state.resumed = false;
  }
  remember_npc(npc);
  announce_session(npc);
}
