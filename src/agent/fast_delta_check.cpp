#include "agent/fast_delta_check.h"

#include <optional>
#include <vector>

#include "agent/npc.h"
#include "agent/translate.h"
#include "util/text.h"

namespace {

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

}  // namespace

bool fast_path_agrees(std::string_view line, std::string* why) {
  auto differ = [why](std::string reason) {
    if (why != nullptr) *why = std::move(reason);
    return false;
  };
  Npc fast{std::string(CHECK_NPC)};
  Npc ordinary{std::string(CHECK_NPC)};
  for (Npc* npc : {&fast, &ordinary}) {
    npc->locked([](NpcState& s) { s.streamed_text = STREAMED_BEFORE; });
  }
  if (!relay_fast_delta(fast, line)) return true;

  // The ordinary way, as the reader takes it.
  std::string cleaned = trim(to_valid_utf8(line));
  std::optional<Json> record;
  if (!cleaned.empty() && cleaned.front() == '{') record = parse_json(cleaned);
  if (record) {
    // Other records may write files; the fast way has no business with them anyway.
    std::string type = as_text(*record, "type");
    if (type != "stream_event") return differ("taken, but the record's type is \"" + type + "\"");
    translate_record(ordinary, *record);
  }

  std::vector<std::string> got = outcome(fast);
  std::vector<std::string> want = outcome(ordinary);
  if (got != want) {
    return differ("events and streamed text " + dump_json(Json(got)) +
                  " where the ordinary way gives " + dump_json(Json(want)));
  }
  // Both ways write a delta through the same writer: hold it to the general one.
  if (got.size() > 1) {
    Npc reference{std::string(CHECK_NPC)};
    push_event(reference, "delta", Json{{"text", got.back().substr(STREAMED_BEFORE.size())}});
    std::string written = outcome(reference).front();
    if (got[0] != written) return differ("event " + got[0] + " where push_event writes " + written);
  }
  return true;
}
