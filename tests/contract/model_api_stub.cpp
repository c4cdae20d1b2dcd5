#include "contract/model_api_stub.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <utility>

#include "util/platform.h"
#include "util/text.h"

namespace contract {

namespace {

constexpr std::size_t MAX_HEAD = 64 * 1024;
constexpr std::size_t MAX_BODY = 64 * 1024 * 1024;

// The message ids and usage figures of every reply; the CLI prices the tokens, so a turn's
// "result" carries these counts and a cost above zero.
constexpr int INPUT_TOKENS = 12;
constexpr int OUTPUT_TOKENS = 7;

struct RawRequest {
  std::string method;
  std::string target;
  std::map<std::string, std::string> headers;  // names lower-cased
  std::string body;
};

bool send_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Reads more bytes into `buffer`; false at the end of the stream or on an error.
bool read_more(int fd, std::string& buffer) {
  char chunk[16384];
  for (;;) {
    ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    buffer.append(chunk, static_cast<std::size_t>(n));
    return true;
  }
}

// Takes "\r\n"-terminated line from the front of `buffer`, reading more as needed.
std::optional<std::string> take_line(int fd, std::string& buffer) {
  std::size_t end;
  while ((end = buffer.find("\r\n")) == std::string::npos) {
    if (buffer.size() > MAX_HEAD || !read_more(fd, buffer)) return std::nullopt;
  }
  std::string line = buffer.substr(0, end);
  buffer.erase(0, end + 2);
  return line;
}

bool take_bytes(int fd, std::string& buffer, std::size_t size, std::string& out) {
  while (buffer.size() < size) {
    if (!read_more(fd, buffer)) return false;
  }
  out.append(buffer, 0, size);
  buffer.erase(0, size);
  return true;
}

// One request from the connection; bodies by Content-Length or chunked. nullopt at the end of
// the stream or on anything malformed.
std::optional<RawRequest> read_request(int fd, std::string& buffer) {
  std::optional<std::string> request_line = take_line(fd, buffer);
  if (!request_line) return std::nullopt;
  std::vector<std::string> parts = split_whitespace(*request_line);
  if (parts.size() != 3) return std::nullopt;
  RawRequest request{parts[0], parts[1], {}, {}};
  for (;;) {
    std::optional<std::string> line = take_line(fd, buffer);
    if (!line) return std::nullopt;
    if (line->empty()) break;
    std::size_t colon = line->find(':');
    if (colon == std::string::npos) return std::nullopt;
    request.headers[ascii_lower(line->substr(0, colon))] = trim(line->substr(colon + 1));
  }
  if (ascii_lower(request.headers["transfer-encoding"]).find("chunked") != std::string::npos) {
    for (;;) {
      std::optional<std::string> size_line = take_line(fd, buffer);
      if (!size_line) return std::nullopt;
      char* end = nullptr;
      unsigned long size = std::strtoul(size_line->c_str(), &end, 16);
      if (end == size_line->c_str() || request.body.size() + size > MAX_BODY) return std::nullopt;
      if (size == 0) {
        // Trailer lines up to the blank one.
        for (;;) {
          std::optional<std::string> trailer = take_line(fd, buffer);
          if (!trailer) return std::nullopt;
          if (trailer->empty()) return request;
        }
      }
      std::string crlf;
      if (!take_bytes(fd, buffer, size, request.body) || !take_bytes(fd, buffer, 2, crlf)) {
        return std::nullopt;
      }
    }
  }
  auto length = request.headers.find("content-length");
  if (length != request.headers.end()) {
    char* end = nullptr;
    unsigned long long size = std::strtoull(length->second.c_str(), &end, 10);
    if (end == length->second.c_str() || size > MAX_BODY) return std::nullopt;
    if (!take_bytes(fd, buffer, static_cast<std::size_t>(size), request.body)) return std::nullopt;
  }
  return request;
}

std::string response_head(int status, const std::string& reason, const std::string& type,
                          std::size_t length, bool keep_alive) {
  return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-Type: " + type +
         "\r\nContent-Length: " + std::to_string(length) +
         "\r\nrequest-id: req_stub\r\nConnection: " + (keep_alive ? "keep-alive" : "close") +
         "\r\n\r\n";
}

Json error_body(const std::string& type, const std::string& message) {
  return Json{{"type", "error"}, {"error", Json{{"type", type}, {"message", message}}}};
}

std::string sse(const std::string& name, const Json& data) {
  return "event: " + name + "\ndata: " + dump_json(data) + "\n\n";
}

// The text of a tool_result block's content: a string, or the texts of its blocks.
std::string tool_result_text(const Json& block) {
  const Json* content = field(block, "content");
  if (content == nullptr) return "";
  if (!content->is_array()) return as_text(content);
  std::string text;
  for (const Json& piece : *content) {
    if (!piece.is_object() || as_text(piece, "type") != "text") continue;
    if (!text.empty()) text += ' ';
    text += as_text(piece, "text");
  }
  return text;
}

// The word after `marker` in `text`, up to the next white space; nullopt without the marker.
std::optional<std::string> word_after(const std::string& text, const std::string& marker) {
  std::size_t at = text.find(marker);
  if (at == std::string::npos) return std::nullopt;
  std::size_t start = at + marker.size();
  std::size_t end = start;
  while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end]))) ++end;
  return text.substr(start, end - start);
}

