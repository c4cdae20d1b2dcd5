#pragma once

#include <string>

/// The system's description of errno value `err` followed by " (os error N)",
/// for example "Connection refused (os error 111)".
std::string os_error_text(int err);
