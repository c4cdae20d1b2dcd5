// The diagnostic log: one line per message on standard error.
#pragma once

#include <string>
#include <string_view>

/// Writes "[bridge] " + message + "\n" to standard error in one write, under standard error's
/// lock, so lines from different threads never interleave. Control characters in the message
/// are written as escapes (\n, \r, \t, \xNN), so one message is always one line. Write errors
/// are ignored.
void bridge_log(std::string_view message);

/// The message as it appears in the log line (control characters escaped).
std::string escape_log_message(std::string_view message);
