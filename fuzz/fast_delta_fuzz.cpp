// The fast reading of an agent's reply deltas against the ordinary one: for any line, the fast
// way either declines it or gives the very events and streamed text that cleaning the line up,
// parsing it and translating the record give.
//
// Input: lines. Each line is checked as it stands, and once more as the text value of a delta
// record the way the agent writes one, so that the fuzzer spends its time on the string
// escapes, UTF-8 and number forms a reply piece may hold rather than on finding the record.

#include "agent/fast_delta_check.h"
#include "fuzz_support.h"

namespace {

constexpr std::string_view DELTA_BEFORE_TEXT =
    R"({"type":"stream_event","event":{"type":"content_block_delta","index":0,)"
    R"("delta":{"type":"text_delta","text":)";
constexpr std::string_view DELTA_AFTER_TEXT =
    R"(}},"session_id":"5f0c2b8e-4d1a-4c3e-9a7b-2e1d0c9b8a7f","parent_tool_use_id":null})";

void check_agrees(std::string_view line) {
  std::string why;
  bool agrees = fast_path_agrees(line, &why);
  if (!agrees) std::fprintf(stderr, "the fast way differs: %s\n", why.c_str());
  FUZZ_CHECK(agrees);
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
