#include "util/os_error.h"

#include <cstring>

namespace {
// strerror_r comes in two shapes (GNU returns the text, XSI fills the buffer); accept both.
[[maybe_unused]] const char* pick(int result, const char* buffer) {
  return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* pick(const char* result, const char*) { return result; }
}  // namespace

std::string os_error_text(int err) {
  char buffer[256] = {0};
  const char* text = pick(strerror_r(err, buffer, sizeof buffer), buffer);
  return std::string(text) + " (os error " + std::to_string(err) + ")";
}
