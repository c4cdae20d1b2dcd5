#include "agent/translate.h"

#include <optional>
#include <string>
#include <utility>

#include "agent/control.h"
#include "agent/event_log.h"
#include "agent/fast_delta.h"
#include "agent/registry.h"
#include "config/policy.h"
#include "store/transcripts.h"
#include "util/background.h"
#include "util/log.h"
#include "util/platform.h"
#include "util/text.h"
#include "util/tool_summary.h"

namespace {

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
  npc.locked([&](NpcState& s) { s.streamed_text += text; });
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
    npc.locked([](NpcState& s) { s.streamed_text.clear(); });
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
    std::string streamed =
        npc.locked([](NpcState& s) { return std::exchange(s.streamed_text, std::string()); });
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
    std::string workspace = npc.locked([](NpcState& s) {
      ++s.tool_count;
      return s.workspace;
    });
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
  std::string resolved_now = as_text(record, "model");
  struct Seen {
    bool changed = false;
    std::string model, resolved, session;
    bool resumed = false;
  };
  Seen seen = npc.locked([&](NpcState& s) {
    Seen out;
    if (!reported.empty() && reported != s.session_id) {
      s.session_id = reported;
      out.changed = true;
    }
    s.resolved_model = resolved_now;
    out.model = s.model;
    out.resolved = s.resolved_model;
    out.session = s.session_id;
    out.resumed = s.resumed;
    return out;
  });
  // Only a new session is worth a write; the same id comes back every turn. The write waits
  // for the disk, so it is done off this reader: the turn's events go on meanwhile.
  if (seen.changed) {
    NpcHandle handle = npc.shared_from_this();
    run_later([handle] { save_npc(*handle); });
  }

  std::string actual = as_text(record, "permissionMode");
  std::string policy = current_policy();
  std::string wanted = permission_mode_for(policy).mode;
  if (wanted != actual) {
    push_event(
        npc, "policy_downgraded",
        Json{{"wanted", wanted}, {"actual", actual}, {"policy", policy}, {"model", seen.resolved}});
  }

  std::string session = reported.empty() ? seen.session : reported;
  // Reads the transcript files: no lock may be held here.
  Json info = transcript_summary(session);
  if (!info.is_object()) info = Json::object();
  info["session_id"] = session;
  info["model"] = seen.model;
  info["resolved"] = seen.resolved;
  info["resumed"] = seen.resumed;
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
    std::uint64_t tools = npc.locked([](NpcState& s) { return s.tool_count; });
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

  // A model chosen during the turn applies once the last words have their result: the
  // process is marked retiring at once, so nothing more is written to it.
  std::optional<std::uint64_t> retiring =
      npc.locked([&](NpcState& s) -> std::optional<std::uint64_t> {
        s.streamed_text.clear();
        bool current = generation == nullptr || (s.agent && s.agent->generation == *generation);
        if (!current) return std::nullopt;
        // Lines the player wrote during the turn are answered in turns of their own: the NPC is
        // done only when the last of them has its result.
        if (s.unanswered > 0) --s.unanswered;
        if (s.unanswered != 0) return std::nullopt;
        set_activity(npc, s, Activity::Idle);
        if (!s.pending_model) return std::nullopt;
        s.model = std::move(*s.pending_model);
        s.pending_model.reset();
        s.resolved_model.clear();
        if (!s.agent) return 0;
        s.agent->retiring = true;
        return s.agent->generation;
      });
  if (retiring) {
    // The game sees "result" and "idle" before the wait for the process to end.
    flush_deferred_wakeups();
    apply_pending_model(npc, *retiring);
  }
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

void translate_line(Npc& npc, std::uint64_t generation, std::string_view raw) {
  // Nearly every line of a reply is a plain delta, read without a document tree; whatever the
  // fast way is not sure of goes the ordinary way. A delta needs no early wake-up either way.
  if (relay_fast_delta(npc, raw)) return;
  std::string line = trim(to_valid_utf8(raw));
  if (line.empty() || line.front() != '{') return;
  std::optional<Json> record = parse_json(line);
  if (!record) return;
  try {
    translate(npc, *record, &generation);
    // Only runs of reply deltas wait for the end of the read; anything else may be followed
    // by a wait and must reach the game first.
    if (!record->is_object() || as_text(*record, "type") != "stream_event")
      flush_deferred_wakeups();
  } catch (...) {
    flush_deferred_wakeups();
    // One bad record must not end the conversation; the locks were released by their scopes.
    bridge_log("npc=" + npc.id() + " handler error on a " + as_text(*record, "type") + " event");
  }
}
