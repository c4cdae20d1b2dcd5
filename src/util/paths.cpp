#include "util/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

std::string home_dir() {
  if (const char* home = std::getenv("HOME")) return home;
  if (const char* profile = std::getenv("USERPROFILE")) return profile;
  return "";
}

std::string join_path(std::string_view a, std::string_view b) {
  if (a.empty() || (!b.empty() && b.front() == '/')) return std::string(b);
  std::string out(a);
  if (out.back() != '/') out += '/';
  out += b;
  return out;
}

std::string expand_home(std::string_view path) {
  if (path == "~") return home_dir();
  if (path.substr(0, 2) == "~/") return join_path(home_dir(), path.substr(2));
  return std::string(path);
}

std::string current_dir() {
  std::vector<char> buffer(4096);
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size()) != nullptr) return buffer.data();
    if (errno != ERANGE || buffer.size() > (1u << 20)) return "";
    buffer.resize(buffer.size() * 2);
  }
}

std::string absolute_path(std::string_view path) {
  std::string full =
      !path.empty() && path.front() == '/' ? std::string(path) : join_path(current_dir(), path);
  std::vector<std::string_view> parts;
  bool rooted = !full.empty() && full.front() == '/';
  std::string_view rest(full);
  while (!rest.empty()) {
    std::size_t slash = rest.find('/');
    std::string_view part = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  std::string out = rooted ? "/" : "";
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) out += '/';
    out += parts[i];
  }
  return out;
}

bool is_executable_file(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  return S_ISREG(st.st_mode) && (st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0;
}

bool is_directory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_regular_file(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}
