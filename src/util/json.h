// JSON as the bridge reads and writes it.
//
// Every received document (request bodies, agent output lines, the state file, transcripts,
// hook input) is parsed through parse_json, and every document the bridge writes goes through
// dump_json / dump_json_indented. Objects are std::map based, so keys always come out in
// ascending byte order.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

using Json = nlohmann::json;

/// Deepest nesting of arrays and objects a received document may have.
inline constexpr int MAX_JSON_DEPTH = 128;

/// Parses one JSON value followed by nothing but JSON white space. Fails (nullopt) on any
/// syntax error, invalid UTF-8, or nesting deeper than MAX_JSON_DEPTH. Never throws.
std::optional<Json> parse_json(std::string_view text);

/// Compact JSON; invalid UTF-8 inside strings is replaced, never thrown.
std::string dump_json(const Json& value);

/// Appends `text` as a JSON string: the very bytes dump_json gives for that string value.
/// Meant for writers that put a document together from ready parts on a hot path.
void append_json_string(std::string& out, std::string_view text);

/// Indented by two spaces (the state file's form); invalid UTF-8 replaced.
std::string dump_json_indented(const Json& value);

// Lenient readers: a field is absent when the key is missing or the value looked into is not
// an object. None of them fails.

/// The member `key` of `object`, or nullptr when absent.
const Json* field(const Json& object, std::string_view key);

/// absent or null -> ""; string -> itself; true/false -> "True"/"False"; other -> compact JSON.
std::string as_text(const Json* value);
std::string as_text(const Json& object, std::string_view key);

/// absent or null -> false; bool -> itself; number -> != 0; string/array/object -> non-empty.
bool is_truthy(const Json* value);
bool is_truthy(const Json& object, std::string_view key);

/// absent or null -> integer 0; anything else -> a copy, whatever its kind.
Json or_zero(const Json* value);
Json or_zero(const Json& object, std::string_view key);
