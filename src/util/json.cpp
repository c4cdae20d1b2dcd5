#include "util/json.h"

namespace {

// Nesting depth of the text, counted outside strings. Stops counting once the limit is
// passed, so a hostile document costs one linear scan and nothing more.
bool nesting_within_limit(std::string_view text) {
  int depth = 0;
  bool in_string = false;
  bool escaped = false;
  for (char c : text) {
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    switch (c) {
      case '"':
        in_string = true;
        break;
      case '[':
      case '{':
        if (++depth > MAX_JSON_DEPTH) return false;
        break;
      case ']':
      case '}':
        --depth;
        break;
      default:
        break;
    }
  }
  return true;
}

}  // namespace

std::optional<Json> parse_json(std::string_view text) {
  // A NUL byte is never part of valid JSON text, but the parser takes it for the end of the
  // input and would accept whatever follows it.
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  if (!nesting_within_limit(text)) return std::nullopt;
  Json value = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded()) return std::nullopt;
  return value;
}

std::string dump_json(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string dump_json_indented(const Json& value) {
  return value.dump(2, ' ', false, Json::error_handler_t::replace);
}

const Json* field(const Json& object, std::string_view key) {
  if (!object.is_object()) return nullptr;
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

std::string as_text(const Json* value) {
  if (value == nullptr || value->is_null()) return "";
  if (value->is_string()) return value->get_ref<const std::string&>();
  if (value->is_boolean()) return value->get<bool>() ? "True" : "False";
  return dump_json(*value);
}

std::string as_text(const Json& object, std::string_view key) {
  return as_text(field(object, key));
}

bool is_truthy(const Json* value) {
  if (value == nullptr || value->is_null()) return false;
  if (value->is_boolean()) return value->get<bool>();
  if (value->is_number_unsigned()) return value->get<std::uint64_t>() != 0;
  if (value->is_number_integer()) return value->get<std::int64_t>() != 0;
  if (value->is_number_float()) return value->get<double>() != 0.0;
  if (value->is_string()) return !value->get_ref<const std::string&>().empty();
  return !value->empty();  // array or object
}

bool is_truthy(const Json& object, std::string_view key) { return is_truthy(field(object, key)); }

Json or_zero(const Json* value) {
  if (value == nullptr || value->is_null()) return 0;
  return *value;
}

Json or_zero(const Json& object, std::string_view key) { return or_zero(field(object, key)); }
