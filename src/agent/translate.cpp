#include "agent/translate.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "agent/control.h"
#include "agent/event_log.h"
#include "agent/fast_delta.h"
#include "config/policy.h"
#include "store/state_file.h"
#include "store/transcripts.h"
#include "util/log.h"
#include "util/platform.h"
#include "util/text.h"
#include "util/tool_summary.h"

namespace {

// As much as a pipe holds (64 KiB on Linux): a burst of output is taken in one read, and its
// events then cost each stream one wake-up.
constexpr std::size_t READ_BUFFER = 65536;
constexpr std::size_t MAX_ERROR_CHARS = 500;
constexpr std::size_t MAX_OUTPUT_CHARS = 2000;

// The record's "message" "content" when it is an array; otherwise nothing to look at.
const Json& content_blocks(const Json& record) {
  static const Json no_blocks = Json::array();
  const Json* message = field(record, "message");
  const Json* content = message != nullptr ? field(*message, "content") : nullptr;
  return content != nullptr && content->is_array() ? *content : no_blocks;
}

// Records of a sub-agent (a Task the agent started) carry the id of the tool use that runs
// it; the game only follows the NPC's own conversation.
bool from_sub_agent(const Json& record) { return is_truthy(record, "parent_tool_use_id"); }

// A piece of the reply: kept as streamed text, relayed as a "delta" event. Both ways of reading
// a delta record end here.
void relay_delta(Npc& npc, std::string_view text) {
  {
    std::lock_guard<std::mutex> guard(npc.lock);
    npc.state.streamed_text += text;
  }
  push_delta_event(npc, text);
}

void on_stream_event(Npc& npc, const Json& record) {
  const Json* event = field(record, "event");
  if (event == nullptr) return;
  std::string kind = as_text(*event, "type");
  if (kind == "content_block_delta") {
    const Json* delta = field(*event, "delta");
    if (delta == nullptr || as_text(*delta, "type") != "text_delta") return;
    std::string text = as_text(*delta, "text");
    if (!text.empty()) relay_delta(npc, text);
  } else if (kind == "message_start") {
    std::lock_guard<std::mutex> guard(npc.lock);
    npc.state.streamed_text.clear();
  }
}

void on_assistant(Npc& npc, const Json& record) {
  // A failed model call comes back as a made-up assistant message holding the API error; the
  // failed "result" that follows reports it, so the game must not see it as the NPC speaking.
  if (is_truthy(record, "is_api_error_message")) return;
  const Json& blocks = content_blocks(record);

  std::string full;
  for (const Json& block : blocks) {
    if (as_text(block, "type") == "text") full += as_text(block, "text");
  }
  if (!full.empty()) {
    std::string streamed;
    {
      std::lock_guard<std::mutex> guard(npc.lock);
      streamed = std::exchange(npc.state.streamed_text, std::string());
    }
    // Send only what the deltas have not carried yet, so every character reaches the game
    // exactly once; when they disagree, the whole message wins.
    std::string rest =
        std::string_view(full).starts_with(streamed) ? full.substr(streamed.size()) : full;
    if (!rest.empty()) push_event(npc, "delta", Json{{"text", std::move(rest)}});
    push_event(npc, "message_end");
  }

  for (const Json& block : blocks) {
    if (as_text(block, "type") != "tool_use") continue;
    std::string name = as_text(block, "name");
    if (name.empty()) name = "tool";
    const Json* given = field(block, "input");
    const Json input = is_truthy(given) ? *given : Json::object();
    std::string workspace;
    {
      std::lock_guard<std::mutex> guard(npc.lock);
      ++npc.state.tool_count;
      workspace = npc.state.workspace;
    }
    push_event(npc, "tool_start",
               Json{{"id", as_text(block, "id")},
                    {"name", name},
                    {"category", tool_category(name)},
                    {"detail", tool_detail(name, input, workspace)},
                    {"note", tool_note(name, input)}});
  }
}

void on_user(Npc& npc, const Json& record) {
  for (const Json& block : content_blocks(record)) {
    if (as_text(block, "type") != "tool_result") continue;
    const Json* content = field(block, "content");
    std::string output;
    if (content != nullptr && content->is_array()) {
      bool first = true;
      for (const Json& piece : *content) {
        if (!piece.is_object()) continue;
        if (!first) output += ' ';
        output += as_text(piece, "text");
        first = false;
      }
    } else if (is_truthy(content)) {
      output = as_text(content);
    }
    push_event(npc, "tool_end",
               Json{{"id", as_text(block, "tool_use_id")},
                    {"ok", !is_truthy(block, "is_error")},
                    {"output", truncate_chars(output, MAX_OUTPUT_CHARS)}});
  }
}

// The CLI reports its session at the start of every turn.
void on_init(Npc& npc, const Json& record) {
  std::string reported = as_text(record, "session_id");
  bool changed = false;
  {
    std::lock_guard<std::mutex> guard(npc.lock);
    if (!reported.empty() && reported != npc.state.session_id) {
      npc.state.session_id = reported;
      changed = true;
    }
    npc.state.resolved_model = as_text(record, "model");
  }
  // Only a new session is worth a write; the same id comes back every turn.
  if (changed) remember_npc(npc);

  std::string actual = as_text(record, "permissionMode");
  std::string policy = current_policy();
  std::string wanted = permission_mode_for(policy).mode;
  std::string model, resolved, stored_session;
  bool resumed = false;
  {
    std::lock_guard<std::mutex> guard(npc.lock);
    model = npc.state.model;
    resolved = npc.state.resolved_model;
    stored_session = npc.state.session_id;
    resumed = npc.state.resumed;
  }
  if (wanted != actual) {
    push_event(npc, "policy_downgraded",
               Json{{"wanted", wanted}, {"actual", actual}, {"policy", policy}, {"model", resolved}});
  }

  std::string session = reported.empty() ? stored_session : reported;
  // Reads the transcript files: no NPC lock may be held here.
  Json info = transcript_summary(session);
  if (!info.is_object()) info = Json::object();
  info["session_id"] = session;
  info["model"] = model;
  info["resolved"] = resolved;
  info["resumed"] = resumed;
  push_event(npc, "session", info);
}

// The message of a failed turn: its result text, else the CLI's list of errors (a resume of a
// lost session fails that way), else a plain notice.
std::string failure_message(const Json& record) {
  if (is_truthy(record, "result")) return as_text(record, "result");
  const Json* errors = field(record, "errors");
  if (errors != nullptr && errors->is_array()) {
    std::string joined;
    for (const Json& error : *errors) {
      if (!joined.empty()) joined += "; ";
      joined += as_text(&error);
    }
    if (!joined.empty()) return joined;
  }
  return "The agent failed.";
}

// `generation` is the process the record came from, when known: a result of a process that
// has since been stopped or replaced must not settle the turn of its successor.
void on_result(Npc& npc, const Json& record, const std::uint64_t* generation) {
  if (is_truthy(record, "is_error")) {
    push_event(npc, "error",
               Json{{"message", truncate_chars(failure_message(record), MAX_ERROR_CHARS)}});
  } else {
    const Json* given_usage = field(record, "usage");
    const Json usage = is_truthy(given_usage) ? *given_usage : Json::object();
    const Json* cost = field(record, "total_cost_usd");
    std::uint64_t tools = 0;
    {
      std::lock_guard<std::mutex> guard(npc.lock);
      tools = npc.state.tool_count;
    }
    push_event(npc, "result",
               Json{{"text", is_truthy(record, "result") ? as_text(record, "result") : ""},
                    {"turns", or_zero(record, "num_turns")},
                    {"cost", cost != nullptr && !cost->is_null() ? *cost : Json(0.0)},
                    {"duration_ms", or_zero(record, "duration_ms")},
                    {"tools", tools},
                    {"input_tokens", or_zero(usage, "input_tokens")},
                    {"output_tokens", or_zero(usage, "output_tokens")},
                    {"cache_write_tokens", or_zero(usage, "cache_creation_input_tokens")},
                    {"cache_read_tokens", or_zero(usage, "cache_read_input_tokens")}});
  }

  std::optional<std::string> model_to_apply;
  {
    std::lock_guard<std::mutex> guard(npc.lock);
    NpcState& s = npc.state;
    s.streamed_text.clear();
    bool current = generation == nullptr || (s.agent && s.agent->generation == *generation);
    if (current) {
      // Lines the player wrote during the turn are answered in turns of their own: the NPC
      // is done only when the last of them has its result.
      if (s.unanswered > 0) --s.unanswered;
      if (s.unanswered == 0) {
        set_state(npc, "idle");
        if (s.pending_model) {
          model_to_apply = std::move(*s.pending_model);
          s.pending_model.reset();
        }
      }
    }
  }
  // Restarts the agent on the new model; takes the NPC lock itself.
  if (model_to_apply) apply_model(npc, *model_to_apply);
}

void translate(Npc& npc, const Json& record, const std::uint64_t* generation) {
  std::string type = as_text(record, "type");
  if (type == "stream_event") {
    if (!from_sub_agent(record)) on_stream_event(npc, record);
  } else if (type == "assistant") {
    if (!from_sub_agent(record)) on_assistant(npc, record);
  } else if (type == "user") {
    if (!from_sub_agent(record)) on_user(npc, record);
  } else if (type == "system") {
    if (as_text(record, "subtype") == "init") on_init(npc, record);
  } else if (type == "result") {
    on_result(npc, record, generation);
  }
}

void handle_line(Npc& npc, std::uint64_t generation, std::string_view raw) {
  if (relay_fast_delta(npc, raw)) return;
  std::string line = trim(to_valid_utf8(raw));
  if (line.empty() || line.front() != '{') return;
  std::optional<Json> record = parse_json(line);
  if (!record) return;
  try {
    translate(npc, *record, &generation);
    // Only runs of reply deltas wait for the end of the read; anything else may be followed
    // by a wait (a stop, a state-file write) and must reach the game first.
    if (!record->is_object() || as_text(*record, "type") != "stream_event") flush_deferred_wakeups();
  } catch (...) {
    flush_deferred_wakeups();
    // One bad record must not end the conversation; the locks were released by their guards.
    bridge_log("npc=" + npc.id + " handler error on a " + as_text(*record, "type") + " event");
  }
}

// The agent's output ended: report it once, for the NPC's current process only.
void report_end(Npc& npc, std::uint64_t generation) {
  std::optional<AgentProcess> process;
  {
    std::lock_guard<std::mutex> guard(npc.lock);
    if (!npc.state.agent || npc.state.agent->generation != generation) return;
    process = std::move(npc.state.agent);
    npc.state.agent.reset();
  }
  // Closing its input first lets an agent that still reads it finish rather than wait forever.
  process->stdin_fd.reset();
  int code = wait_child(process->pid);
  if (process->stderr_done) process->stderr_done->wait_for(std::chrono::seconds(2));
  std::string message;
  {
    std::lock_guard<std::mutex> guard(npc.lock);
    message = npc.state.stderr_tail.empty() ? "exit code " + std::to_string(code)
                                            : npc.state.stderr_tail.back();
  }
  push_event(npc, "error", Json{{"message", truncate_chars(message, MAX_ERROR_CHARS)}});
  // Keeps the session, so the next thing the player says resumes the conversation.
  stop_agent(npc, true);
}

}  // namespace

