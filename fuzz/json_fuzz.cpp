// The JSON reading helpers: any text parses to a value or to nothing, never deeper than the
// limit; whatever parsed writes out and reads back to the same text; the lenient readers
// answer every member; and writing never fails, whatever bytes a string holds.

#include "fuzz_support.h"

namespace {

// Nesting depth of a value: 0 for a scalar, 1 for an array or object of scalars.
int depth_of(const Json& value) {
  if (!value.is_structured()) return 0;
  int deepest = 0;
  for (const Json& member : value) deepest = std::max(deepest, depth_of(member));
  return deepest + 1;
}

// Reads every member of every object with the lenient readers, up to `budget` members in all.
void read_all(const Json& value, int& budget) {
  if (!value.is_structured()) return;
  for (auto it = value.begin(); it != value.end() && budget > 0; ++it, --budget) {
    if (value.is_object()) {
      FUZZ_CHECK(is_valid_utf8(as_text(value, it.key())));
      is_truthy(value, it.key());
      or_zero(value, it.key());
    }
    read_all(*it, budget);
  }
}

}  // namespace

FUZZ_TARGET(text) {
  std::optional<Json> parsed = parse_json(text);
  if (parsed) {
    FUZZ_CHECK(depth_of(*parsed) <= MAX_JSON_DEPTH);
    // Written out, read back and written again, the text is the same; the indented form
    // reads back to the same value.
    std::string compact = dump_json(*parsed);
    std::optional<Json> again = parse_json(compact);
    FUZZ_CHECK(again && dump_json(*again) == compact);
    std::optional<Json> indented = parse_json(dump_json_indented(*parsed));
    FUZZ_CHECK(indented.has_value() && dump_json(*indented) == compact);
    int budget = 10000;
    read_all(*parsed, budget);
    // A document that parses is valid UTF-8 as a whole.
    FUZZ_CHECK(is_valid_utf8(text));
  }
  // Strings and keys holding any bytes at all still write out as readable JSON.
  Json raw = {{std::string(text), std::string(text)}};
  std::string written = dump_json(raw);
  FUZZ_CHECK(is_valid_utf8(written));
  std::optional<Json> read_back = parse_json(written);
  FUZZ_CHECK(read_back && read_back->is_object() && read_back->size() == 1);
  if (is_valid_utf8(text)) FUZZ_CHECK(*read_back == raw);
  FUZZ_CHECK(is_valid_utf8(dump_json_indented(Json(std::string(text)))));
}
