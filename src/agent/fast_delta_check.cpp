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

std::vector<std::string> event_texts(Npc& npc) {
  std::vector<std::string> texts;
  for (const StoredEvent& e : events_after(npc.events, 0)) texts.emplace_back(e.json());
  return texts;
}

std::string streamed(Npc& npc) {
  return npc.locked([](NpcState& s) { return s.streamed_text; });
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

  std::vector<std::string> got = event_texts(fast);
  std::vector<std::string> want = event_texts(ordinary);
  if (got != want) {
    return differ("events " + dump_json(Json(got)) + " where the ordinary way gives " +
                  dump_json(Json(want)));
  }
  std::string streamed_fast = streamed(fast);
  if (streamed_fast != streamed(ordinary)) {
    return differ("streamed text \"" + streamed_fast + "\" where the ordinary way gives \"" +
                  streamed(ordinary) + "\"");
  }
  // Both ways write a delta through the same writer: hold it to the general one.
  if (!got.empty()) {
    Npc reference{std::string(CHECK_NPC)};
    push_event(reference, "delta", Json{{"text", streamed_fast.substr(STREAMED_BEFORE.size())}});
    std::vector<std::string> written = event_texts(reference);
    if (got != written) return differ("event " + got[0] + " where push_event writes " + written[0]);
  }
  return true;
}