std::string after_prefix(const std::string& text, const std::string& prefix) {
  std::size_t at = text.find(prefix);
  return trim(text.substr(at + prefix.size()));
}

}  // namespace

StubReply choose_reply(const Json& body) {
  // The CLI ends its message list with a "system" message of its own; the player's words are
  // in the last "user" message, after the reminders the CLI puts in front of them.
  const Json* messages = field(body, "messages");
  const Json* last_user = nullptr;
  if (messages != nullptr && messages->is_array()) {
    for (const Json& message : *messages) {
      if (message.is_object() && as_text(message, "role") == "user") last_user = &message;
    }
  }
  std::string words;
  std::optional<std::string> tool_output;
  if (last_user != nullptr) {
    const Json* content = field(*last_user, "content");
    if (content != nullptr && content->is_string()) {
      words = content->get<std::string>();
    } else if (content != nullptr && content->is_array()) {
      for (const Json& block : *content) {
        if (!block.is_object()) continue;
        std::string type = as_text(block, "type");
        if (type == "text") words = as_text(block, "text");
        if (type == "tool_result" && !tool_output) tool_output = tool_result_text(block);
      }
    }
  }
  words = trim(words);

  StubReply reply;
  if (tool_output) {
    reply.text = "The tool said: " + trim(*tool_output);
    return reply;
  }
  reply.hold = word_after(words, "hold:").value_or("");
  if (words.find("api-error:") != std::string::npos) {
    reply.kind = StubReply::Kind::ApiError;
    reply.text = after_prefix(words, "api-error:");
  } else if (words.rfind("run:", 0) == 0) {
    reply.kind = StubReply::Kind::ToolUse;
    reply.text = after_prefix(words, "run:");
  } else {
    reply.text = "Hello from the stub: " + words;
  }
  return reply;
}

std::vector<std::string> reply_pieces(const std::string& text) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find(' ', start);
    end = end == std::string::npos ? text.size() : end + 1;
    pieces.push_back(text.substr(start, end - start));
    start = end;
  }
  return pieces;
}

ModelApiStub::~ModelApiStub() {
  std::vector<std::thread> connections;
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopping_ = true;
    for (int fd : open_fds_) ::shutdown(fd, SHUT_RDWR);
  }
  changed_.notify_all();
  if (acceptor_.joinable()) {
    const char byte = 'x';
    while (::write(wake_write_.get(), &byte, 1) < 0 && errno == EINTR) {
    }
    acceptor_.join();
  }
  {
    std::lock_guard<std::mutex> guard(lock_);
    connections.swap(connections_);
  }
  for (std::thread& connection : connections) connection.join();
}

