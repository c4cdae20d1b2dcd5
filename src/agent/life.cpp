#include "agent/life.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <unordered_map>

#include "agent/launch.h"
#include "agent/readers.h"
#include "config/config.h"
#include "config/policy.h"
#include "store/transcripts.h"
#include "util/log.h"
#include "util/os_error.h"
#include "util/paths.h"
#include "util/platform.h"
#include "util/text.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto STOP_POLL = std::chrono::milliseconds(50);
constexpr auto STOP_GRACE = std::chrono::seconds(5);
// A process that left its standard error to a child of its own must not hold up its report.
constexpr auto STDERR_DRAIN_LIMIT = std::chrono::seconds(2);
constexpr std::size_t MAX_ERROR_CHARS = 500;

std::atomic<bool> launches_closed{false};

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

// What a stop takes out of the record, to be ended with no lock held.
struct Retired {
  std::optional<AgentProcess> agent;
  std::string settings_path;
  std::unordered_map<std::string, std::shared_ptr<PendingPermission>> pending;
};

Retired take_agent(NpcState& s) {
  Retired out{std::move(s.agent), std::exchange(s.settings_path, ""),
              std::move(s.pending_permissions)};
  s.agent.reset();
  s.pending_permissions.clear();
  s.unanswered = 0;
  return out;
}

// Ends what was taken out: the process, its settings file, the approvals it waited for.
void finish_retired(Retired& retired) {
  if (retired.agent) {
    end_process(retired.agent->pid);
    if (retired.agent->input) retired.agent->input->close();
  }
  if (!retired.settings_path.empty()) ::unlink(retired.settings_path.c_str());
  for (auto& [id, permission] : retired.pending) {
    permission->decide({"deny", "The conversation ended."});
  }
}

// Starts the process for `in` in `workspace`. The error text when it could not be started.
struct Spawned {
  std::optional<SpawnedChild> child;
  std::string error;
};

Spawned spawn_agent(const LaunchInputs& in, const std::string& workspace) {
  const Config& cfg = config();
  SpawnResult spawned =
      spawn_child({cfg.claude, agent_arguments(in), agent_environment(cfg.keep_api_key), workspace});
  if (!spawned.child) return {std::nullopt, "Cannot launch claude: " + os_error_text(spawned.error)};
  // The player's words are written with a time limit, so the pipe must not block.
  int fd = spawned.child->stdin_fd.get();
  int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  return {std::move(spawned.child), ""};
}

// Launches a new agent for the NPC, which has none. nullopt (after an "error" event) when it
// cannot be started.
std::optional<RunningAgent> launch(Npc& npc) REQUIRES(npc.control) {
  const Config& cfg = config();
  PermissionMode mode = permission_mode_for(current_policy());
  std::string workspace;
  LaunchInputs in;
  in.npc_id = npc.id();
  in.permission_mode = mode.mode;
  npc.locked([&](NpcState& s) {
    workspace = s.workspace;
    in.model = s.model;
    in.ask_tools = s.ask_tools;
    in.session_id = s.session_id;
    in.persona = s.persona;
  });

  if (!is_directory(workspace)) {
    push_event(npc, "error", {{"message", "Workspace no longer exists: " + workspace}});
    return std::nullopt;
  }
  if (mode.hook && !in.ask_tools.empty()) {
    std::string path = settings_file_path(npc.id());
    std::string command = hook_command(cfg.self_exe, cfg.host, cfg.port, npc.id());
    if (int err = write_private_file(path, dump_json(hook_settings(command, in.ask_tools)))) {
      bridge_log("npc=" + npc.id() + " cannot write hook settings: " + os_error_text(err));
    } else {
      in.settings_path = path;
    }
  }
  if (!in.session_id.empty() && !find_transcript(in.session_id)) {
    // The CLI cannot resume a conversation it keeps no transcript of: every say would fail
    // the same way. Start a new one instead.
    bridge_log("npc=" + npc.id() + " session " + in.session_id +
               " has no transcript; starting a new conversation");
    npc.locked([&](NpcState& s) {
      s.session_id.clear();
      s.resumed = false;
    });
    in.session_id.clear();
  }

  bridge_log("npc=" + npc.id() + " spawn resume=" + (in.session_id.empty() ? "-" : in.session_id) +
             " cwd=" + workspace);
  Spawned spawned = spawn_agent(in, workspace);
  if (!spawned.child) {
    if (!in.settings_path.empty()) ::unlink(in.settings_path.c_str());
    push_event(npc, "error", {{"message", spawned.error}});
    return std::nullopt;
  }
  SpawnedChild& child = *spawned.child;
  auto input = std::make_shared<AgentInput>(std::move(child.stdin_fd));
  auto stderr_done = std::make_shared<ReaderDone>();
  std::uint64_t generation = npc.locked([&](NpcState& s) {
    std::uint64_t g = ++s.launch_count;
    // The tail explains how this process ends: an earlier process's last words would blame
    // it for something it never said.
    s.stderr_tail.clear();
    s.settings_path = in.settings_path;
    s.agent = AgentProcess{child.pid, g, input, stderr_done, false};
    return g;
  });

  std::optional<std::string> failed = start_readers(npc.shared_from_this(), generation,
                                                    std::move(child.stdout_fd),
                                                    std::move(child.stderr_fd), stderr_done);
  if (failed) {
    // Without its reader nobody would notice the process end: give it up at once.
    ::kill(child.pid, SIGKILL);
    Retired retired = npc.locked([&](NpcState& s) { return take_agent(s); });
    finish_retired(retired);
    push_event(npc, "error", {{"message", "Cannot launch claude: " + *failed}});
    return std::nullopt;
  }
  npc.locked([&](NpcState& s) { set_activity(npc, s, Activity::Idle); });
  return RunningAgent{generation, input};
}

}  // namespace

