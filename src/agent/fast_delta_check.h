// Whether the fast reading of an agent's output line agrees with the ordinary one, for the fuzz
// target to call on any bytes.
#pragma once

#include <string>
#include <string_view>

/// True when relay_fast_delta declines `line`, or does with it exactly what the ordinary way
/// (clean-up, parse_json, translate_record) does: the same events, byte for byte, the same
/// streamed text, and every event in the very form dump_json gives. Otherwise false, with the
/// difference in `why` when given. Each call uses two fresh NPC records of its own.
bool fast_path_agrees(std::string_view line, std::string* why = nullptr);
