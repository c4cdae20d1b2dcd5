#pragma once

#include <string>

/// 12 lowercase hexadecimal characters, different on every call with overwhelming probability.
std::string new_request_id();
