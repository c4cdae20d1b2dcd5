// Files and folders that end-to-end tests lay out and read, and the CLI's name for a folder.
#pragma once

#include <algorithm>
#include <cctype>

#include "util/test_support.h"

namespace harness {

/// The whole file, or nullopt when it cannot be read.
inline std::optional<std::string> read_text_file(const std::string& path) {
  return ::access(path.c_str(), R_OK) == 0 ? std::optional(read_file(path)) : std::nullopt;
}

/// Creates `path` and its missing parents. False when it is not a folder afterwards.
inline bool make_folders(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  return std::filesystem::is_directory(path, ec);
}

/// The names in a folder ("." and ".." left out), sorted.
inline std::vector<std::string> folder_names(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

/// The folder name the CLI gives a working folder: every byte other than an ASCII letter or
/// digit becomes "-" (ASCII paths only).
inline std::string cli_folder_name(std::string path) {
  for (char& c : path)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '-';
  return path;
}

}  // namespace harness
