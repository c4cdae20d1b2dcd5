#include "util/log.h"

#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "util/fd_io.h"

namespace {
std::mutex stderr_lock;  // guards every write to standard error of a log line
}

std::string escape_log_message(std::string_view message) {
  static const char* hex = "0123456789abcdef";
  std::string out;
  out.reserve(message.size());
  for (char ch : message) {
    auto c = static_cast<unsigned char>(ch);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 0xF];
    } else {
      out += ch;
    }
  }
  return out;
}

void bridge_log(std::string_view message) {
  std::string line = "[bridge] " + escape_log_message(message) + "\n";
  std::lock_guard<std::mutex> guard(stderr_lock);
  write_fully(STDERR_FILENO, line);  // nowhere to report a failure to write the log
}
