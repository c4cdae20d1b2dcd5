#include "agent/control.h"

#include <chrono>
#include <exception>
#include <thread>
#include <vector>

#include "agent/life.h"
#include "agent/registry.h"
#include "config/policy.h"
#include "store/transcripts.h"
#include "util/log.h"
#include "util/os_error.h"
#include "util/text.h"

namespace {

// An agent that stops reading its input for this long is treated as lost.
constexpr int STDIN_WRITE_TIMEOUT_MS = 10'000;

std::string user_line(const std::string& words) {
  Json line = {{"type", "user"},
               {"message", {{"role", "user"}, {"content", Json::array({{{"type", "text"}, {"text", words}}})}}}};
  return dump_json(line) + "\n";
}

bool has_agent(Npc& npc) {
  return npc.locked([](NpcState& s) { return s.agent.has_value(); });
}

}  // namespace

bool say(Npc& npc, const std::string& words) {
  std::optional<RunningAgent> agent;
  {
    MutexLock section(npc.control);
    agent = ensure_agent(npc);
    if (!agent) return false;
    // Counted before the write, so the result of these words can never arrive before them.
    npc.locked([&](NpcState& s) {
      ++s.unanswered;
      // Words said while a turn runs (or while it waits for an approval) belong to that turn:
      // its clock and tool count go on.
      if (s.activity == Activity::Idle || s.activity == Activity::Asleep) {
        s.turn_started = std::chrono::steady_clock::now();
        s.tool_count = 0;
        set_activity(npc, s, Activity::Working);
      }
    });
  }
  // Written with no NPC lock held: the agent's output keeps flowing while it takes the line in.
  if (int err = agent->input->write_line(user_line(words), STDIN_WRITE_TIMEOUT_MS); err != 0) {
    push_event(npc, "error", {{"message", "Lost the agent process: " + os_error_text(err)}});
    retire_agent(npc, agent->generation);
    return false;
  }
  push_event(npc, "said", {{"text", words}});
  return true;
}

void interrupt(Npc& npc) {
  {
    MutexLock section(npc.control);
    if (!has_agent(npc)) return;
    push_event(npc, "interrupted");
    stop_agent(npc, true);
  }
  save_npc(npc);
}

void put_to_sleep(Npc& npc) {
  MutexLock section(npc.control);
  stop_agent(npc, true);
}

Json request_model(Npc& npc, const std::string& requested) {
  std::string m = trim(requested);
  {
    MutexLock section(npc.control);
    enum class Step { Nothing, Pending, Apply };
    std::string current;
    Step step = npc.locked([&](NpcState& s) {
      current = s.model;
      if (m == s.model && !s.pending_model) return Step::Nothing;
      if (s.activity == Activity::Working || s.activity == Activity::Asking) {
        s.pending_model = m;
        return Step::Pending;
      }
      s.model = m;
      s.pending_model.reset();
      s.resolved_model.clear();
      return Step::Apply;
    });
    if (step == Step::Nothing) return {{"ok", true}, {"model", current}, {"pending", false}};
    if (step == Step::Pending) {
      push_event(npc, "model", {{"model", m}, {"pending", true}, {"current", current}});
      return {{"ok", true}, {"model", m}, {"pending", true}};
    }
    stop_agent(npc, true);
  }
  save_npc(npc);
  announce_model(npc);
  return {{"ok", true}, {"model", npc.view().model}, {"pending", false}};
}

void apply_pending_model(Npc& npc, std::uint64_t generation) {
  {
    MutexLock section(npc.control);
    // A process relaunched meanwhile already runs on the new model.
    bool current = npc.locked(
        [&](NpcState& s) { return !s.agent || s.agent->generation == generation; });
    if (current) stop_agent(npc, true);
  }
  save_npc(npc);
  announce_model(npc);
}

NpcView change_settings(Npc& npc, const SettingsChange& change) {
  if (change.workspace) {
    {
      MutexLock section(npc.control);
      if (*change.workspace != npc.view().workspace) stop_agent(npc, false);
      npc.locked([&](NpcState& s) {
        s.workspace = *change.workspace;
        s.workspace_is_default = change.workspace_is_default;
      });
    }
    save_npc(npc);
    announce_workspace(npc);
  }
  npc.locked([&](NpcState& s) {
    if (change.persona) s.persona = *change.persona;
    if (change.ask_tools) s.ask_tools = *change.ask_tools;
    if (change.model && *change.model != s.model) {
      s.model = *change.model;
      s.resolved_model.clear();
    }
  });
  save_npc(npc);
  announce_model(npc);
  announce_workspace(npc);
  return npc.view();
}

std::optional<std::string> resume_session(Npc& npc, const std::string& requested) {
  if (requested == npc.view().session_id) return std::nullopt;
  if (!requested.empty()) {
    // Looked at before the control section: never two NPCs' locks at once.
    for (const NpcHandle& other : snapshot_npcs()) {
      if (other.get() == &npc) continue;
      if (other->view().session_id == requested) return other->id() + " is using that session";
    }
    if (!find_transcript(requested)) return "no transcript with that id";
  }
  {
    MutexLock section(npc.control);
    stop_agent(npc, true);
    npc.locked([&](NpcState& s) {
      s.session_id = requested;
      s.resumed = !requested.empty();
    });
  }
  save_npc(npc);
  announce_session(npc);
  return std::nullopt;
}

void new_session(Npc& npc) {
  {
    MutexLock section(npc.control);
    stop_agent(npc, false);
  }
  save_npc(npc);
  announce_session(npc);
}

void change_policy(const std::string& policy) {
  set_policy(policy);
  bridge_log("policy    : " + policy + " (set from the game)");
  // Running agents keep the mode they were launched with: stop them, sessions kept, so the
  // next thing the player says relaunches them under the new policy.
  for (const NpcHandle& npc : snapshot_npcs()) {
    MutexLock section(npc->control);
    if (has_agent(*npc)) stop_agent(*npc, true);
  }
  for (const NpcHandle& npc : snapshot_npcs()) push_event(*npc, "policy", {{"policy", policy}});
}

void stop_every_agent() {
  close_launches();
  auto stop = [](const NpcHandle& npc) {
    MutexLock section(npc->control);
    stop_agent(*npc, true);
  };
  std::vector<NpcHandle> npcs = snapshot_npcs();
  std::vector<std::thread> stops;
  stops.reserve(npcs.size());
  for (const NpcHandle& npc : npcs) {
    try {
      stops.emplace_back(stop, npc);
    } catch (const std::exception&) {
      stop(npc);  // no thread to spare: stop this one here
    }
  }
  for (std::thread& t : stops) t.join();
}

void announce_model(Npc& npc) {
  NpcView v = npc.view();
  push_event(npc, "model",
             {{"model", v.model}, {"pending", false}, {"current", v.model}, {"resolved", v.resolved_model}});
}

void announce_workspace(Npc& npc) {
  NpcView v = npc.view();
  push_event(npc, "workspace", {{"workspace", v.workspace}, {"is_default", v.workspace_is_default}});
}

void announce_session(Npc& npc) {
  NpcView v = npc.view();
  Json info = session_info(v.session_id, v.resumed);
  info["model"] = v.model;
  info["resolved"] = v.resolved_model;
  push_event(npc, "session", info);
}