bool ModelApiStub::start() {
  listener_.reset(socket_cloexec(AF_INET, SOCK_STREAM, 0));
  if (!listener_.valid()) return false;
  int one = 1;
  ::setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_.get(), 64) != 0) {
    return false;
  }
  socklen_t length = sizeof address;
  if (::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return false;
  }
  port_ = ntohs(address.sin_port);
  int wake[2];
  if (pipe_cloexec(wake) != 0) return false;
  wake_read_.reset(wake[0]);
  wake_write_.reset(wake[1]);
  acceptor_ = std::thread([this] { accept_loop(); });
  return true;
}

std::vector<StubRequest> ModelApiStub::requests() const {
  std::lock_guard<std::mutex> guard(lock_);
  return requests_;
}

std::vector<std::string> ModelApiStub::requested_models() const {
  std::vector<std::string> models;
  for (const StubRequest& request : requests()) {
    if (request.target.rfind("/v1/messages", 0) == 0 && request.body.is_object()) {
      models.push_back(as_text(request.body, "model"));
    }
  }
  return models;
}

bool ModelApiStub::wait_until_held(const std::string& key, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(lock_);
  return changed_.wait_for(guard, timeout, [&] { return held_.count(key) > 0; });
}

void ModelApiStub::release(const std::string& key) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    released_.insert(key);
  }
  changed_.notify_all();
}

void ModelApiStub::hold(const std::string& key) {
  std::unique_lock<std::mutex> guard(lock_);
  held_.insert(key);
  changed_.notify_all();
  changed_.wait(guard, [&] { return stopping_ || released_.count(key) > 0; });
}

void ModelApiStub::accept_loop() {
  for (;;) {
    pollfd fds[2] = {{listener_.get(), POLLIN, 0}, {wake_read_.get(), POLLIN, 0}};
    int ready = ::poll(fds, 2, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || fds[1].revents != 0) return;
    int fd = accept_cloexec(listener_.get(), nullptr, nullptr);
    if (fd < 0) continue;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::lock_guard<std::mutex> guard(lock_);
    if (stopping_) {
      ::close(fd);
      return;
    }
    open_fds_.push_back(fd);
    connections_.emplace_back([this, fd] { serve(fd); });
  }
}

void ModelApiStub::serve(int fd) {
  std::string buffer;
  for (;;) {
    std::optional<RawRequest> raw = read_request(fd, buffer);
    if (!raw) break;
    StubRequest request{raw->method, raw->target, parse_json(raw->body).value_or(Json())};
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (stopping_) break;
      requests_.push_back(request);
    }
    bool keep_alive = ascii_lower(raw->headers["connection"]) != "close";
    if (!answer(fd, request, keep_alive) || !keep_alive) break;
  }
  std::lock_guard<std::mutex> guard(lock_);
  open_fds_.erase(std::remove(open_fds_.begin(), open_fds_.end(), fd), open_fds_.end());
  ::close(fd);
}

