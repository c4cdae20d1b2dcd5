// The command line: turns the program's arguments (and AGENT_MODEL, PATH, HOME) into what the
// process does next, and on the serve path fixes the start-up settings the rest reads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

/// What the process does after reading its arguments.
///   Serve: run the bridge; the Config, the state file path and the policy are stored.
///   Hook:  run the permission hook client against `bridge_url` for `npc_id`.
///   Exit:  print `message` and end with `status`.
struct Invocation {
  enum class Kind { Serve, Hook, Exit };
  Kind kind = Kind::Exit;
  // Serve: the two start-up switches
  bool reset_workspaces = false;
  bool exit_with_stdin = false;
  // Hook: unchanged texts
  std::string bridge_url;
  std::string npc_id;
  // Exit: the message and status. Status 0 = help: message is the usage text printed to stdout
  // as is; any other status: message printed to stderr followed by one "\n".
  std::string message;
  int status = 0;
};

/// The usage text, byte for byte; every line ends with "\n".
std::string_view usage_text();

/// Parses the arguments without the program name. Usage and option-value errors give status 2,
/// a missing agent CLI or workspace folder status 1. On the serve path, and only after every
/// check passed: stores the state file path, sets the current policy, stores the Config (in
/// that order). Runs on the main thread before any other thread exists.
Invocation parse(const std::vector<std::string>& args);

/// A decimal port: an optional "+", one or more ASCII digits, value at most 65535 (0 included).
/// Anything else (spaces, "-", an empty text) is nullopt.
std::optional<std::uint16_t> parse_port(std::string_view text);

/// A decimal floating-point number: an optional sign, then digits with an optional fraction
/// and exponent ("1.", ".5", "+.5e-3"), or inf, infinity or nan in any letter case. Nothing
/// else: no spaces, no hexadecimal, no lone "." or "e". Out-of-range values round to infinity
/// or zero. Not range-checked: negatives, infinities and NaN are values.
std::optional<double> parse_seconds(std::string_view text);
