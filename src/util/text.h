// Text as the system speaks of it: valid UTF-8, counted in characters (code points).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

/// True when the bytes are well-formed UTF-8 (no overlongs, no surrogates, nothing past U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

/// Length of the well-formed UTF-8 sequence that starts at bytes[i] (i < size), or 0 when the
/// bytes there are ill-formed.
std::size_t utf8_sequence_length(std::string_view bytes, std::size_t i);

/// The bytes with every ill-formed sequence replaced by U+FFFD.
std::string to_valid_utf8(std::string_view bytes);

/// Number of code points in valid UTF-8 text.
std::size_t count_chars(std::string_view text);

/// The first n code points of valid UTF-8 text; no marker is added.
std::string truncate_chars(std::string_view text, std::size_t n);

/// The text without leading and trailing Unicode White_Space.
std::string trim(std::string_view text);

/// The text split at runs of Unicode White_Space, empty pieces dropped.
std::vector<std::string> split_whitespace(std::string_view text);

/// ASCII letters lowered; other bytes unchanged.
std::string ascii_lower(std::string_view text);