void translate_record(Npc& npc, const Json& record) { translate(npc, record, nullptr); }

bool relay_fast_delta(Npc& npc, std::string_view line) {
  std::string_view text;
  switch (read_fast_line(line, text)) {
    case FastLine::unsure:
      return false;
    case FastLine::ignored:
      return true;
    case FastLine::delta:
      relay_delta(npc, text);
      return true;
  }
  return false;
}

void stdout_reader(NpcHandle npc, std::uint64_t generation, UniqueFd out) {
  char buffer[READ_BUFFER];
  std::string line;
  for (;;) {
    ssize_t n = ::read(out.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // end of output, or a read error, which ends it just the same
    DeferredWakeups batch;
    const char* at = buffer;
    const char* end = buffer + n;
    while (at < end) {
      const char* newline = static_cast<const char*>(std::memchr(at, '\n', end - at));
      if (newline == nullptr) {
        line.append(at, end);
        break;
      }
      line.append(at, newline);
      handle_line(*npc, generation, line);
      line.clear();
      at = newline + 1;
    }
  }
  if (!line.empty()) handle_line(*npc, generation, line);
  // Our end of the pipe goes first: an agent still writing to it then fails instead of
  // blocking forever while we wait for it to exit.
  out.reset();
  report_end(*npc, generation);
}
