// Home-folder and path helpers.
#pragma once

#include <string>
#include <string_view>

/// HOME; else USERPROFILE; else "".
std::string home_dir();

/// "~" -> home; "~/rest" -> home joined with rest; anything else unchanged.
std::string expand_home(std::string_view path);

/// The path made absolute against the working folder and folded lexically ("." dropped, ".."
/// removes one component, never above "/"). No symbolic link is resolved.
std::string absolute_path(std::string_view path);

/// `a` and `b` joined with one "/"; an empty `a` gives `b`, an absolute `b` gives `b`.
std::string join_path(std::string_view a, std::string_view b);

/// The current working folder, or "" when it cannot be read.
std::string current_dir();

/// Metadata readable (links followed), a regular file, and some execute bit set.
bool is_executable_file(const std::string& path);

/// An existing directory (links followed).
bool is_directory(const std::string& path);

/// An existing regular file (links followed).
bool is_regular_file(const std::string& path);
