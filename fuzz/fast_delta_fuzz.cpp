// The fast reading of an agent's reply deltas against the ordinary one: for any line, the fast
// way either declines it or gives, byte for byte, the events (in push_event's form) and the
// streamed text that cleaning the line up, parsing it and translating the record give.
//
// Input: lines, each checked as it stands and again as the text of a delta record as the agent
// writes one, so that the fuzzer spends its time on the escapes, UTF-8 and number forms a reply
// piece may hold rather than on finding the record.

#include "agent/npc.h"
#include "agent/translate.h"
#include "fuzz_support.h"

namespace {

constexpr std::string_view DELTA_BEFORE_TEXT =
    R"({"type":"stream_event","event":{"type":"content_block_delta","index":0,)"
    R"("delta":{"type":"text_delta","text":)";
constexpr std::string_view DELTA_AFTER_TEXT =
    R"(}},"session_id":"5f0c2b8e-4d1a-4c3e-9a7b-2e1d0c9b8a7f","parent_tool_use_id":null})";
// An id that needs escaping, and text already streamed, so that both are compared too.
constexpr std::string_view CHECK_NPC = "npc \"\\\" \xC3\xA9";
constexpr std::string_view STREAMED_BEFORE = "Hel";

// Every event of the NPC as stored, then the text it has streamed.
std::vector<std::string> outcome(Npc& npc) {
  std::vector<std::string> texts;
  for (const StoredEvent& e : events_after(npc.events, 0)) texts.emplace_back(e.json());
  texts.push_back(npc.locked([](NpcState& s) { return s.streamed_text; }));
  return texts;
}

void check_same(const std::string& fast, const std::string& ordinary) {
  if (fast != ordinary)
    std::fprintf(stderr, "fast way: %s\nordinary way: %s\n", fast.c_str(), ordinary.c_str());
  FUZZ_CHECK(fast == ordinary);
}

void check_agrees(std::string_view line) {
  Npc fast{std::string(CHECK_NPC)};
  Npc ordinary{std::string(CHECK_NPC)};
  for (Npc* npc : {&fast, &ordinary})
    npc->locked([](NpcState& s) { s.streamed_text = STREAMED_BEFORE; });
  if (!relay_fast_delta(fast, line)) return;

  if (std::optional<Json> record = record_of(line)) {
    // Other records may write files; the fast way has no business with them anyway.
    check_same("stream_event", as_text(*record, "type"));
    translate_record(ordinary, *record);
  }
  std::vector<std::string> got = outcome(fast);
  check_same(dump_json(Json(got)), dump_json(Json(outcome(ordinary))));
  // Both ways write a delta through the same writer: hold it to the general one.
  if (got.size() > 1) {
    Npc reference{std::string(CHECK_NPC)};
    push_event(reference, "delta", Json{{"text", got.back().substr(STREAMED_BEFORE.size())}});
    check_same(got[0], outcome(reference).front());
  }
}

}  // namespace

FUZZ_TARGET(input) {
  std::string delta_line;
  for (std::string_view rest = input; !rest.empty();) {
    std::string_view line = take_line(rest);
    check_agrees(line);
    delta_line.assign(DELTA_BEFORE_TEXT).append(line).append(DELTA_AFTER_TEXT);
    check_agrees(delta_line);
  }
}
