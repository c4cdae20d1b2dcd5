#include "agent/fast_delta.h"

#include "util/json_scan.h"

namespace {

// The places of a stream record that decide what it is; the order gives the indexes below.
enum Field { TYPE, PARENT, EVENT_TYPE, DELTA_TYPE, DELTA_TEXT };

JsonFieldScan& scanner() {
  thread_local JsonFieldScan scan({{"type"},
                                   {"parent_tool_use_id"},
                                   {"event", "type"},
                                   {"event", "delta", "type"},
                                   {"event", "delta", "text"}});
  return scan;
}

bool is_string(const ScannedValue& value, std::string_view text) {
  return value.kind == ScannedValue::Kind::string && value.text == text;
}

}  // namespace

FastLine read_fast_line(std::string_view line, std::string_view& text) {
  JsonFieldScan& scan = scanner();
  if (!scan.scan(line) || !is_string(scan.value(TYPE), "stream_event")) return FastLine::unsure;
  // Only the plain forms of "parent_tool_use_id" are decided here: none (the NPC's own
  // conversation) or a tool use's id (a sub-agent, which the game does not follow).
  const ScannedValue& parent = scan.value(PARENT);
  if (parent.kind == ScannedValue::Kind::string && !parent.text.empty()) return FastLine::ignored;
  if (parent.kind != ScannedValue::Kind::absent && parent.kind != ScannedValue::Kind::null) {
    return FastLine::unsure;
  }
  const ScannedValue& piece = scan.value(DELTA_TEXT);
  if (!is_string(scan.value(EVENT_TYPE), "content_block_delta") ||
      !is_string(scan.value(DELTA_TYPE), "text_delta") ||
      piece.kind != ScannedValue::Kind::string || piece.text.empty()) {
    return FastLine::unsure;
  }
  text = piece.text;
  return FastLine::delta;
}
