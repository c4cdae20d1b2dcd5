#pragma once

#include <string>

/// 12 lowercase hexadecimal characters, different on every call with overwhelming probability.
std::string new_request_id();

/// This run's id, of the same form, chosen on the first call and the same on every later one.
/// The game compares it across reconnections to tell that the bridge was restarted (and that
/// every NPC's event numbering started again).
const std::string& instance_id();
