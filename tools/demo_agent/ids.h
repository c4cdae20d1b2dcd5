// Random identifiers in the shapes the agent CLI uses.
#pragma once

#include <string>

/// A random version-4 UUID in its 36-character lowercase form; also the shape of session ids.
std::string new_uuid();

/// "toolu_" followed by 24 random letters and digits.
std::string new_tool_use_id();

/// "msg_" followed by 24 random letters and digits.
std::string new_message_id();
