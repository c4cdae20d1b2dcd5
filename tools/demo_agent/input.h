// The player's messages, read from standard input one JSON line at a time.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "util/json.h"

/// One player message: the "message" object as it arrived and its text.
struct UserMessage {
  Json message;
  std::string text;
};

/// Reads one input line {"type":"user","message":{"role":"user","content":[...]}}. The text
/// is a string content itself, or the "text" of every text block joined by line feeds.
/// nullopt when the line is not JSON or not a user message.
std::optional<UserMessage> read_user_line(std::string_view line);

/// While paused, standard input is not read: what the bridge writes waits in the pipe. For
/// tests that need an agent that stops taking in its input for a while.
void set_input_paused(bool paused);

/// Standard input read on a thread of its own, so that messages sent while a turn runs wait
/// in order and are answered afterwards, each in a turn of its own. Lines that are not user
/// messages are noted on standard error and skipped. Never destroyed while its thread runs:
/// the process ends through exit_process.
class InputQueue {
 public:
  /// Starts the reader thread; false when it cannot be started.
  bool start();

  /// The next message, waiting for it; nullopt once standard input has ended and every
  /// message before the end was taken.
  std::optional<UserMessage> next();

 private:
  void read_loop();
  void push_line(std::string_view line);

  std::mutex lock_;
  std::condition_variable ready_;
  std::deque<UserMessage> messages_;  // guarded by lock_
  bool ended_ = false;                // guarded by lock_
};
