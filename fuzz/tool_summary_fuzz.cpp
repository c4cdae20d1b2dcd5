// The one-line summaries of a tool use, from whatever input the agent gave the tool: readable
// text, and the bounds on what is shown.
//
// Input: the tool's name, a line feed, the workspace, a line feed, then the tool's input as
// JSON (text that is not JSON is passed as a string).

#include "fuzz_support.h"
#include "util/tool_summary.h"

FUZZ_TARGET(rest) {
  std::string_view name = take_line(rest);
  // The workspace is a path the bridge holds as text: valid UTF-8.
  std::string workspace = to_valid_utf8(take_line(rest));
  std::optional<Json> parsed = parse_json(rest);
  Json input = parsed ? std::move(*parsed) : Json(to_valid_utf8(rest));

  tool_category(name);
  std::string detail = tool_detail(name, input, workspace);
  std::string note = tool_note(name, input);
  FUZZ_CHECK(is_valid_utf8(detail) && is_valid_utf8(note));
  if (!input.is_object()) FUZZ_CHECK(detail.empty() && note.empty());
  if (name == "Bash") {
    FUZZ_CHECK(count_chars(note) <= 200);
    bool shows_path =
        field(input, "file_path") || field(input, "path") || field(input, "notebook_path");
    if (!shows_path) FUZZ_CHECK(count_chars(detail) <= 600);
  }
}
