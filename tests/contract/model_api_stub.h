// A stand-in for the model API on the loopback interface, so that the real claude CLI can run
// whole turns offline (ANTHROPIC_BASE_URL=http://127.0.0.1:PORT). It answers /v1/messages (any
// query string) in the API's server-sent-events form, the only one the CLI asks for, choosing
// the reply by the words of the last user message:
//
//   a tool_result in that message  -> text "The tool said: " + the tool's output
//   "run: CMD"                     -> a Bash tool use with {"command": CMD}
//   "api-error: TEXT"              -> HTTP 400 invalid_request_error with the message TEXT (to
//                                     each of the CLI's retries too)
//   anything else                  -> text "Hello from the stub: " + the words, word by word
//
// A message containing "hold:KEY" (KEY up to the next white space) is not answered until
// release(KEY). Any other path gets 404 with an error object.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <regex>
#include <set>

#include "harness/http_client.h"
#include "http/connection.h"
#include "util/platform.h"
#include "util/text.h"

namespace contract {

inline std::string response(int status, const std::string& type, const std::string& body) {
  return "HTTP/1.1 " + std::to_string(status) + " Stub\r\nContent-Type: " + type +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

inline std::string error_response(int status, const std::string& type, const std::string& message) {
  Json error{{"type", "error"}, {"error", {{"type", type}, {"message", message}}}};
  return response(status, "application/json", dump_json(error));
}

inline std::string sse(const Json& data) {
  return "event: " + as_text(data, "type") + "\ndata: " + dump_json(data) + "\n\n";
}

struct Reply {
  enum class Kind { Text, ToolUse, ApiError } kind;
  std::string text;  // the reply text, the command of the tool use, or the error message
  std::string hold;  // the hold key of the request; empty when it is answered at once
};

inline Reply choose_reply(const Json& body) {
  // The CLI ends its message list with a "system" message of its own; the player's words are
  // in the last "user" message, after the reminders the CLI puts in front of them.
  Json content;
  for (const Json& message : or_zero(body, "messages"))
    if (as_text(message, "role") == "user") content = or_zero(message, "content");
  std::string words = content.is_string() ? content.get<std::string>() : "";
  for (const Json& block : content.is_array() ? content : Json::array()) {
    std::string type = as_text(block, "type");
    if (type == "tool_result")
      return {Reply::Kind::Text, "The tool said: " + trim(as_text(block, "content")), ""};
    if (type == "text") words = as_text(block, "text");
  }
  words = trim(words);
  std::smatch hold;
  std::regex_search(words, hold, std::regex(R"(hold:(\S+))"));
  std::string key = hold.empty() ? "" : hold[1].str();
  if (std::size_t at = words.find("api-error:"); at != std::string::npos)
    return {Reply::Kind::ApiError, trim(words.substr(at + 10)), key};
  if (words.starts_with("run:")) return {Reply::Kind::ToolUse, trim(words.substr(4)), key};
  return {Reply::Kind::Text, "Hello from the stub: " + words, key};
}

class ModelApiStub {
 public:
  /// Stops listening, releases every hold, closes every connection and joins the threads.
  ~ModelApiStub() {
    {
      std::lock_guard<std::mutex> guard(lock_);
      stopping_ = true;
      for (int fd : open_fds_) ::shutdown(fd, SHUT_RDWR);
    }
    changed_.notify_all();
    if (acceptor_.joinable()) {
      // A connection of our own wakes the accept loop, which then sees that the stub stops.
      harness::HttpConnection().connect(port_);
      acceptor_.join();
    }
    // Only the accept loop adds to the connections.
    for (std::thread& connection : connections_) connection.join();
  }

  /// Listens on 127.0.0.1 on a free port; false when that fails.
  bool start() {
    listener_ = harness::loopback_socket(port_, true);
    if (!listener_.valid()) return false;
    acceptor_ = std::thread([this] { accept_loop(); });
    return true;
  }
  std::string base_url() const { return "http://127.0.0.1:" + std::to_string(port_); }

  /// The body of every /v1/messages request so far, oldest first.
  std::vector<Json> requests() const {
    std::lock_guard<std::mutex> guard(lock_);
    return requests_;
  }

  /// Waits until a request holding on `key` has arrived; true when one has within `timeout`.
  bool wait_until_held(const std::string& key, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, timeout, [&] { return held_.count(key) > 0; });
  }
  /// Lets every request holding on `key`, now or later, be answered.
  void release(const std::string& key) {
    std::lock_guard<std::mutex> guard(lock_);
    released_.insert(key);
    changed_.notify_all();
  }

 private:
  void accept_loop() {
    for (;;) {
      int fd = accept_cloexec(listener_.get(), nullptr, nullptr);
      std::lock_guard<std::mutex> guard(lock_);
      if (stopping_) {
        if (fd >= 0) ::close(fd);
        return;
      }
      if (fd < 0) continue;
      open_fds_.push_back(fd);
      connections_.emplace_back([this, fd] { serve(fd); });
    }
  }

  void serve(int fd) {
    // The bridge's own request reader: the CLI sends each body with a Content-Length.
    LineReader reader(fd, MAX_LINE_BYTES);
    while (std::optional<HttpRequest> request = read_request(reader)) {
      std::string bytes = answer(*request);
      // The test process ignores SIGPIPE (the harness sets it up), so a CLI that hung up is an
      // error here, not the end of the test.
      if (bytes.empty() || write_fully(fd, bytes) != 0 || request->close_after) break;
    }
    std::lock_guard<std::mutex> guard(lock_);
    open_fds_.erase(std::remove(open_fds_.begin(), open_fds_.end(), fd), open_fds_.end());
    ::close(fd);
  }

  // The whole answer to one request (head and body); empty when the stub stops first.
  std::string answer(const HttpRequest& request) {
    if (request.path != "/v1/messages")
      return error_response(404, "not_found_error", "the stub serves only messages");
    Reply reply = choose_reply(request.body);
    std::string number;  // of the message and of its tool use
    {
      std::unique_lock<std::mutex> guard(lock_);
      requests_.push_back(request.body);
      number = std::to_string(requests_.size());
      if (!reply.hold.empty()) {
        held_.insert(reply.hold);
        changed_.notify_all();
        changed_.wait(guard, [&] { return stopping_ || released_.count(reply.hold) > 0; });
      }
      if (stopping_) return "";
    }
    // A 400 is not worth many retries to the CLI: it gives up within a few seconds, where a 500
    // keeps it retrying for minutes.
    if (reply.kind == Reply::Kind::ApiError)
      return error_response(400, "invalid_request_error", reply.text);

    // The message as a stream: the block starts empty, and its text (word by word) or its input
    // (as JSON text) comes in deltas, as the API sends them.
    bool tool = reply.kind == Reply::Kind::ToolUse;
    Json block = tool ? Json{{"type", "tool_use"},
                             {"id", "toolu_stub_" + number},
                             {"name", "Bash"},
                             {"input", Json::object()}}
                      : Json{{"type", "text"}, {"text", ""}};
    // Every reply uses 12 tokens in and 7 out; the CLI prices them, so a turn's "result"
    // carries these counts and a cost above zero.
    Json start{{"id", "msg_stub_" + number},
               {"type", "message"},
               {"role", "assistant"},
               {"model", as_text(request.body, "model")},
               {"content", Json::array()},
               {"stop_reason", nullptr},
               {"stop_sequence", nullptr},
               {"usage",
                {{"input_tokens", 12},
                 {"output_tokens", 1},
                 {"cache_creation_input_tokens", 0},
                 {"cache_read_input_tokens", 0}}}};
    std::string events =
        sse({{"type", "message_start"}, {"message", start}}) +
        sse({{"type", "content_block_start"}, {"index", 0}, {"content_block", block}});
    auto delta = [](const Json& piece) {
      return sse({{"type", "content_block_delta"}, {"index", 0}, {"delta", piece}});
    };
    if (tool)
      events += delta({{"type", "input_json_delta"},
                       {"partial_json", dump_json(Json{{"command", reply.text}})}});
    for (std::size_t at = 0, end; !tool && at < reply.text.size(); at = end) {
      end = std::min(reply.text.find(' ', at), reply.text.size() - 1) + 1;
      events += delta({{"type", "text_delta"}, {"text", reply.text.substr(at, end - at)}});
    }
    events += sse({{"type", "content_block_stop"}, {"index", 0}}) +
              sse({{"type", "message_delta"},
                   {"delta",
                    {{"stop_reason", tool ? "tool_use" : "end_turn"}, {"stop_sequence", nullptr}}},
                   {"usage", {{"output_tokens", 7}}}}) +
              sse({{"type", "message_stop"}});
    return response(200, "text/event-stream; charset=utf-8", events);
  }

  UniqueFd listener_;
  std::uint16_t port_ = 0;
  std::thread acceptor_;

  mutable std::mutex lock_;
  std::condition_variable changed_;
  bool stopping_ = false;                 // guarded by lock_
  std::vector<Json> requests_;            // guarded by lock_
  std::set<std::string> held_;            // guarded by lock_: keys a request has waited on
  std::set<std::string> released_;        // guarded by lock_
  std::vector<int> open_fds_;             // guarded by lock_: connections being served
  std::vector<std::thread> connections_;  // guarded by lock_ while the accept loop runs
};

}  // namespace contract
