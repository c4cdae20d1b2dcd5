// The agent's standard output, whatever it holds, turned into the events a game follows: every
// event is a JSON object with "seq", "type" and the NPC's "npc", numbered one after another,
// and the text of each reply message reaches the game exactly once.
//
// Input: the output lines, one per line.

#include <future>
#include <memory>

#include "agent/event_log.h"
#include "agent/npc.h"
#include "agent/translate.h"
#include "config/config.h"
#include "config/policy.h"
#include "fuzz_support.h"
#include "util/background.h"

namespace {

const std::string NPC_ID = "fuzzed";

// The pieces of a record that decide what reaches the game as reply text.
struct ReplyPart {
  enum Kind { None, Delta, MessageStart, FullText, TurnEnd } kind = None;
  std::string text;
};

ReplyPart reply_part(const Json& record) {
  std::string type = as_text(record, "type");
  if (type == "result") return {ReplyPart::TurnEnd, ""};  // a sub-agent's too
  if (is_truthy(record, "parent_tool_use_id")) return {};
  if (type == "stream_event") {
    Json event = or_zero(record, "event");
    std::string kind = as_text(event, "type");
    if (kind == "message_start") return {ReplyPart::MessageStart, ""};
    Json delta = or_zero(event, "delta");
    if (kind != "content_block_delta" || as_text(delta, "type") != "text_delta") return {};
    return {ReplyPart::Delta, as_text(delta, "text")};
  }
  if (type != "assistant" || is_truthy(record, "is_api_error_message")) return {};
  std::string full;
  Json content = or_zero(or_zero(record, "message"), "content");
  if (content.is_array()) {
    for (const Json& block : content)
      if (as_text(block, "type") == "text") full += as_text(block, "text");
  }
  return {ReplyPart::FullText, full};
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Session descriptions look for transcripts under HOME: an empty one here.
  ::setenv("HOME", scratch_dir().c_str(), 1);
  store_config(Config{.workspace = scratch_dir()});
  store_state_file_path(scratch_dir() + "/bridge_state.json");
  set_policy("auto");
  return 0;
}

FUZZ_TARGET(input) {
  NpcHandle npc = std::make_shared<Npc>(NPC_ID);  // a new session is saved through a handle
  npc->locked([](NpcState& s) { s.workspace = scratch_dir(); });
  std::uint64_t last_seq = 0;
  std::string streamed;  // reply text the game has had since the message began

  for (std::string_view rest = input; !rest.empty();) {
    std::string_view line = take_line(rest);
    translate_line(*npc, 0, line);

    std::vector<StoredEvent> produced = events_after(npc->events, last_seq);
    std::string sent;  // the reply text this line gave the game
    bool ended = false;
    for (const StoredEvent& stored : produced) {
      // Numbered one after another, unless one record made more events than the log keeps.
      FUZZ_CHECK(stored.seq == last_seq + 1 || produced.size() == EventLog::MAX_EVENTS);
      FUZZ_CHECK(stored.seq > last_seq);
      last_seq = stored.seq;
      std::optional<Json> event = parse_json(stored.json());
      FUZZ_CHECK(event && event->is_object());
      FUZZ_CHECK((*event)["seq"] == stored.seq && (*event)["npc"] == NPC_ID);
      const Json& type = (*event)["type"];
      FUZZ_CHECK(type.is_string() && !type.get<std::string>().empty());
      if (type == "delta") {
        const Json& text = (*event)["text"];
        FUZZ_CHECK(!ended && text.is_string() && !text.get<std::string>().empty());
        sent += text.get<std::string>();
      }
      ended = ended || type == "message_end";
    }

    std::optional<Json> record = record_of(line);
    ReplyPart part = record ? reply_part(*record) : ReplyPart{};
    if (part.kind == ReplyPart::Delta) {
      FUZZ_CHECK(sent == part.text && !ended);
      streamed += sent;
    } else if (part.kind == ReplyPart::FullText && !part.text.empty()) {
      // The deltas so far and what completes them make the message once; when they
      // disagree with it, the whole message is sent again.
      FUZZ_CHECK(ended && (streamed + sent == part.text || sent == part.text));
      if (std::string_view(part.text).starts_with(streamed))
        FUZZ_CHECK(streamed + sent == part.text);
      streamed.clear();
    } else {
      // No other record sends reply text. A message of tool uses only (no text) leaves the
      // deltas streamed so far awaiting their text; a new message or a turn's end does not.
      FUZZ_CHECK(sent.empty() && !ended);
      if (part.kind == ReplyPart::MessageStart || part.kind == ReplyPart::TurnEnd) streamed.clear();
    }
  }
  // Waits for the state-file writes handed to the background so far.
  std::promise<void> done;
  run_later([&] { done.set_value(); });
  done.get_future().wait();
}
