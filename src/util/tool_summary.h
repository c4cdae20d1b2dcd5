// One-line summaries of a tool use, for the game to show: a category, a detail and a note.
#pragma once

#include <string>
#include <string_view>

#include "util/json.h"

/// "read", "write", "exec", "net", "delegate" or "other".
std::string tool_category(std::string_view name);

/// What the tool works on; paths shown relative to `workspace`.
std::string tool_detail(std::string_view name, const Json& input, std::string_view workspace);

/// A secondary note, possibly empty.
std::string tool_note(std::string_view name, const Json& input);
