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

// The readers on one member, as the bridge uses them on fields it looks up.
void read_member(const Json& object, const std::string& key, const Json& member) {
  FUZZ_CHECK(field(object, key) == &member);
  std::string text = as_text(object, key);
  if (member.is_string()) FUZZ_CHECK(text == member.get_ref<const std::string&>());
  if (member.is_null()) FUZZ_CHECK(text.empty() && !is_truthy(object, key));
  if (member.is_structured() || member.is_number()) FUZZ_CHECK(text == dump_json(member));
  FUZZ_CHECK(is_valid_utf8(text));
  Json zero = or_zero(object, key);
  FUZZ_CHECK(member.is_null() ? zero == Json(0) : zero == member);
  is_truthy(object, key);
}

// Walks the value, reading every member of every object, up to `budget` members in all.
void read_all(const Json& value, int& budget) {
  if (!value.is_structured()) return;
  for (auto it = value.begin(); it != value.end() && budget > 0; ++it, --budget) {
    if (value.is_object()) {
      read_member(value, it.key(), it.value());
    } else {
      FUZZ_CHECK(field(*it, "type") == nullptr || it->is_object());
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
  // Absent and null read the same way everywhere.
  FUZZ_CHECK(as_text(nullptr).empty() && !is_truthy(nullptr) && or_zero(nullptr) == Json(0));

  // Strings and keys holding any bytes at all still write out as readable JSON.
  Json raw = Json::object();
  raw[std::string(text)] = std::string(text);
  std::string written = dump_json(raw);
  FUZZ_CHECK(is_valid_utf8(written));
  std::optional<Json> read_back = parse_json(written);
  FUZZ_CHECK(read_back && read_back->is_object() && read_back->size() == 1);
  if (is_valid_utf8(text)) FUZZ_CHECK(*read_back == raw);
  FUZZ_CHECK(is_valid_utf8(dump_json_indented(Json(std::string(text)))));

  // Text helpers every reader leans on.
  std::string valid = to_valid_utf8(text);
  FUZZ_CHECK(is_valid_utf8(valid));
  if (is_valid_utf8(text)) FUZZ_CHECK(valid == text);
  std::size_t chars = count_chars(valid);
  for (std::size_t n : {std::size_t{0}, std::size_t{1}, chars / 2, chars}) {
    std::string cut = truncate_chars(valid, n);
    FUZZ_CHECK(count_chars(cut) == std::min(n, chars));
    FUZZ_CHECK(std::string_view(valid).substr(0, cut.size()) == cut && is_valid_utf8(cut));
  }
  std::string trimmed = trim(valid);
  FUZZ_CHECK(is_valid_utf8(trimmed) && trim(trimmed) == trimmed);
  for (const std::string& piece : split_whitespace(valid)) {
    FUZZ_CHECK(!piece.empty() && trim(piece) == piece);
  }
}
