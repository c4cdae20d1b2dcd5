#include "input.h"

#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <thread>

#include "util/text.h"

namespace {

// A message carrying a whole file is large; one past this is not a message any more.
constexpr std::size_t MAX_LINE = 64u << 20;

void note(const std::string& text) {
  std::string line = text + "\n";
  [[maybe_unused]] ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
}

std::mutex pause_lock;
std::condition_variable pause_changed;
bool input_paused = false;  // guarded by pause_lock

void wait_while_paused() {
  std::unique_lock<std::mutex> guard(pause_lock);
  pause_changed.wait(guard, [] { return !input_paused; });
}

}  // namespace

void set_input_paused(bool paused) {
  {
    std::lock_guard<std::mutex> guard(pause_lock);
    input_paused = paused;
  }
  pause_changed.notify_all();
}

std::optional<UserMessage> read_user_line(std::string_view line) {
  std::optional<Json> record = parse_json(line);
  if (!record || as_text(*record, "type") != "user") return std::nullopt;
  const Json* message = field(*record, "message");
  if (message == nullptr || !message->is_object()) return std::nullopt;
  UserMessage out;
  out.message = *message;
  const Json* content = field(*message, "content");
  if (content != nullptr && content->is_string()) {
    out.text = content->get<std::string>();
  } else if (content != nullptr && content->is_array()) {
    bool first = true;
    for (const Json& block : *content) {
      if (as_text(block, "type") != "text") continue;
      if (!first) out.text += "\n";
      out.text += as_text(block, "text");
      first = false;
    }
  }
  return out;
}

bool InputQueue::start() {
  try {
    std::thread([this] { read_loop(); }).detach();
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

std::optional<UserMessage> InputQueue::next() {
  std::unique_lock<std::mutex> guard(lock_);
  ready_.wait(guard, [this] { return !messages_.empty() || ended_; });
  if (messages_.empty()) return std::nullopt;
  UserMessage message = std::move(messages_.front());
  messages_.pop_front();
  return message;
}

void InputQueue::push_line(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (trim(to_valid_utf8(line)).empty()) return;
  std::optional<UserMessage> message = read_user_line(line);
  if (!message) {
    note("Error: input line is not a user message, skipped");
    return;
  }
  std::lock_guard<std::mutex> guard(lock_);
  messages_.push_back(std::move(*message));
  ready_.notify_one();
}

void InputQueue::read_loop() {
  std::string pending;
  char buffer[8192];
  bool overlong = false;
  for (;;) {
    wait_while_paused();
    ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    std::string_view chunk(buffer, static_cast<std::size_t>(n));
    while (!chunk.empty()) {
      std::size_t newline = chunk.find('\n');
      std::string_view part = chunk.substr(0, newline);
      if (!overlong) pending.append(part);
      if (pending.size() > MAX_LINE) {
        overlong = true;
        pending.clear();
      }
      if (newline == std::string_view::npos) break;
      chunk.remove_prefix(newline + 1);
      if (overlong) {
        note("Error: input line too long, skipped");
      } else {
        push_line(pending);
      }
      pending.clear();
      overlong = false;
    }
  }
  if (!overlong) push_line(pending);
  std::lock_guard<std::mutex> guard(lock_);
  ended_ = true;
  ready_.notify_all();
}
