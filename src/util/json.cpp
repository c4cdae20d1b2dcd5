#include "util/json.h"

#include "util/text.h"

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

void append_json_string(std::string& out, std::string_view text) {
  static constexpr char HEX[] = "0123456789abcdef";
  const std::size_t start = out.size();
  out += '"';
  std::size_t copied = 0;  // bytes of `text` already in `out`
  for (std::size_t i = 0; i < text.size();) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      std::size_t length = utf8_sequence_length(text, i);
      if (length == 0) {
        // Ill-formed text is rare; the serialiser's own replacement rules decide it.
        out.resize(start);
        out += dump_json(Json(std::string(text)));
        return;
      }
      i += length;
      continue;
    }
    if (c >= 0x20 && c != '"' && c != '\\') {
      ++i;
      continue;
    }
    out.append(text, copied, i - copied);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out += "\\u00";
        out += HEX[c >> 4];
        out += HEX[c & 0xF];
        break;
    }
    copied = ++i;
  }
  out.append(text, copied, std::string_view::npos);
  out += '"';
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