std::optional<RunningAgent> ensure_agent(Npc& npc) {
  if (launches_closed.load()) return std::nullopt;
  struct Current {
    pid_t pid = -1;
    bool retiring = false;
    RunningAgent agent;
  };
  std::optional<Current> current = npc.locked([](NpcState& s) -> std::optional<Current> {
    if (!s.agent) return std::nullopt;
    return Current{s.agent->pid, s.agent->retiring, {s.agent->generation, s.agent->input}};
  });
  if (current) {
    if (!current->retiring && !child_exited(current->pid)) return current->agent;
    if (current->retiring) {
      stop_agent(npc, true);
    } else {
      // Found ended before its reader reported it: collect it here and start afresh. Its
      // reader will find a newer generation and end without a word.
      Retired retired = npc.locked([](NpcState& s) { return take_agent(s); });
      finish_retired(retired);
    }
  }
  return launch(npc);
}

void stop_agent(Npc& npc, bool keep_session) {
  Retired retired = npc.locked([&](NpcState& s) {
    if (!keep_session) {
      s.session_id.clear();
      s.resumed = false;
    }
    return take_agent(s);
  });
  finish_retired(retired);
  npc.locked([&](NpcState& s) { set_activity(npc, s, Activity::Asleep); });
}

void retire_agent(Npc& npc, std::uint64_t generation) {
  MutexLock section(npc.control);
  bool current = npc.locked(
      [&](NpcState& s) { return s.agent && s.agent->generation == generation; });
  if (current) stop_agent(npc, true);
}

void report_agent_end(Npc& npc, std::uint64_t generation, std::shared_ptr<ReaderDone> stderr_done) {
  MutexLock section(npc.control);
  std::optional<AgentProcess> process = npc.locked([&](NpcState& s) -> std::optional<AgentProcess> {
    if (!s.agent || s.agent->generation != generation) return std::nullopt;
    std::optional<AgentProcess> taken = std::move(s.agent);
    s.agent.reset();
    return taken;
  });
  if (!process) return;
  // Closing its input first lets an agent that still reads it finish rather than wait forever.
  if (process->input) process->input->close();
  int code = wait_child(process->pid);
  stderr_done->wait_for(STDERR_DRAIN_LIMIT);
  std::string message = npc.locked([&](NpcState& s) {
    return s.stderr_tail.empty() ? "exit code " + std::to_string(code) : s.stderr_tail.back();
  });
  push_event(npc, "error", Json{{"message", truncate_chars(message, MAX_ERROR_CHARS)}});
  // Keeps the session, so the next thing the player says resumes the conversation.
  stop_agent(npc, true);
}

void close_launches() { launches_closed.store(true); }