bool ModelApiStub::answer(int fd, const StubRequest& request, bool keep_alive) {
  std::string path = request.target.substr(0, request.target.find('?'));
  if (request.method != "POST" || path != "/v1/messages" || !request.body.is_object()) {
    std::string body = dump_json(error_body("not_found_error", "the stub serves only messages"));
    return send_all(
        fd, response_head(404, "Not Found", "application/json", body.size(), keep_alive) + body);
  }

  StubReply reply = choose_reply(request.body);
  if (!reply.hold.empty()) hold(reply.hold);
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (stopping_) return false;
  }

  if (reply.kind == StubReply::Kind::ApiError) {
    // A 400 is not worth many retries to the CLI: it gives up within a few seconds, where a
    // 500 keeps it retrying for minutes.
    std::string body = dump_json(error_body("invalid_request_error", reply.text));
    return send_all(
        fd, response_head(400, "Bad Request", "application/json", body.size(), keep_alive) + body);
  }

  std::string model = as_text(request.body, "model");
  std::string message_id;
  std::string tool_id;
  {
    std::lock_guard<std::mutex> guard(lock_);
    message_id = "msg_stub_" + std::to_string(requests_.size());
    if (reply.kind == StubReply::Kind::ToolUse)
      tool_id = "toolu_stub_" + std::to_string(++tool_uses_);
  }
  Json tool_input = Json{{"command", reply.text}};
  const char* stop_reason = reply.kind == StubReply::Kind::ToolUse ? "tool_use" : "end_turn";
  Json usage = Json{{"input_tokens", INPUT_TOKENS},
                    {"output_tokens", OUTPUT_TOKENS},
                    {"cache_creation_input_tokens", 0},
                    {"cache_read_input_tokens", 0}};

  if (!is_truthy(request.body, "stream")) {
    Json block =
        reply.kind == StubReply::Kind::ToolUse
            ? Json{{"type", "tool_use"}, {"id", tool_id}, {"name", "Bash"}, {"input", tool_input}}
            : Json{{"type", "text"}, {"text", reply.text}};
    Json message = {{"id", message_id},
                    {"type", "message"},
                    {"role", "assistant"},
                    {"model", model},
                    {"content", Json::array({block})},
                    {"stop_reason", stop_reason},
                    {"stop_sequence", nullptr},
                    {"usage", usage}};
    std::string body = dump_json(message);
    return send_all(fd,
                    response_head(200, "OK", "application/json", body.size(), keep_alive) + body);
  }

  Json start_usage = usage;
  start_usage["output_tokens"] = 1;
  std::string events = sse("message_start", Json{{"type", "message_start"},
                                                 {"message", Json{{"id", message_id},
                                                                  {"type", "message"},
                                                                  {"role", "assistant"},
                                                                  {"model", model},
                                                                  {"content", Json::array()},
                                                                  {"stop_reason", nullptr},
                                                                  {"stop_sequence", nullptr},
                                                                  {"usage", start_usage}}}});
  if (reply.kind == StubReply::Kind::ToolUse) {
    events += sse("content_block_start", Json{{"type", "content_block_start"},
                                              {"index", 0},
                                              {"content_block", Json{{"type", "tool_use"},
                                                                     {"id", tool_id},
                                                                     {"name", "Bash"},
                                                                     {"input", Json::object()}}}});
    // The input arrives as JSON text in pieces, as the API sends it.
    std::string input = dump_json(tool_input);
    std::size_t half = input.size() / 2;
    for (const std::string& piece : {input.substr(0, half), input.substr(half)}) {
      events += sse("content_block_delta",
                    Json{{"type", "content_block_delta"},
                         {"index", 0},
                         {"delta", Json{{"type", "input_json_delta"}, {"partial_json", piece}}}});
    }
  } else {
    events +=
        sse("content_block_start", Json{{"type", "content_block_start"},
                                        {"index", 0},
                                        {"content_block", Json{{"type", "text"}, {"text", ""}}}});
    for (const std::string& piece : reply_pieces(reply.text)) {
      events += sse("content_block_delta",
                    Json{{"type", "content_block_delta"},
                         {"index", 0},
                         {"delta", Json{{"type", "text_delta"}, {"text", piece}}}});
    }
  }
  events += sse("content_block_stop", Json{{"type", "content_block_stop"}, {"index", 0}});
  events += sse("message_delta",
                Json{{"type", "message_delta"},
                     {"delta", Json{{"stop_reason", stop_reason}, {"stop_sequence", nullptr}}},
                     {"usage", Json{{"output_tokens", OUTPUT_TOKENS}}}});
  events += sse("message_stop", Json{{"type", "message_stop"}});
  return send_all(
      fd, response_head(200, "OK", "text/event-stream; charset=utf-8", events.size(), keep_alive) +
              events);
}

}  // namespace contract
