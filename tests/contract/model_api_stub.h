// A stand-in for the model API on the loopback interface, so that the real claude CLI can run
// whole turns offline (ANTHROPIC_BASE_URL=http://127.0.0.1:PORT). It answers /v1/messages (any
// query string) in the API's server-sent-events form, the only one the CLI asks for, choosing
// the reply by the words of the last user message:
//
//   a tool_result in that message  -> text "The tool said: " + the tool's output
//   "run: CMD"                     -> a Bash tool use with {"command": CMD}
//   "api-error: TEXT"              -> HTTP 400 invalid_request_error with the message TEXT (for
//                                     every request that carries it, retries included, since
//                                     the CLI retries a failed request a few times)
//   anything else                  -> text "Hello from the stub: " + the words, word by word
//
// A message containing "hold:KEY" (KEY up to the next white space) is not answered until the
// test calls release(KEY); wait_until_held(KEY) tells when such a request has arrived. Any
// other path gets 404 with an error object.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "http/http_request.h"
#include "util/json.h"
#include "util/unique_fd.h"

namespace contract {

class ModelApiStub {
 public:
  ModelApiStub() = default;
  /// Stops listening, releases every hold, closes every connection and joins the threads.
  ~ModelApiStub();
  ModelApiStub(const ModelApiStub&) = delete;
  ModelApiStub& operator=(const ModelApiStub&) = delete;

  /// Listens on 127.0.0.1 on a free port; false when that fails.
  bool start();
  std::string base_url() const { return "http://127.0.0.1:" + std::to_string(port_); }

  /// The body of every /v1/messages request so far, oldest first.
  std::vector<Json> requests() const;

  /// Waits until a request holding on `key` has arrived; true when one has within `timeout`.
  bool wait_until_held(const std::string& key, std::chrono::milliseconds timeout);
  /// Lets every request holding on `key`, now or later, be answered.
  void release(const std::string& key);

 private:
  void accept_loop();
  void serve(int fd);
  // The whole answer to one request (head and body); empty when the stub stops first.
  std::string answer(const HttpRequest& request);

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
